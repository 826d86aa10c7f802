// SPDX-License-Identifier: MIT
// The gateway's MQTT client: libmosquitto in a network thread of its own, talking to the gateway thread through events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace nimbet::bridge {

struct MqttSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;  // fixed: the broker keeps the session under it
    std::string username, password;
    std::string cafile, cert, key;  // TLS when cafile is given; a client certificate with cert and key
    int keepalive_s = 30;
    int reconnect_min_ms = 500, reconnect_max_ms = 30000;  // doubling between failed attempts, jittered
    int attempts = 5;                 // permanent failures in a row before giving up
    uint32_t session_expiry_s = 604800;  // the session outlives a connection by this much
    // Published retained on every connection (status "online"), and left
    // with the broker as the Last Will (status "offline").
    std::string status_topic, online_payload = "online", offline_payload = "offline";
    std::vector<std::string> subscriptions;  // subscribed at QoS 1 on every connection
};

struct MqttEvent {
    enum Kind {
        Connected,      // flag: the broker still had the session
        ConnectFailed,  // flag: a failure of a permanent kind (a password, TLS, a host name)
        Disconnected,   // flag: the broker gave the session to another connection with this client id (it
                        // said so, or connections keep being lost as soon as they are made)
        GaveUp,         // `attempts` permanent failures in a row: the link stopped trying
        Published,      // code: the message id
        Message         // flag: the broker sent it as retained
    } kind;
    int code = 0;
    std::string topic;    // Message; for the others, the reason as text
    std::string payload;  // Message
    bool flag = false;
};

// The events of the network thread on their way to the gateway thread.
// Received messages are bounded, in number and in bytes: while as many wait
// as the bound allows, the network thread waits before handing over the
// next one, so that it stops reading from the broker (which keeps what it
// has not delivered) instead of filling the memory with a flood of
// commands. The other events (outcomes of publishes, connections) are never
// held back: the gateway thread's own publishing bounds them.
class EventInbox {
public:
    EventInbox(std::size_t max_messages, std::size_t max_bytes) : max_messages_(max_messages), max_bytes_(max_bytes) {}

    // Queues an event; true when it is the first one waiting (a wake is
    // due). A message waits for room unless release() came.
    bool post(MqttEvent e);
    std::vector<MqttEvent> take();
    // Lets every wait for room end, now and from now on (the link stops).
    void release();

private:
    const std::size_t max_messages_, max_bytes_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::vector<MqttEvent> events_;
    std::size_t messages_ = 0, bytes_ = 0;
    bool released_ = false;
};

// One persistent session with a broker (MQTT 5, or 3.1.1 when the broker
// has no 5), kept up by a network thread of its own: it connects with a
// fixed client id and without a clean start, so that the broker keeps the
// subscriptions and the QoS 1 messages for them while the gateway is away;
// it reconnects after any failure of a passing kind (refused connections,
// lost ones, a busy broker, a name server that does not answer) with a
// jittered delay that doubles up to a limit, and gives up after `attempts`
// failures in a row of a kind that waiting does not mend (credentials,
// authorisation, certificates, an unknown host name). Each failure comes
// with its cause and the host or file concerned. Publishing may be called
// from any thread; everything the network thread learns comes back as
// events, which the gateway thread takes when wake_fd() becomes readable.
//
// A QoS 1 message handed over stays with the client until the broker
// confirms it, across reconnections: the client sends it again itself.
class MqttLink {
public:
    explicit MqttLink(MqttSettings settings);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Checks the files, configures the client and starts its network
    // thread, which connects in the background. False with a message naming
    // the file or setting when they are refused.
    bool start(std::string &error);

    // Hands a message to the client; its message id (> 0), kRefusedForNow
    // (not connected at QoS 0, out of memory), or kRefusedForGood (a payload
    // beyond what MQTT carries, a bad topic). A `seq` above 0 goes with it
    // as the MQTT 5 user property "seq" (nothing under MQTT 3.1.1).
    static constexpr int kRefusedForNow = -1, kRefusedForGood = -2;
    int publish(const std::string &topic, const std::string &payload, int qos, bool retain, int64_t seq = 0);

    // Readable while events wait.
    int wake_fd() const { return wake_fd_; }
    std::vector<MqttEvent> take_events();

    // Leaves the broker cleanly: the status goes to "offline" (a clean
    // disconnection does not fire the Last Will), then the thread stops.
    void stop();

private:
    struct Failure {
        std::string text;
        bool permanent = false;
        bool older_protocol = false;  // the broker wants MQTT 3.1.1
    };
    static void on_connect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void on_disconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const mosquitto_message *msg);
    static void on_log(mosquitto *, void *self, int level, const char *text);
    void post(MqttEvent e);
    void run();
    int connect();
    Failure connect_failure(int rc, int err) const;
    Failure handshake_failure(int rc) const;
    bool chain_verifies_without_name() const;
    Failure refusal(int code) const;
    std::string where() const;
    std::string last_error() const;
    bool pause(int ms);  // false when stop() came meanwhile

    MqttSettings settings_;
    mosquitto *client_ = nullptr;
    std::thread network_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};  // between an accepted connection and its end
    std::atomic<bool> v5_{true};  // set by the network thread, read by publishers
    // Network thread only:
    bool accepted_ = false;       // this attempt's connection was accepted
    int refused_ = 0;             // the broker's refusal of this attempt
    bool taken_over_ = false;     // the session went to another connection
    // Connections in a row that were lost soon after they were accepted,
    // and when the current one was.
    int short_lived_ = 0;
    std::chrono::steady_clock::time_point connected_at_{};
    mutable std::mutex error_mutex_;  // the client reports from whichever thread calls it
    std::string last_error_;          // its last error report (TLS causes)
    std::mutex pause_mutex_;  // with pause_cv_, lets stop() cut a reconnection delay short
    std::condition_variable pause_cv_;
    int wake_fd_ = -1;
    static constexpr std::size_t kWaitingMessages = 4096, kWaitingBytes = 64u << 20;
    EventInbox inbox_{kWaitingMessages, kWaitingBytes};
};

// Splits "HOST[:PORT]" (IPv6 in brackets: "[::1]:1883"); false when the port is not a number in 1..65535.
bool parse_broker_address(const std::string &text, std::string &host, int &port);

}  // namespace nimbet::bridge
