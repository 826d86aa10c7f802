// SPDX-License-Identifier: MIT
// nimbet bridge: the gateway's event loop, its topics, its counters and how it starts and ends.
//
// One thread owns the node socket, the outbox and the store; the MQTT
// client's network thread only passes events to it (see bridge_mqtt.h).
// Topics, for the prefix P and this gateway's identifier G:
//   P/G/rx                      every frame handed up, as JSON
//   P/G/transfer/SRC            a finished transfer from node SRC, raw bytes
//   P/G/transfer/SRC/meta       its summary, as JSON (published after the bytes)
//   P/G/tx                      commands (subscribed)
//   P/G/tx/result               their outcomes
//   P/G/status                  "online", retained; "offline" as the Last Will
//   P/G/stats                   counters every `stats` seconds
#include "bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge_command.h"
#include "bridge_config.h"
#include "bridge_log.h"
#include "bridge_metrics.h"
#include "bridge_mqtt.h"
#include "bridge_node.h"
#include "bridge_notify.h"
#include "bridge_outbox.h"
#include "bridge_store.h"
#include "commands.h"
#include "frame_json.h"
#include "nimbet/nimbet.h"
#include "node_options.h"

extern char **environ;

namespace nimbet::bridge {

namespace {

using nlohmann::json;
using nimbet_tool::Failure;
using nimbet_tool::UsageError;

const char kUsage[] =
    "usage: nimbet bridge PORT --mqtt HOST[:PORT] [OPTIONS]\n"
    "       nimbet bridge [--config FILE] [OPTIONS]\n"
    "\n"
    "Publishes the frames this node receives to an MQTT broker and sends the\n"
    "commands it gets from there. Runs until SIGINT or SIGTERM (or --seconds).\n"
    "\n"
    "  --config FILE    settings from FILE (TOML); without it the first of\n"
    "                   ./nimbet-bridge.toml, $XDG_CONFIG_HOME/nimbet/bridge.toml and\n"
    "                   /etc/nimbet/bridge.toml that exists; --no-config: none\n"
    "  --print-config   write the settings in effect (secrets masked) and stop\n"
    "  -v, -q           log at debug level, or only warnings and errors\n"
    "  --mqtt HOST[:PORT]   the broker ([mqtt] host and port)\n"
    "The environment overrides the file and the command line overrides both:\n"
    "NIMBET_BRIDGE_KEY for a key, NIMBET_BRIDGE_MQTT_KEY for one of [mqtt].\n"
    "\n";

const char kMoreHelp[] =
    "\n"
    "Exit status: 0 when it ran as asked (stopped by SIGTERM or --seconds), 1 when\n"
    "it could not start or the broker refused it for good, 2 for a usage or\n"
    "configuration mistake, 130 after SIGINT.\n"
    "Topics, JSON, commands, metrics and the service: see the README, section\n"
    "\"MQTT gateway\", and nimbet(1).\n";

constexpr std::size_t kWindow = 64;  // messages handed to the client at once
constexpr uint32_t kFlushOnExitMs = 3000;
constexpr uint32_t kResumeMs = 10000;  // waiting for the client's own resends after a reconnection
constexpr uint32_t kDropCheckMs = 1000;

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

std::string kib(long bytes) { return std::to_string(bytes / 1024) + " KiB"; }

// A receive buffer large enough for bursts: beyond the system's limit for
// ordinary processes when the gateway may (CAP_NET_ADMIN).
void set_receive_buffer(int fd, long want)
{
    const int bytes = static_cast<int>(want);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int got = 0;
    socklen_t len = sizeof got;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &len);
    got /= 2;  // the system reports twice what it counts for data
    if (got < bytes)
        log(Level::Warning, "the node socket's receive buffer is " + kib(got) + ", not the " + kib(want) +
                                " asked (rcvbuf): raise net.core.rmem_max, or give the gateway CAP_NET_ADMIN");
    else
        log(Level::Debug, "the node socket's receive buffer is " + kib(got));
}

nimbet_tool::NodeOptions node_options_of(const BridgeConfig &c)
{
    nimbet_tool::NodeOptions o;
    o.id = c.id;
    o.local = c.local;
    o.dest = c.dest;
    o.retry = static_cast<int>(c.retry);
    o.timeout = static_cast<int>(c.timeout);
    o.seconds = c.seconds;
    o.filters = c.filter;
    o.filter_or = c.filter_or;
    o.all = c.all;
    return o;
}

class Gateway {
public:
    Gateway(const BridgeConfig &c, int fd, int filter_id, std::unique_ptr<Store> store)
        : c_(c), fd_(fd), self_(nimbet_tool::id_text(n_socket_get_id(fd))), base_(c.topic_prefix + "/" + self_),
          client_id_(c.client_id.empty() ? "nimbet-bridge-" + self_ : c.client_id), store_(std::move(store)),
          outbox_({static_cast<std::size_t>(c.queue), static_cast<std::size_t>(c.queue_bytes), kWindow}, *store_),
          node_(fd, c.all, filter_id,
                {[this](n_pkt *pkt) {
                     ++frames_up_;
                     enqueue(base_ + "/rx", nimbet_tool::frame_json(pkt, nimbet_tool::wall_time()));
                 },
                 [this](const NodeId &src, const std::string &type, const std::string &data, uint32_t ms) {
                     const std::string topic = base_ + "/transfer/" + nimbet_tool::id_text(src.data());
                     ++transfers_up_;
                     enqueue(topic, data);
                     enqueue(topic + "/meta", json{{"time", nimbet_tool::wall_time()},
                                                   {"src", nimbet_tool::id_text(src.data())},
                                                   {"type", type},
                                                   {"bytes", data.size()},
                                                   {"ms", ms}}
                                                  .dump());
                 },
                 [this](const std::string &result) { on_result(result); }}),
          metrics_([this] { return metrics_text(); })
    {
        outbox_.on_episode = [this](bool dropping, uint64_t dropped) {
            if (dropping)
                log(Level::Warning, "the outbox is full (" + std::to_string(outbox_.size()) + " messages, " +
                                        kib(static_cast<long>(outbox_.bytes())) +
                                        "): dropping the oldest messages until there is room");
            else
                log(Level::Notice, "the outbox has room again; " + std::to_string(dropped) + " messages dropped");
        };
    }

