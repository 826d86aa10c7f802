// SPDX-License-Identifier: MIT
// The gateway's MQTT client on libmosquitto's threaded interface.
#include "bridge_mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bridge_log.h"

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

// A file the client will need, readable now: the message names it.
bool readable(const std::string &path, const char *what, std::string &error)
{
    if (path.empty() || access(path.c_str(), R_OK) == 0)
        return true;
    error = std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
    return false;
}

bool contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

// A connection lost sooner than this after it was accepted counts as short-lived.
constexpr std::chrono::seconds kShortLived{10};

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
    if (!readable(settings_.cafile, "CA file", error) || !readable(settings_.cert, "client certificate", error) ||
        !readable(settings_.key, "client key", error))
        return false;
    // No clean start: the broker keeps the session (the subscription, and
    // the commands that arrive while the gateway is away) under the client id.
    client_ = mosquitto_new(settings_.client_id.c_str(), false, this);
    if (client_ == nullptr) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_threaded_set(client_, true);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, on_connect);
    mosquitto_disconnect_v5_callback_set(client_, on_disconnect);
    mosquitto_publish_callback_set(client_, on_publish);
    mosquitto_message_callback_set(client_, on_message);
    mosquitto_log_callback_set(client_, on_log);

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

std::string MqttLink::where() const { return settings_.host + ":" + std::to_string(settings_.port); }

int MqttLink::connect()
{
    if (!v5_)
        return mosquitto_connect(client_, settings_.host.c_str(), settings_.port, settings_.keepalive_s);
    mosquitto_property *props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, settings_.session_expiry_s);
    const int rc =
        mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port, settings_.keepalive_s, nullptr, props);
    mosquitto_property_free_all(&props);
    return rc;
}

// The network thread. It connects and reconnects itself (libmosquitto's own
// thread would give up for good on a name or TLS failure), and tells
// failures that waiting mends from those that it does not.
void MqttLink::run()
{
    std::minstd_rand jitter(std::random_device{}());
    int delay_ms = settings_.reconnect_min_ms;
    int permanent = 0;
    while (!stopping_) {
        accepted_ = false;
        refused_ = 0;
        taken_over_ = false;
        {
            std::lock_guard<std::mutex> lock(error_mutex_);
            last_error_.clear();
        }
        int rc = connect();
        const int err = errno;
        Failure f;
        if (rc != MOSQ_ERR_SUCCESS) {
            f = connect_failure(rc, err);
        } else {
            // Served until the connection ends; the wait is short so that a
            // stop is noticed soon (publishing wakes the wait by itself).
            while (!stopping_ && (rc = mosquitto_loop(client_, 200, 1)) == MOSQ_ERR_SUCCESS) {
            }
            if (stopping_)
                break;
            if (!accepted_)
                f = refused_ != 0 ? refusal(refused_) : handshake_failure(rc);
        }
        if (f.older_protocol) {
            v5_ = false;
            mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            log(Level::Notice, "the broker " + where() + " has no MQTT 5: using MQTT 3.1.1");
            continue;
        }
        if (accepted_) {
            permanent = 0;
            // Two gateways with one client id take the session from each
            // other: the delay keeps growing then, instead of starting
            // anew; so it does for any connection lost soon after it was
            // made.
            if (!taken_over_ && short_lived_ == 0)
                delay_ms = settings_.reconnect_min_ms;
        } else {
            permanent = f.permanent ? permanent + 1 : 0;
            post({MqttEvent::ConnectFailed, permanent, f.text, {}, f.permanent});
            if (permanent >= settings_.attempts) {
                post({MqttEvent::GaveUp, permanent, f.text, {}, true});
                return;
            }
        }
        // A delay between half and all of the current one, so that gateways
        // cut off together do not come back together.
        const int wait = delay_ms / 2 + static_cast<int>(jitter() % static_cast<unsigned>(delay_ms / 2 + 1));
        delay_ms = std::min(delay_ms * 2, settings_.reconnect_max_ms);
        if (stopping_ || !pause(wait))
            break;
    }
}

std::string MqttLink::last_error() const
{
    std::lock_guard<std::mutex> lock(error_mutex_);
    return last_error_;
}

MqttLink::Failure MqttLink::connect_failure(int rc, int err) const
{
    if (rc == MOSQ_ERR_EAI) {
        // The client leaves getaddrinfo's code in errno. A name server that
        // does not answer may answer later; a name it does not know stays unknown.
        const bool later = err == EAI_AGAIN;
        return {"cannot resolve the broker's host name '" + settings_.host + "': " + gai_strerror(err), !later};
    }
    if (rc == MOSQ_ERR_ERRNO)
        return {"cannot connect to " + where() + ": " + std::strerror(err), false};
    if (rc == MOSQ_ERR_TLS)
        return handshake_failure(rc);
    return {"cannot connect to " + where() + ": " + mosquitto_strerror(rc), false};
}

