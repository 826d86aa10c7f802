// SPDX-License-Identifier: MIT
// The gateway's MQTT client on libmosquitto's threaded interface.
#include "bridge_mqtt.h"

#include <mosquitto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>

namespace nimbet::bridge {

namespace {

// libmosquitto wants its global set-up once per process, before any client.
void init_library_once()
{
    static const int done = [] {
        mosquitto_lib_init();
        std::atexit([] { mosquitto_lib_cleanup(); });
        return 0;
    }();
    (void)done;
}

const char *or_null(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

bool parse_broker_address(const std::string &text, std::string &host, int &port)
{
    port = 1883;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const auto colon = text.rfind(':');
        host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (host.empty())
        return false;
    if (rest.empty())
        return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6)
        return false;
    char *end = nullptr;
    const long p = std::strtol(rest.c_str() + 1, &end, 10);
    if (*end != '\0' || p < 1 || p > 65535)
        return false;
    port = static_cast<int>(p);
    return true;
}

MqttLink::MqttLink(MqttSettings settings) : settings_(std::move(settings))
{
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MqttLink::~MqttLink()
{
    stop();
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool MqttLink::start(std::string &error)
{
    init_library_once();
    if (wake_fd_ < 0) {
        error = "cannot make an event descriptor";
        return false;
    }
    // A clean session: what the gateway must not lose waits in its own
    // outbox, and the client sends again whatever was unconfirmed when a
    // connection broke.
    client_ = mosquitto_new(or_null(settings_.client_id), true, this);
    if (client_ == nullptr) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_threaded_set(client_, true);
    mosquitto_connect_callback_set(client_, on_connect);
    mosquitto_disconnect_callback_set(client_, on_disconnect);
    mosquitto_publish_callback_set(client_, on_publish);
    mosquitto_message_callback_set(client_, on_message);

    int rc = MOSQ_ERR_SUCCESS;
    const std::string &off = settings_.offline_payload;
    if (!settings_.status_topic.empty())
        rc = mosquitto_will_set(client_, settings_.status_topic.c_str(), static_cast<int>(off.size()), off.data(), 1,
                                true);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
        rc = mosquitto_username_pw_set(client_, settings_.username.c_str(), or_null(settings_.password));
    if (rc == MOSQ_ERR_SUCCESS && !settings_.cafile.empty())
        rc = mosquitto_tls_set(client_, settings_.cafile.c_str(), nullptr, or_null(settings_.cert),
                               or_null(settings_.key), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client settings refused: ") + mosquitto_strerror(rc);
        return false;
    }
    network_ = std::thread([this] { run(); });
    return true;
}

// The network thread. libmosquitto's own thread gives up for good on a name
// or TLS failure; a gateway must not, so this loop connects and reconnects
// itself, whatever the failure.
void MqttLink::run()
{
    next_delay_ms_ = settings_.reconnect_min_ms;
    while (!stopping_) {
        const int rc = mosquitto_connect(client_, settings_.host.c_str(), settings_.port, settings_.keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS) {
            post({MqttEvent::ConnectFailed, rc, rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc),
                  {}});
        } else {
            // Served until the connection ends; the wait is short so that a
            // stop is noticed soon (publishing wakes the wait by itself).
            while (!stopping_ && mosquitto_loop(client_, 200, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        const int delay = next_delay_ms_;
        next_delay_ms_ = std::min(delay * 2, settings_.reconnect_max_ms);
        if (stopping_ || !pause(delay))
            break;
    }
}

bool MqttLink::pause(int ms)
{
    std::unique_lock<std::mutex> lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

int MqttLink::publish(const std::string &topic, const std::string &payload, int qos, bool retain)
{
    if (client_ == nullptr)
        return -1;
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    if (rc == MOSQ_ERR_SUCCESS)
        return mid;
    return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM ? kRefusedForNow : kRefusedForGood;
}

std::vector<MqttEvent> MqttLink::take_events()
{
    uint64_t count = 0;
    if (read(wake_fd_, &count, sizeof count) < 0) {
        // nothing posted since the last call
    }
    std::lock_guard<std::mutex> lock(events_mutex_);
    std::vector<MqttEvent> out;
    out.swap(events_);
    return out;
}

void MqttLink::stop()
{
    if (!network_.joinable())
        return;
    if (connected_) {
        // Queued behind everything published so far, and before the
        // disconnection, which does not fire the Last Will.
        const std::string &off = settings_.offline_payload;
        if (!settings_.status_topic.empty())
            mosquitto_publish(client_, nullptr, settings_.status_topic.c_str(), static_cast<int>(off.size()),
                              off.data(), 1, true);
        // The network thread writes both, then the client reports the end
        // of the connection.
        if (mosquitto_disconnect(client_) == MOSQ_ERR_SUCCESS)
            for (int i = 0; i < 100 && connected_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(pause_mutex_);
        stopping_ = true;
    }
    pause_cv_.notify_all();
    network_.join();
}

void MqttLink::post(MqttEvent e)
{
    {
        std::lock_guard<std::mutex> lock(events_mutex_);
        events_.push_back(std::move(e));
    }
    const uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // the counter is full: the gateway thread is woken already
    }
}

// The callbacks run in the network thread.

void MqttLink::on_connect(mosquitto *client, void *self_ptr, int rc)
{
    auto *self = static_cast<MqttLink *>(self_ptr);
    if (rc != 0) {
        self->post({MqttEvent::ConnectFailed, rc, mosquitto_connack_string(rc), {}});
        return;
    }
    self->connected_ = true;
    self->next_delay_ms_ = self->settings_.reconnect_min_ms;
    // Subscriptions first: the broker handles a client's packets in order,
    // so whoever sees "online" can send commands that will be heard. The
    // status goes before any data (which waits for the Connected event).
    const MqttSettings &s = self->settings_;
    for (const std::string &topic : s.subscriptions)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    if (!s.status_topic.empty())
        mosquitto_publish(client, nullptr, s.status_topic.c_str(), static_cast<int>(s.online_payload.size()),
                          s.online_payload.data(), 1, true);
    self->post({MqttEvent::Connected, 0, {}, {}});
}

void MqttLink::on_disconnect(mosquitto *, void *self_ptr, int rc)
{
    auto *self = static_cast<MqttLink *>(self_ptr);
    self->connected_ = false;
    self->post({MqttEvent::Disconnected, rc, rc == 0 ? "closed" : mosquitto_strerror(rc), {}});
}

void MqttLink::on_publish(mosquitto *, void *self_ptr, int mid)
{
    static_cast<MqttLink *>(self_ptr)->post({MqttEvent::Published, mid, {}, {}});
}

void MqttLink::on_message(mosquitto *, void *self_ptr, const mosquitto_message *msg)
{
    MqttEvent e{MqttEvent::Message, 0, msg->topic != nullptr ? msg->topic : "", {}};
    if (msg->payload != nullptr && msg->payloadlen > 0)
        e.payload.assign(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    static_cast<MqttLink *>(self_ptr)->post(std::move(e));
}

}  // namespace nimbet::bridge
