// SPDX-License-Identifier: MIT
// Test rig for the gateway: a real mosquitto broker, gateway processes and an MQTT probe, all inside the test's namespace.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace nimbet::test {

// A directory of its own under /tmp, removed with what it holds.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
};

// A mosquitto broker listening on 127.0.0.1:port only, with its files in a
// directory of its own. Persistent brokers keep sessions and queued messages
// across stop() and start(). Stopped (SIGTERM, then waited for) when destroyed.
class Broker {
public:
    Broker(int port, bool persistent);
    ~Broker();
    static bool available();  // the mosquitto program is installed
    // Turns the listener into TLS only, with a fresh test CA (ca.crt in dir())
    // and a server certificate for 127.0.0.1, and admits only `user` with
    // `password`. Call before start(); false when openssl failed.
    bool require_tls_and_password(const std::string &user, const std::string &password);
    void start();  // returns once the broker accepts connections
    void stop();
    int port() const { return port_; }
    const std::string &dir() const { return dir_; }

private:
    int port_;
    std::string dir_;
    pid_t pid_ = -1;
};

struct Received {
    std::string topic, payload;
    bool retained;
    std::string seq;  // the MQTT 5 user property "seq" (empty when none came)
};

// An MQTT client that records every message it receives.
class Probe {
public:
    // clean=false keeps the session (subscriptions, queued QoS 1 messages)
    // with the broker while the probe is away; v5 speaks MQTT 5 (and sees
    // user properties).
    Probe(int port, const std::string &client_id, bool clean = true, bool v5 = false);
    ~Probe();
    void subscribe(const std::string &topic);
    void publish(const std::string &topic, const std::string &payload, bool retain = false);
    // Returns once the broker has the acknowledgements of every message
    // the probe recorded so far (it sends none of them again).
    void settle();
    // Waits until `done` holds, checked whenever a message came (at most
    // ms); returns whether it did.
    bool wait_for(const std::function<bool()> &done, int ms);
    std::vector<Received> messages();
    // The payloads received on exactly this topic, in order.
    std::vector<std::string> on(const std::string &topic);
    // The messages received on exactly this topic, in order.
    std::vector<Received> all_on(const std::string &topic);

private:
    void round_trip();
    mosquitto *client_;
    int markers_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> messages_;
};

// A `nimbet bridge` process with its output in files, started with the
// test's environment plus `env` ("NAME=value"). The program is this
// build's nimbet, or the one NIMBET_TOOL_UNDER_TEST names (to try the tests
// on another build).
class GatewayProcess {
public:
    explicit GatewayProcess(const std::vector<std::string> &args, const std::vector<std::string> &env = {});
    ~GatewayProcess();
    void signal(int sig);
    int wait();  // exit status (128 + signal when killed)
    bool running();  // not ended yet
    pid_t pid() const { return pid_; }
    // Waits (at most ms) until the output holds `text`; whether it does.
    bool says(const std::string &text, int ms = 5000) const;
    std::string output() const;

private:
    pid_t pid_ = -1;
    std::string log_;
};

// Messages judged against the gateway's JSON Schemas (packaging/schemas) in
// one run of tests/bridge/check_schemas.py when check() is called.
class SchemaCheck {
public:
    void add(const std::string &schema, const std::string &message, bool valid = true);
    // Empty when every message was judged as expected, else the report;
    // "skipped" when python3 or its jsonschema module is missing.
    std::string check();

private:
    TempDir dir_;
    std::vector<std::string> cases_;
};

}  // namespace nimbet::test