// Whether the broker's certificate chain verifies with the CA file when its
// name is not checked: one connection of a client of its own, which sends no
// user name and no password. The handshake may finish after the connect
// call returns; any answer of the broker (an acceptance or a refusal) comes
// only through a verified channel.
bool MqttLink::chain_verifies_without_name() const
{
    bool answered = false;
    mosquitto *probe = mosquitto_new(nullptr, true, &answered);
    if (probe == nullptr)
        return false;
    mosquitto_connect_callback_set(probe, [](mosquitto *, void *flag, int) { *static_cast<bool *>(flag) = true; });
    if (mosquitto_tls_set(probe, settings_.cafile.c_str(), nullptr, or_null(settings_.cert), or_null(settings_.key),
                          nullptr) == MOSQ_ERR_SUCCESS &&
        mosquitto_tls_insecure_set(probe, true) == MOSQ_ERR_SUCCESS &&
        mosquitto_connect(probe, settings_.host.c_str(), settings_.port, 5) == MOSQ_ERR_SUCCESS) {
        for (int i = 0; i < 30 && !answered && mosquitto_loop(probe, 100, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
        mosquitto_disconnect(probe);
    }
    mosquitto_destroy(probe);
    return answered;
}

// The connection ended before the broker accepted it.
MqttLink::Failure MqttLink::handshake_failure(int rc) const
{
    const std::string e = last_error();
    if (!settings_.cafile.empty() && contains(e, "certificate verify failed")) {
        if (chain_verifies_without_name())
            return {"TLS: the certificate of " + where() + " is signed by the CA file " + settings_.cafile +
                        " but is not made out to the host name '" + settings_.host +
                        "': connect with a name (or address) that the certificate lists",
                    true};
        return {"TLS: the certificate of " + where() + " was not verified with the CA file " + settings_.cafile +
                    " (" + e + ")",
                true};
    }
    if (!settings_.cafile.empty() && (contains(e, "wrong version number") || contains(e, "packet length too long")))
        return {"TLS handshake with " + where() + " failed: is it a TLS port? (" + e + ")", true};
    // A server that speaks no TLS reads the client's greeting as garbage
    // and closes the connection.
    if (!settings_.cafile.empty() && (contains(e, "unexpected eof") || (e.empty() && rc == MOSQ_ERR_TLS)))
        return {"TLS handshake with " + where() +
                    " failed: the server closed the connection at the greeting: is it a plain MQTT port "
                    "(TLS is usually 8883)? (" +
                    (e.empty() ? "no reason given" : e) + ")",
                true};
    if (!settings_.cafile.empty() && (!e.empty() || rc == MOSQ_ERR_TLS))
        return {"TLS handshake with " + where() + " failed: " + (e.empty() ? "no reason given" : e) + " (cafile " +
                    settings_.cafile + (settings_.cert.empty() ? "" : ", cert " + settings_.cert) +
                    (settings_.key.empty() ? "" : ", key " + settings_.key) + ")",
                true};
    // A server that takes the connection and closes it without a word is
    // no broker waiting to come back (that one refuses the connection): a
    // TLS port spoken to in plain MQTT, or another service.
    return {"the server at " + where() + " closed the connection without answering as an MQTT broker (" +
                (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
                (settings_.cafile.empty() ? "): is it a TLS port? Then give cafile" : ")"),
            true};
}

// The broker refused the connection (CONNACK).
MqttLink::Failure MqttLink::refusal(int code) const
{
    const std::string who = settings_.username.empty() ? "" : " (user " + settings_.username + ")";
    if (v5_ && (code == 1 || code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION))
        return {"", false, true};
    const std::string reason = v5_ ? mosquitto_reason_string(code) : mosquitto_connack_string(code);
    const std::string text = "the broker " + where() + " refused the connection: " + reason;
    switch (v5_ ? code : -code) {
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case -4:
    case -5:
        return {text + who, true};
    case MQTT_RC_CLIENTID_NOT_VALID:
    case -2:
        return {text + " (client id " + settings_.client_id + ")", true};
    case MQTT_RC_BANNED:
    case MQTT_RC_BAD_AUTHENTICATION_METHOD:
    case MQTT_RC_USE_ANOTHER_SERVER:
    case MQTT_RC_SERVER_MOVED:
    case -1:
        return {text, true};
    default:
        return {text, false};  // unavailable, busy, over quota: it may accept later
    }
}

bool MqttLink::pause(int ms)
{
    std::unique_lock<std::mutex> lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

int MqttLink::publish(const std::string &topic, const std::string &payload, int qos, bool retain, int64_t seq)
{
    if (client_ == nullptr)
        return kRefusedForNow;
    int mid = 0;
    mosquitto_property *props = nullptr;
    if (seq > 0 && v5_)
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "seq", std::to_string(seq).c_str());
    const int rc = mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS)
        return mid;
    return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM ? kRefusedForNow : kRefusedForGood;
}

std::vector<MqttEvent> MqttLink::take_events()
{
    // Read before the events are taken: a post after it finds the list empty
    // and wakes anew.
    uint64_t count = 0;
    if (read(wake_fd_, &count, sizeof count) < 0) {
        // nothing posted since the last call
    }
    return inbox_.take();
}

bool EventInbox::post(MqttEvent e)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (e.kind == MqttEvent::Message) {
        room_.wait(lock, [&] { return released_ || (messages_ < max_messages_ && bytes_ < max_bytes_); });
        messages_ += 1;
        bytes_ += e.payload.size() + e.topic.size();
    }
    events_.push_back(std::move(e));
    return events_.size() == 1;
}

std::vector<MqttEvent> EventInbox::take()
{
    std::vector<MqttEvent> out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.swap(events_);
        messages_ = bytes_ = 0;
    }
    room_.notify_all();
    return out;
}

