// SPDX-License-Identifier: MIT
// nimbet bridge: options, topic layout and the gateway's event loop.
//
// One thread owns the node socket and the outbox; the MQTT client's network
// thread only passes events to it (see bridge_mqtt.h). Topics, for the
// prefix P and this gateway's identifier G:
//   P/G/rx                      every frame handed up, as JSON
//   P/G/transfer/SRC            a finished transfer from node SRC, raw bytes
//   P/G/transfer/SRC/meta       its summary, as JSON (published after the bytes)
//   P/G/tx                      commands (subscribed)
//   P/G/tx/result               their outcomes
//   P/G/status                  "online", retained; "offline" as the Last Will
//   P/G/stats                   counters every --stats seconds
#include "bridge.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge_command.h"
#include "bridge_mqtt.h"
#include "bridge_node.h"
#include "bridge_outbox.h"
#include "commands.h"
#include "frame_json.h"
#include "nimbet/nimbet.h"
#include "node_options.h"

namespace nimbet::bridge {

namespace {

using nlohmann::json;
using nimbet_tool::Failure;
using nimbet_tool::UsageError;

const char kUsage[] =
    "usage: nimbet bridge PORT --mqtt HOST[:PORT] [OPTIONS]\n"
    "\n"
    "Publishes the frames this node receives to an MQTT broker and sends the\n"
    "commands it gets from there. Runs until SIGINT or SIGTERM (or --seconds).\n"
    "\n"
    "node options:\n"
    "  --id ID --local A --dest B --retry N --timeout MS   as for the other commands\n"
    "  --filter EXPR [--or]  publish only the frames that pass (see nimbet listen --help)\n"
    "  --all            also publish frames addressed to other nodes, transfer parts and\n"
    "                   the gateway's own frames\n"
    "  --seconds S      stop after S seconds\n"
    "broker options:\n"
    "  --mqtt HOST[:PORT]     the broker (port 1883, or 8883 with --cafile)\n"
    "  --topic-prefix P       first topic level (default nimbet)\n"
    "  --client-id ID         MQTT client identifier (default nimbet-bridge-<node id>)\n"
    "  --username U --password P | --password-file F   credentials\n"
    "  --cafile F [--cert F --key F]                   TLS, with a client certificate\n"
    "  --qos 0|1              publishing quality of service (default 1)\n"
    "  --queue N              messages kept while the broker is away (default 10000;\n"
    "                         beyond it the oldest are dropped and counted)\n"
    "  --stats S              publish counters every S seconds (default 60, 0: never)\n"
    "  --file-dir DIR         commands may send files below DIR (\"file\": \"name\")\n"
    "\n"
    "Topics, JSON and commands: see the README, section \"MQTT gateway\".\n";

constexpr std::size_t kWindow = 64;      // messages handed to the client at once
constexpr uint32_t kFlushOnExitMs = 3000;

struct BridgeOptions {
    uint16_t port = 0;
    nimbet_tool::NodeOptions node;
    std::string mqtt, prefix = "nimbet", client_id, username, password, password_file, cafile, cert, key, file_dir;
    int qos = 1;
    long queue = 10000;
    long stats = 60;
};

BridgeOptions parse_options(int argc, char **argv)
{
    BridgeOptions o;
    std::vector<std::string> args;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options_end || a == "-" || a.empty() || a[0] != '-') {
            args.push_back(a);
            continue;
        }
        if (a == "--") {
            options_end = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(nimbet_tool::kExitDone);
        }
        if (nimbet_tool::take_node_option(o.node, argc, argv, i)) {
            if (o.node.json || o.node.verbose > 0)
                throw UsageError(a + " is not an option of bridge");
            continue;
        }
        std::string name, value;
        bool has_value = false;
        nimbet_tool::split_option(a, name, value, has_value);
        if (!has_value) {
            if (i + 1 >= argc)
                throw UsageError(name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown option " + name);
            value = argv[++i];
        }
        if (name == "--mqtt") o.mqtt = value;
        else if (name == "--topic-prefix") o.prefix = value;
        else if (name == "--client-id") o.client_id = value;
        else if (name == "--username") o.username = value;
        else if (name == "--password") o.password = value;
        else if (name == "--password-file") o.password_file = value;
        else if (name == "--cafile") o.cafile = value;
        else if (name == "--cert") o.cert = value;
        else if (name == "--key") o.key = value;
        else if (name == "--qos") o.qos = static_cast<int>(nimbet_tool::parse_number(value, "--qos", 0, 1));
        else if (name == "--queue") o.queue = nimbet_tool::parse_number(value, "--queue", 1, 10000000);
        else if (name == "--stats") o.stats = nimbet_tool::parse_number(value, "--stats", 0, 86400);
        else if (name == "--file-dir") o.file_dir = value;
        else throw UsageError("unknown option " + name);
    }
    if (args.size() != 1)
        throw UsageError(args.empty() ? "bridge needs PORT" : "unexpected argument '" + args[1] + "'");
    o.port = nimbet_tool::parse_port(args[0]);
    if (o.mqtt.empty())
        throw UsageError("bridge needs --mqtt HOST[:PORT]");
    if (o.node.filter_or && o.node.filters.size() < 2)
        throw UsageError("--or joins two or more --filter expressions");
    if (o.prefix.empty() || o.prefix.find_first_of("+#") != std::string::npos || o.prefix.back() == '/')
        throw UsageError("bad --topic-prefix: no '+' or '#', no trailing '/'");
    if (o.cert.empty() != o.key.empty())
        throw UsageError("--cert and --key go together");
    if (!o.cert.empty() && o.cafile.empty())
        throw UsageError("--cert needs --cafile");
    if (!o.password.empty() && !o.password_file.empty())
        throw UsageError("--password or --password-file, not both");
    if ((!o.password.empty() || !o.password_file.empty()) && o.username.empty())
        throw UsageError("a password needs --username");
    return o;
}

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void on_signal(int sig)
{
    g_signal = sig;
    const char c = 1;
    if (write(g_signal_pipe[1], &c, 1) < 0) {
        // the pipe is full: the loop is woken already
    }
}

bool read_password_file(const std::string &path, std::string &out)
{
    std::ifstream in(path);
    if (!in || !std::getline(in, out))
        return false;
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

class Gateway {
public:
    Gateway(const BridgeOptions &o, int fd, int filter_id)
        : o_(o), fd_(fd), self_(nimbet_tool::id_text(n_socket_get_id(fd))), base_(o.prefix + "/" + self_),
          outbox_(static_cast<std::size_t>(o.queue), kWindow),
          node_(fd, o.node.all, filter_id,
                {[this](n_pkt *pkt) { enqueue(base_ + "/rx", nimbet_tool::frame_json(pkt, nimbet_tool::wall_time())); },
                 [this](const NodeId &src, const std::string &type, const std::string &data, uint32_t ms) {
                     const std::string topic = base_ + "/transfer/" + nimbet_tool::id_text(src.data());
                     enqueue(topic, data);
                     enqueue(topic + "/meta", json{{"time", nimbet_tool::wall_time()},
                                                   {"src", nimbet_tool::id_text(src.data())},
                                                   {"type", type},
                                                   {"bytes", data.size()},
                                                   {"ms", ms}}
                                                  .dump());
                 },
                 [this](const std::string &result) { enqueue(base_ + "/tx/result", result); }})
    {
    }

    int run();

private:
    void enqueue(const std::string &topic, const std::string &payload) { outbox_.push({topic, payload, false, 0}); }
    void handle_events();
    void flush();
    void publish_stats();
    bool start_link(std::string &error);

    const BridgeOptions &o_;
    int fd_;
    std::string self_, base_;
    Outbox outbox_;
    Node node_;
    std::unique_ptr<MqttLink> link_;
    bool connected_ = false;
    uint64_t connections_ = 0;
    uint32_t started_ = n_util_getmstime();
};

bool Gateway::start_link(std::string &error)
{
    MqttSettings s;
    if (!parse_broker_address(o_.mqtt, s.host, s.port)) {
        error = "bad --mqtt address: " + o_.mqtt;
        return false;
    }
    if (o_.mqtt.find(':') == std::string::npos && !o_.cafile.empty())
        s.port = 8883;
    s.client_id = o_.client_id.empty() ? "nimbet-bridge-" + self_ : o_.client_id;
    s.username = o_.username;
    s.password = o_.password;
    if (!o_.password_file.empty() && !read_password_file(o_.password_file, s.password)) {
        error = "cannot read the password file " + o_.password_file;
        return false;
    }
    s.cafile = o_.cafile;
    s.cert = o_.cert;
    s.key = o_.key;
    s.status_topic = base_ + "/status";
    s.subscriptions = {base_ + "/tx"};
    link_ = std::make_unique<MqttLink>(std::move(s));
    return link_->start(error);
}

void Gateway::handle_events()
{
    for (MqttEvent &e : link_->take_events()) {
        switch (e.kind) {
        case MqttEvent::Connected:
            connected_ = true;
            ++connections_;
            std::fprintf(stderr, "nimbet bridge: connected to %s (%zu queued)\n", o_.mqtt.c_str(), outbox_.size());
            break;
        case MqttEvent::ConnectFailed:
            std::fprintf(stderr, "nimbet bridge: cannot connect to %s: %s\n", o_.mqtt.c_str(), e.topic.c_str());
            break;
        case MqttEvent::Disconnected:
            connected_ = false;
            // Whatever is unconfirmed goes out again from the oldest. The
            // client re-sends its own unconfirmed QoS 1 messages as well, but
            // only after it reports the new connection, when newer messages
            // may already be on their way: ours keep the order (first
            // arrivals in order, repeats possible, as QoS 1 allows).
            outbox_.rewind();
            std::fprintf(stderr, "nimbet bridge: broker away (%s); queueing\n", e.topic.c_str());
            break;
        case MqttEvent::Published:
            outbox_.confirmed(e.code);
            break;
        case MqttEvent::Message:
            if (e.topic == base_ + "/tx")
                node_.submit(e.payload, o_.file_dir);
            break;
        }
    }
}

// Hands the next messages in order to the client, at most a window of them
// unconfirmed.
void Gateway::flush()
{
    while (connected_) {
        OutMessage *m = outbox_.next();
        if (m == nullptr)
            return;
        const int mid = link_->publish(m->topic, m->payload, o_.qos, m->retain);
        if (mid == MqttLink::kRefusedForNow)
            return;  // tried again after the next event
        if (mid == MqttLink::kRefusedForGood) {
            std::fprintf(stderr, "nimbet bridge: dropped a message for %s that MQTT cannot carry (%zu bytes)\n",
                         m->topic.c_str(), m->payload.size());
            outbox_.refuse_next();
            continue;
        }
        outbox_.handed(mid);
    }
}

void Gateway::publish_stats()
{
    n_socket_stats s{};
    n_socket_get_stats(fd_, &s);
    const NodeCounters &n = node_.counters();
    const json j = {{"time", nimbet_tool::wall_time()},
                    {"uptime_s", (n_util_getmstime() - started_) / 1000},
                    {"published", outbox_.published()},
                    {"queued", outbox_.size()},
                    {"dropped", outbox_.dropped()},
                    {"connections", connections_},
                    {"commands", n.commands},
                    {"commands_failed", n.commands_failed},
                    {"transfers_received", n.transfers_received},
                    {"socket", json::parse(nimbet_tool::stats_json(s))}};
    link_->publish(base_ + "/stats", j.dump(), 0, false);
}

int Gateway::run()
{
    std::string error;
    if (!start_link(error)) {
        std::fprintf(stderr, "nimbet bridge: %s\n", error.c_str());
        return nimbet_tool::kExitFailure;
    }
    std::printf("bridge on port %u as %s, broker %s, topics %s/...\n", o_.port, self_.c_str(), o_.mqtt.c_str(),
                base_.c_str());
    std::fflush(stdout);

    const uint32_t limit_ms = o_.node.seconds > 0 ? static_cast<uint32_t>(o_.node.seconds * 1000) : 0;
    const uint32_t stats_ms = static_cast<uint32_t>(o_.stats * 1000);
    uint32_t last_stats = started_;
    while (g_signal == 0 && (limit_ms == 0 || n_util_getmstime() - started_ < limit_ms)) {
        int wait = node_.next_wake_ms(200);
        if (limit_ms != 0)
            wait = std::min<int>(wait, static_cast<int>(limit_ms - (n_util_getmstime() - started_)));
        pollfd fds[3] = {{fd_, POLLIN, 0}, {link_->wake_fd(), POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        poll(fds, 3, std::max(wait, 0));
        node_.pump();
        handle_events();
        flush();
        if (stats_ms != 0 && connected_ && n_util_getmstime() - last_stats >= stats_ms) {
            last_stats = n_util_getmstime();
            publish_stats();
        }
    }

    // Give what is queued a moment to reach the broker.
    const uint32_t t0 = n_util_getmstime();
    while (outbox_.size() > 0 && connected_ && n_util_getmstime() - t0 < kFlushOnExitMs) {
        pollfd p{link_->wake_fd(), POLLIN, 0};
        poll(&p, 1, 50);
        handle_events();
        flush();
    }
    link_->stop();
    std::printf("bridge stopped: %llu published, %zu left in the queue, %llu dropped, %llu commands\n",
                static_cast<unsigned long long>(outbox_.published()), outbox_.size(),
                static_cast<unsigned long long>(outbox_.dropped()),
                static_cast<unsigned long long>(node_.counters().commands));
    return g_signal == SIGINT ? nimbet_tool::kExitInterrupted : nimbet_tool::kExitDone;
}

}  // namespace

int run(int argc, char **argv)
{
    try {
        const BridgeOptions o = parse_options(argc, argv);
        if (pipe(g_signal_pipe) != 0) {
            std::perror("nimbet bridge: pipe");
            return nimbet_tool::kExitFailure;
        }
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);

        const int fd = nimbet_tool::open_node(o.node, o.port, true);
        nimbet_tool::SocketGuard socket{fd};
        nimbet_tool::FilterGuard filter{nimbet_tool::build_filter(o.node)};
        Gateway gateway(o, fd, filter.id);
        return gateway.run();
    } catch (const UsageError &e) {
        std::fprintf(stderr, "nimbet bridge: %s\nTry 'nimbet bridge --help'.\n", e.what());
        return nimbet_tool::kExitUsage;
    } catch (const Failure &e) {
        std::fprintf(stderr, "nimbet bridge: %s\n", e.what());
        return e.status;
    }
}

}  // namespace nimbet::bridge