    // Runs until a signal, the end of --seconds, or the broker given up;
    // returns the exit status.
    int run();

private:
    void start();
    void wait(std::vector<pollfd> &fds, uint32_t limit_ms);
    void serve();
    void stop();
    void enqueue(const std::string &topic, const std::string &payload) { outbox_.push(topic, payload); }
    void on_command(const std::string &payload);
    void on_result(const std::string &result);
    void handle_events();
    void flush();
    void publish_stats();
    void check_kernel_drops();
    std::string metrics_text();
    bool start_link(std::string &error);

    const BridgeConfig &c_;
    int fd_;
    std::string self_, base_, client_id_, broker_;
    std::unique_ptr<Store> store_;
    Outbox outbox_;
    Node node_;
    std::unique_ptr<MqttLink> link_;
    MetricsServer metrics_;
    ServiceNotifier notifier_;
    std::set<std::string> running_;  // ids of commands whose result has not come yet
    bool connected_ = false;
    bool resuming_ = false;  // reconnected with messages in flight: the client sends those first
    uint32_t resumed_at_ = 0;
    bool gave_up_ = false;
    uint64_t connections_ = 0, frames_up_ = 0, transfers_up_ = 0, results_ = 0, repeats_ = 0;
    uint64_t kernel_drops_seen_ = 0;
    uint32_t started_ = n_util_getmstime();
};

bool Gateway::start_link(std::string &error)
{
    MqttSettings s;
    s.host = c_.host;
    s.port = c_.mqtt_port != 0 ? static_cast<int>(c_.mqtt_port) : c_.cafile.empty() ? 1883 : 8883;
    broker_ = s.host.find(':') != std::string::npos ? "[" + s.host + "]:" + std::to_string(s.port)
                                                     : s.host + ":" + std::to_string(s.port);
    s.client_id = client_id_;
    s.username = c_.username;
    s.password = c_.password;
    if (!c_.password_file.empty() && !read_password_file(c_.password_file, s.password)) {
        error = "cannot read the password file " + c_.password_file + ": " +
                (errno != 0 ? std::strerror(errno) : "it is empty");
        return false;
    }
    s.cafile = c_.cafile;
    s.cert = c_.cert;
    s.key = c_.key;
    s.keepalive_s = static_cast<int>(c_.keepalive);
    s.attempts = static_cast<int>(c_.attempts);
    s.session_expiry_s = static_cast<uint32_t>(c_.session_expiry);
    s.status_topic = base_ + "/status";
    s.subscriptions = {base_ + "/tx"};
    link_ = std::make_unique<MqttLink>(std::move(s));
    return link_->start(error);
}

// A command with an id runs at most once: the id is kept (in the store,
// across restarts) before it runs, and a repeat gets the first run's result
// again.
void Gateway::on_command(const std::string &payload)
{
    const json cmd = json::parse(payload, nullptr, false);
    const bool has_id = cmd.is_object() && cmd.contains("id") &&
                        (cmd["id"].is_string() || cmd["id"].is_number_integer());
    if (has_id) {
        const std::string key = cmd["id"].dump();
        std::string result;
        if (store_->lookup(key, result)) {
            ++repeats_;
            if (running_.count(key) != 0) {
                log(Level::Info, "command " + key + " is running already: not run again");
                return;
            }
            if (result.empty()) {
                result = error_result(cmd["id"], "not run again: the gateway stopped while it ran");
                store_->finish(key, result);
            }
            log(Level::Info, "command " + key + " ran already: its result is published again");
            ++results_;
            enqueue(base_ + "/tx/result", result);
            return;
        }
        store_->start(key);
        running_.insert(key);
    }
    node_.submit(payload, c_.file_dir);
}

void Gateway::on_result(const std::string &result)
{
    const json r = json::parse(result, nullptr, false);
    if (r.is_object() && r.contains("id") && !r["id"].is_null()) {
        const std::string key = r["id"].dump();
        if (running_.erase(key) != 0)
            store_->finish(key, result);
    }
    if (r.is_object() && r.value("ok", true) == false)
        log(Level::Info, "command " + (r.contains("id") ? r["id"].dump() : "null") + " failed: " +
                             r.value("error", ""));
    ++results_;
    enqueue(base_ + "/tx/result", result);
}

void Gateway::handle_events()
{
    for (MqttEvent &e : link_->take_events()) {
        switch (e.kind) {
        case MqttEvent::Connected:
            connected_ = true;
            ++connections_;
            if (outbox_.in_flight() > 0) {
                resuming_ = true;
                resumed_at_ = n_util_getmstime();
            }
            log(Level::Notice, "connected to " + broker_ + " (" + e.topic + ", " +
                                   (e.flag ? "session resumed" : "new session") + ", " +
                                   std::to_string(outbox_.size()) + " queued)");
            notifier_.status("connected to " + broker_);
            break;
        case MqttEvent::ConnectFailed:
            log(e.flag ? Level::Error : Level::Warning,
                e.topic + (e.flag ? " (attempt " + std::to_string(e.code) + " of " + std::to_string(c_.attempts) + ")"
                                  : std::string("; trying again")));
            break;
        case MqttEvent::GaveUp:
            log(Level::Error, "giving up after " + std::to_string(e.code) + " attempts: " + e.topic);
            gave_up_ = true;
            break;
        case MqttEvent::Disconnected:
            connected_ = false;
            // At QoS 1 the client keeps what it was handed and sends it again
            // on the next connection; QoS 0 messages it held are gone, and
            // go again from the outbox.
            if (c_.qos == 0)
                outbox_.rewind();
            if (e.flag)
                log(Level::Warning, "the broker gave this session (client id " + client_id_ +
                                        ") to another connection: is a second gateway running with it?");
            log(Level::Warning, "broker away (" + e.topic + "); queueing");
            notifier_.status("broker away; queueing");
            break;
        case MqttEvent::Published:
            outbox_.confirmed(e.code);
            break;
        case MqttEvent::Message:
            if (e.topic == base_ + "/tx")
                on_command(e.payload);
            break;
        }
    }
}

// Hands the next messages in order to the client, at most a window of them
// unconfirmed.
void Gateway::flush()
{
    if (!connected_)
        return;
    if (resuming_) {
        // The client sends what it held before anything new, and the
        // broker confirms it; only then do newer messages follow, so that
        // the order holds. A client that sends nothing again gets it anew.
        if (outbox_.in_flight() > 0 && n_util_getmstime() - resumed_at_ < kResumeMs)
            return;
        if (outbox_.in_flight() > 0)
            outbox_.rewind();
        resuming_ = false;
    }
    for (;;) {
        const OutMessage *m = outbox_.next();
        if (m == nullptr)
            return;
        const int mid = link_->publish(m->topic, m->payload, static_cast<int>(c_.qos), false);
        if (mid == MqttLink::kRefusedForNow)
            return;  // tried again after the next event
        if (mid == MqttLink::kRefusedForGood) {
            log(Level::Warning, "dropped a message for " + m->topic + " that MQTT cannot carry (" +
                                    std::to_string(m->payload.size()) + " bytes)");
            outbox_.refuse_next();
            continue;
        }
        outbox_.handed(mid);
    }
}

// Bursts beyond the receive buffer are lost in the kernel: said once per
// second in which it happened, with the count.
void Gateway::check_kernel_drops()
{
    n_socket_stats s{};
    if (n_socket_get_stats_sized(fd_, &s, sizeof s) < 0 || s.kernel_drops == kernel_drops_seen_)
        return;
    log(Level::Warning, "the kernel dropped " + std::to_string(s.kernel_drops - kernel_drops_seen_) +
                            " datagrams for the node socket: its receive buffer overflowed (rcvbuf " +
                            kib(c_.rcvbuf) + ")");
    kernel_drops_seen_ = s.kernel_drops;
}

void Gateway::publish_stats()
{
    n_socket_stats s{};
    n_socket_get_stats_sized(fd_, &s, sizeof s);
    const NodeCounters &n = node_.counters();
    const json j = {{"time", nimbet_tool::wall_time()},
                    {"uptime_s", (n_util_getmstime() - started_) / 1000},
                    {"frames_up", frames_up_},
                    {"published", outbox_.published()},
                    {"queued", outbox_.size()},
                    {"queued_bytes", outbox_.bytes()},
                    {"dropped", outbox_.dropped()},
                    {"dropped_full", outbox_.dropped_full()},
                    {"dropped_too_large", outbox_.dropped_refused()},
                    {"kernel_drops", s.kernel_drops},
                    {"connections", connections_},
                    {"commands", n.commands},
                    {"commands_failed", n.commands_failed},
                    {"command_repeats", repeats_},
                    {"transfers_received", n.transfers_received},
                    {"socket", json::parse(nimbet_tool::stats_json(s))}};
    link_->publish(base_ + "/stats", j.dump(), 0, false);
}

std::string Gateway::metrics_text()
{
    n_socket_stats s{};
    n_socket_get_stats_sized(fd_, &s, sizeof s);
    const NodeCounters &n = node_.counters();
    std::string out;
    const auto metric = [&](const char *name, const char *type, const char *help,
                            std::initializer_list<std::pair<const char *, uint64_t>> samples) {
        out += std::string("# HELP nimbet_bridge_") + name + " " + help + "\n# TYPE nimbet_bridge_" + name + " " +
               type + "\n";
        for (const auto &[labels, value] : samples)
            out += metric_line(std::string("nimbet_bridge_") + name, value, labels);
    };
    metric("frames_up_total", "counter", "Frames handed up for publishing.", {{"", frames_up_}});
    metric("transfers_up_total", "counter", "Finished transfers handed up.", {{"", transfers_up_}});
    metric("published_total", "counter", "Messages the broker confirmed.", {{"", outbox_.published()}});
    metric("commands_total", "counter", "Commands received.", {{"", n.commands}});
    metric("commands_failed_total", "counter", "Commands with a failed result.", {{"", n.commands_failed}});
    metric("command_repeats_total", "counter", "Commands whose id ran already (not run again).", {{"", repeats_}});
    metric("results_total", "counter", "Command results published.", {{"", results_}});
    metric("queue_messages", "gauge", "Messages in the outbox.", {{"", outbox_.size()}});
    metric("queue_bytes", "gauge", "Bytes in the outbox.", {{"", outbox_.bytes()}});
    metric("dropped_total", "counter", "Messages lost, by cause.",
           {{"cause=\"outbox_full\"", outbox_.dropped_full()},
            {"cause=\"too_large\"", outbox_.dropped_refused()},
            {"cause=\"kernel\"", s.kernel_drops}});
    metric("kernel_drops_total", "counter", "Datagrams the kernel dropped for the node socket.",
           {{"", s.kernel_drops}});
    metric("connections_total", "counter", "Connections the broker accepted.", {{"", connections_}});
    metric("reconnects_total", "counter", "Connections after the first.",
           {{"", connections_ > 0 ? connections_ - 1 : 0}});
    metric("connected", "gauge", "1 while connected to the broker.", {{"", connected_ ? 1u : 0u}});
    metric("uptime_seconds", "gauge", "Seconds since the gateway started.",
           {{"", (n_util_getmstime() - started_) / 1000}});
    metric("socket_frames_received_total", "counter", "Frames the node socket received.", {{"", s.frames_received}});
    metric("socket_frames_rejected_total", "counter", "Datagrams that did not parse as frames.",
           {{"", s.frames_rejected}});
    metric("socket_frames_sent_total", "counter", "Frames the node socket sent.", {{"", s.frames_sent}});
    return out;
}

// Opens the metrics endpoint and starts the client, then tells the
// service manager that the gateway is ready.
void Gateway::start()
{
    std::string error;
    if (!c_.metrics.empty() && !metrics_.listen(c_.metrics, error))
        throw Failure(nimbet_tool::kExitFailure, error);
    if (!start_link(error))
        throw Failure(nimbet_tool::kExitFailure, error);
    log(Level::Notice, "bridge on port " + std::to_string(c_.port) + " as " + self_ + ", broker " + broker_ +
                           ", client id " + client_id_ + ", topics " + base_ + "/..., outbox " + store_->where() +
                           " (" + std::to_string(outbox_.size()) + " kept)" +
                           (c_.metrics.empty() ? "" : ", metrics on port " + std::to_string(metrics_.port())));
    notifier_.ready("queueing for " + broker_);
}

// Waits until the node socket, the client, a signal or a metrics request
// has something, or the next timer (or the end of --seconds) is due.
void Gateway::wait(std::vector<pollfd> &fds, uint32_t limit_ms)
{
    const uint32_t now = n_util_getmstime();
    int wait_ms = notifier_.next_ms(now, node_.next_wake_ms(200));
    if (limit_ms != 0)
        wait_ms = std::min<int>(wait_ms, static_cast<int>(limit_ms - (now - started_)));
    fds.assign({{fd_, POLLIN, 0}, {link_->wake_fd(), POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}});
    metrics_.add_to(fds);
    poll(fds.data(), fds.size(), std::max(wait_ms, 0));
}

// Serves the node, the broker and the timers until a signal, the end of
// --seconds, or the broker given up.
void Gateway::serve()
{
    const uint32_t limit_ms = c_.seconds > 0 ? static_cast<uint32_t>(c_.seconds * 1000) : 0;
    const uint32_t stats_ms = static_cast<uint32_t>(c_.stats * 1000);
    uint32_t last_stats = started_, last_drop_check = started_;
    std::vector<pollfd> fds;
    while (g_signal == 0 && !gave_up_ && (limit_ms == 0 || n_util_getmstime() - started_ < limit_ms)) {
        wait(fds, limit_ms);
        node_.pump();
        handle_events();
        flush();
        store_->commit();
        metrics_.serve(fds, 3);
        notifier_.tick(n_util_getmstime());
        if (n_util_getmstime() - last_drop_check >= kDropCheckMs) {
            last_drop_check = n_util_getmstime();
            check_kernel_drops();
        }
        if (stats_ms != 0 && connected_ && n_util_getmstime() - last_stats >= stats_ms) {
            last_stats = n_util_getmstime();
            publish_stats();
        }
    }
}

// Gives what is queued a moment to reach the broker (the rest stays in the
// store for the next start), stops the client and says what was done.
void Gateway::stop()
{
    const uint32_t t0 = n_util_getmstime();
    while (outbox_.size() > 0 && connected_ && !gave_up_ && n_util_getmstime() - t0 < kFlushOnExitMs) {
        pollfd p{link_->wake_fd(), POLLIN, 0};
        poll(&p, 1, 50);
        handle_events();
        flush();
    }
    store_->commit();
    link_->stop();
    check_kernel_drops();
    log(Level::Notice, "bridge stopped: " + std::to_string(outbox_.published()) + " published, " +
                           std::to_string(outbox_.size()) + " left in the outbox, " +
                           std::to_string(outbox_.dropped()) + " dropped, " + std::to_string(kernel_drops_seen_) +
                           " dropped by the kernel, " + nimbet_tool::plural(node_.counters().commands, "command", "commands"));
}

int Gateway::run()
{
    start();
    serve();
    notifier_.stopping();
    stop();
    if (gave_up_)
        return nimbet_tool::kExitFailure;
    return g_signal == SIGINT ? nimbet_tool::kExitInterrupted : nimbet_tool::kExitDone;
}

bool wants_help(int argc, char **argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
            return true;
    return false;
}

}  // namespace