void EventInbox::release()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    room_.notify_all();
}

void MqttLink::stop()
{
    if (!network_.joinable())
        return;
    // A network thread waiting to hand over a message goes on to the end.
    inbox_.release();
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
    // One wake for a batch: events that come before the gateway thread
    // took the earlier ones ride along with them.
    const uint64_t one = 1;
    if (inbox_.post(std::move(e)) && write(wake_fd_, &one, sizeof one) < 0) {
        // the counter is full: the gateway thread is woken already
    }
}

// The callbacks run in the network thread.

void MqttLink::on_connect(mosquitto *client, void *self_ptr, int rc, int flags, const mosquitto_property *)
{
    auto *self = static_cast<MqttLink *>(self_ptr);
    if (rc != 0) {
        self->refused_ = rc;
        return;
    }
    self->accepted_ = true;
    self->connected_ = true;
    self->connected_at_ = std::chrono::steady_clock::now();
    // Subscriptions first: the broker handles a client's packets in order,
    // so whoever sees "online" can send commands that will be heard. The
    // status goes before any data (which waits for the Connected event).
    const MqttSettings &s = self->settings_;
    for (const std::string &topic : s.subscriptions)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    if (!s.status_topic.empty())
        mosquitto_publish(client, nullptr, s.status_topic.c_str(), static_cast<int>(s.online_payload.size()),
                          s.online_payload.data(), 1, true);
    self->post({MqttEvent::Connected, 0, self->v5_ ? "MQTT 5" : "MQTT 3.1.1", {}, (flags & 1) != 0});
}

void MqttLink::on_disconnect(mosquitto *, void *self_ptr, int rc, const mosquitto_property *)
{
    auto *self = static_cast<MqttLink *>(self_ptr);
    if (!self->connected_.exchange(false))
        return;  // an attempt that never got in: run() reports it
    // Reason codes of MQTT 5 (from 128) come from the broker's DISCONNECT,
    // smaller numbers are the client's own.
    // A broker that gives the session to a newer connection says so in
    // MQTT 5 (reason 142); some simply close the older connection. Lost
    // again and again within moments of being accepted, a connection is
    // taken over too, most likely.
    const bool lost_soon = (rc == MOSQ_ERR_CONN_LOST || rc == MQTT_RC_SESSION_TAKEN_OVER) &&
                           std::chrono::steady_clock::now() - self->connected_at_ < kShortLived;
    self->short_lived_ = lost_soon ? self->short_lived_ + 1 : 0;
    self->taken_over_ = rc == MQTT_RC_SESSION_TAKEN_OVER || self->short_lived_ >= 2;
    std::string why = rc == 0 ? "closed" : rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc);
    if (self->taken_over_ && rc != MQTT_RC_SESSION_TAKEN_OVER)
        why += " " + std::to_string(self->short_lived_) + " times in a row, each soon after the broker accepted it";
    self->post({MqttEvent::Disconnected, rc, why, {}, self->taken_over_});
}

void MqttLink::on_publish(mosquitto *, void *self_ptr, int mid)
{
    static_cast<MqttLink *>(self_ptr)->post({MqttEvent::Published, mid, {}, {}});
}

void MqttLink::on_message(mosquitto *, void *self_ptr, const mosquitto_message *msg)
{
    MqttEvent e{MqttEvent::Message, 0, msg->topic != nullptr ? msg->topic : "", {}, msg->retain};
    if (msg->payload != nullptr && msg->payloadlen > 0)
        e.payload.assign(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    static_cast<MqttLink *>(self_ptr)->post(std::move(e));
}

// The client's own reports: errors are kept as the cause of the failure they
// come with (the TLS library's reasons arrive only this way); everything
// shows at debug level.
void MqttLink::on_log(mosquitto *, void *self_ptr, int level, const char *text)
{
    auto *self = static_cast<MqttLink *>(self_ptr);
    if (level == MOSQ_LOG_ERR && text != nullptr) {
        std::lock_guard<std::mutex> lock(self->error_mutex_);
        self->last_error_ = text;
    }
    if (log_enabled(Level::Debug))
        log(Level::Debug, std::string("mqtt: ") + (text != nullptr ? text : ""));
}

}  // namespace nimbet::bridge
