// SPDX-License-Identifier: MIT
// Test rig for the gateway: broker, gateway processes and the MQTT probe.
#include "mqtt_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "nimbet/nimbet.h"
#include "support/netns.h"

extern char **environ;

namespace nimbet::test {

namespace {

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/nimbet-bridge-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return d;
}

pid_t spawn(const std::vector<std::string> &args, const std::string &log, const std::vector<std::string> &env = {})
{
    // Every program started here stays in the test's own namespace.
    require_only_own_interfaces();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::abort();
    }
    return pid;
}

bool accepts_connections(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

int wait_exit(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TempDir::TempDir() : path(make_temp_dir()) {}
TempDir::~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }

Broker::Broker(int port, bool persistent) : port_(port), dir_(make_temp_dir())
{
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "listener " << port << " 127.0.0.1\n"
         << "allow_anonymous true\n"
         << "max_queued_messages 0\n"  // a burst reaches a slow subscriber whole
         << "user root\n"  // stays the namespace's user: no switch to an account that may not map there
         << "persistence " << (persistent ? "true" : "false") << "\n"
         << "persistence_location " << dir_ << "/\n";
}

Broker::~Broker()
{
    stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool Broker::require_tls_and_password(const std::string &user, const std::string &password)
{
    const std::string script =
        "cd '" + dir_ + "' && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=test-ca "
        "-keyout ca.key -out ca.crt && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
        "-keyout server.key -out server.csr && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext && "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san.ext "
        "-out server.crt && "
        "mosquitto_passwd -b -c passwd '" + user + "' '" + password + "'";
    if (std::system(("(" + script + ") >tls.log 2>&1").c_str()) != 0)
        return false;
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "listener " << port_ << " 127.0.0.1\n"
         << "user root\n"
         << "allow_anonymous false\n"
         << "password_file " << dir_ << "/passwd\n"
         << "cafile " << dir_ << "/ca.crt\n"
         << "certfile " << dir_ << "/server.crt\n"
         << "keyfile " << dir_ << "/server.key\n";
    return true;
}

bool Broker::available() { return access("/usr/sbin/mosquitto", X_OK) == 0; }

void Broker::start()
{
    pid_ = spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_ + "/broker.log");
    for (int i = 0; i < 250 && !accepts_connections(port_); ++i)
        n_util_sleepms(20);
}

void Broker::stop()
{
    if (pid_ < 0)
        return;
    kill(pid_, SIGTERM);
    wait_exit(pid_);
    pid_ = -1;
}

Probe::Probe(int port, const std::string &client_id, bool clean, bool v5)
{
    mosquitto_lib_init();
    client_ = mosquitto_new(client_id.c_str(), clean, this);
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props) {
            auto *probe = static_cast<Probe *>(self);
            std::string seq;
            char *name = nullptr, *value = nullptr;
            for (const mosquitto_property *p = props;
                 (p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false)) != nullptr;
                 p = mosquitto_property_next(p)) {
                if (std::string(name) == "seq")
                    seq = value;
                std::free(name);
                std::free(value);
                name = value = nullptr;
            }
            std::lock_guard<std::mutex> lock(probe->mutex_);
            probe->messages_.push_back(
                {m->topic,
                 std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                 m->retain, seq});
            probe->changed_.notify_all();
        });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (v5) {
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_property *props = nullptr;
        if (!clean)
            mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, props);
        mosquitto_property_free_all(&props);
    } else {
        mosquitto_connect(client_, "127.0.0.1", port, 30);
    }
    mosquitto_loop_start(client_);
}

Probe::~Probe()
{
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void Probe::subscribe(const std::string &topic)
{
    mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
    round_trip();
}

// The broker handles a client's packets in order: once our own marker comes
// back, whatever the probe sent before it has been handled.
void Probe::round_trip()
{
    const std::string marker = "probe-marker/" + std::to_string(reinterpret_cast<uintptr_t>(this));
    if (markers_++ == 0)
        mosquitto_subscribe(client_, nullptr, marker.c_str(), 1);
    const std::size_t seen = on(marker).size();
    bool back = false;
    for (int i = 0; i < 50 && !back; ++i) {
        publish(marker, "x");
        back = wait_for([&] { return on(marker).size() > seen; }, 100);
    }
}

void Probe::settle()
{
    // The acknowledgement of a message goes out after the callback that
    // recorded it: the first marker may overtake the last of them, the
    // second one, sent after the first came back, cannot.
    round_trip();
    round_trip();
}

void Probe::publish(const std::string &topic, const std::string &payload, bool retain)
{
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
}

bool Probe::wait_for(const std::function<bool()> &done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        std::size_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = messages_.size();
        }
        if (done())  // evaluated unlocked: it may read the messages itself
            return true;
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return messages_.size() != seen; }))
            return false;
    }
}

std::vector<Received> Probe::messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<Received> Probe::all_on(const std::string &topic)
{
    std::vector<Received> out;
    for (const Received &r : messages())
        if (r.topic == topic)
            out.push_back(r);
    return out;
}

std::vector<std::string> Probe::on(const std::string &topic)
{
    std::vector<std::string> out;
    for (const Received &r : messages())
        if (r.topic == topic)
            out.push_back(r.payload);
    return out;
}

GatewayProcess::GatewayProcess(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    char tmpl[] = "/tmp/nimbet-gateway-XXXXXX";
    const int fd = mkstemp(tmpl);
    close(fd);
    log_ = tmpl;
    const char *other = std::getenv("NIMBET_TOOL_UNDER_TEST");
    std::vector<std::string> all = {other != nullptr && *other != '\0' ? other : NIMBET_TOOL, "bridge"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = spawn(all, log_, env);
}

GatewayProcess::~GatewayProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(log_.c_str());
}

void GatewayProcess::signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

int GatewayProcess::wait()
{
    const int status = wait_exit(pid_);
    pid_ = -1;
    return status;
}

bool GatewayProcess::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    pid_ = -1;
    return false;
}

bool GatewayProcess::says(const std::string &text, int ms) const
{
    for (int waited = 0; output().find(text) == std::string::npos; waited += 20) {
        if (waited >= ms)
            return false;
        n_util_sleepms(20);
    }
    return true;
}

std::string GatewayProcess::output() const
{
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void SchemaCheck::add(const std::string &schema, const std::string &message, bool valid)
{
    cases_.push_back(nlohmann::json{{"schema", schema}, {"valid", valid}, {"instance", message}}.dump());
}

std::string SchemaCheck::check()
{
    const std::string cases = dir_.path + "/cases.jsonl", report = dir_.path + "/report.txt";
    std::ofstream out(cases);
    for (const std::string &c : cases_)
        out << c << "\n";
    out.close();
    const std::string cmd = "/usr/bin/python3 " NIMBET_SOURCE_DIR "/tests/bridge/check_schemas.py " NIMBET_SOURCE_DIR
                            "/packaging/schemas '" + cases + "' >'" + report + "' 2>&1";
    const int status = std::system(cmd.c_str());
    std::ifstream in(report);
    std::stringstream text;
    text << in.rdbuf();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return "skipped";
    return text.str().empty() ? "check_schemas.py did not run" : text.str();
}

}  // namespace nimbet::test