int run(int argc, char **argv)
{
    if (wants_help(argc, argv)) {
        std::fputs(kUsage, stdout);
        std::fputs(config_help().c_str(), stdout);
        std::fputs(kMoreHelp, stdout);
        return nimbet_tool::kExitDone;
    }
    try {
        const Invocation inv = load_config(argc, argv, environ);
        const BridgeConfig &c = inv.config;
        if (inv.print_config) {
            std::fputs(config_text(c).c_str(), stdout);
            return nimbet_tool::kExitDone;
        }
        Level level = Level::Info;
        parse_level(c.log_level, level);
        log_setup(level);
        if (pipe(g_signal_pipe) != 0)
            throw Failure(nimbet_tool::kExitFailure, std::string("pipe: ") + std::strerror(errno));
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);

        const nimbet_tool::NodeOptions node = node_options_of(c);
        const int fd = nimbet_tool::open_node(node, static_cast<uint16_t>(c.port), true);
        nimbet_tool::SocketGuard socket{fd};
        set_receive_buffer(fd, c.rcvbuf);
        n_socket_set_kernel_drops(fd, 1);
        nimbet_tool::FilterGuard filter{nimbet_tool::build_filter(node)};

        const std::string self = nimbet_tool::id_text(n_socket_get_id(fd));
        const std::string client_id = c.client_id.empty() ? "nimbet-bridge-" + self : c.client_id;
        std::string error;
        std::unique_ptr<Store> store = c.outbox == "memory"
                                           ? memory_store(c.command_ids)
                                           : sqlite_store(state_dir_of(c), client_id, c.command_ids, error);
        if (store == nullptr)
            throw Failure(nimbet_tool::kExitFailure, error);
        Gateway gateway(c, fd, filter.id, std::move(store));
        return gateway.run();
    } catch (const UsageError &e) {
        std::fprintf(stderr, "nimbet bridge: %s\nTry 'nimbet bridge --help'.\n", e.what());
        return nimbet_tool::kExitUsage;
    } catch (const Failure &e) {
        log(Level::Error, e.what());
        return e.status;
    }
}

}  // namespace nimbet::bridge
