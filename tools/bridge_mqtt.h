// SPDX-License-Identifier: MIT
// The gateway's MQTT client: libmosquitto in a network thread of its own, talking to the gateway thread through events.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace nimbet::bridge {

struct MqttSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;
    std::string username, password;
    std::string cafile, cert, key;  // TLS when cafile is given; a client certificate with cert and key
    int keepalive_s = 30;
    int reconnect_min_ms = 500, reconnect_max_ms = 30000;  // doubling between failed attempts
    // Published retained on every connection (status "online"), and left
    // with the broker as the Last Will (status "offline").
    std::string status_topic, online_payload = "online", offline_payload = "offline";
    std::vector<std::string> subscriptions;  // subscribed at QoS 1 on every connection
};

struct MqttEvent {
    enum Kind { Connected, ConnectFailed, Disconnected, Published, Message } kind;
    int code = 0;         // the message id of Published; the broker's or the client's reason otherwise
    std::string topic;    // Message; for the others, the reason as text
    std::string payload;  // Message
};

// One connection to a broker, kept up by a network thread of its own: it
// connects, reconnects after any failure (refused, lost, name or TLS errors)
// with a delay that doubles up to a limit, subscribes and sets the status on
// every connection. Publishing may be called from any thread;
// everything the network thread learns comes back as events, which the
// gateway thread takes when wake_fd() becomes readable, so that the node
// socket is never touched outside that thread.
class MqttLink {
public:
    explicit MqttLink(MqttSettings settings);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Configures the client and starts its network thread, which connects in
    // the background. False with a message when the settings are refused.
    bool start(std::string &error);

    // Hands a message to the client; its message id (> 0), kRefusedForNow
    // (not connected at QoS 0, out of memory), or kRefusedForGood (a payload
    // beyond what MQTT carries, a bad topic). A QoS 1 message taken while
    // the connection is lost is sent after it returns.
    static constexpr int kRefusedForNow = -1, kRefusedForGood = -2;
    int publish(const std::string &topic, const std::string &payload, int qos, bool retain);

    // Readable while events wait.
    int wake_fd() const { return wake_fd_; }
    std::vector<MqttEvent> take_events();

    // Leaves the broker cleanly: the status goes to "offline" (a clean
    // disconnection does not fire the Last Will), then the thread stops.
    void stop();

private:
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const mosquitto_message *msg);
    void post(MqttEvent e);
    void run();
    bool pause(int ms);  // false when stop() came meanwhile

    MqttSettings settings_;
    mosquitto *client_ = nullptr;
    std::thread network_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};  // between an accepted connection and its end
    int next_delay_ms_ = 0;               // network thread only
    std::mutex pause_mutex_;  // with pause_cv_, lets stop() cut a reconnection delay short
    std::condition_variable pause_cv_;
    int wake_fd_ = -1;
    std::mutex events_mutex_;  // guards events_ between the network thread and the gateway thread
    std::vector<MqttEvent> events_;
};

// Splits "HOST[:PORT]" (IPv6 in brackets: "[::1]:1883"); false when the port is not a number in 1..65535.
bool parse_broker_address(const std::string &text, std::string &host, int &port);

}  // namespace nimbet::bridge
