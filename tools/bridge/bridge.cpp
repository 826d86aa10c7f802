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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge_command.h"
#include "bridge_config.h"
#include "bridge_gate.h"
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

constexpr uint32_t kReopenStoreMs = 5000;  // a state file that could not be opened is tried again
constexpr uint32_t kSummaryMs = 60000;      // repeated warnings are summed up at most this often
constexpr uint32_t kStuckMs = 30000;         // connected, messages waiting, none confirmed: not forwarding
constexpr uint32_t kBurstFlushMs = 100;      // in a burst, the broker still gets messages this often
constexpr uint32_t kSyncMs = 2;              // new messages wait at most this long to be written ...
constexpr std::size_t kSyncBatch = 256;      // ... unless this many wait
constexpr uint32_t kRemovalMs = 500;         // removals wait at most this long ...
constexpr std::size_t kRemovalBatch = 4096;  // ... unless this many wait

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;  // the signal that stops the gateway
volatile sig_atomic_t g_reload = 0;  // SIGHUP came
volatile sig_atomic_t g_report = 0;  // SIGUSR1 or SIGUSR2 came

void on_signal(int sig)
{
    if (sig == SIGHUP)
        g_reload = 1;
    else if (sig == SIGUSR1 || sig == SIGUSR2)
        g_report = 1;
    else
        g_signal = sig;
    const char c = 1;
    if (write(g_signal_pipe[1], &c, 1) < 0) {
        // the pipe is full: the loop is woken already
    }
}

void drain_signal_pipe()
{
    char buf[64];
    while (read(g_signal_pipe[0], buf, sizeof buf) > 0) {
    }
}

// The first line of a password file; false with the reason.
bool read_password_file(const std::string &path, std::string &out, std::string &why)
{
    std::ifstream in(path);
    if (!in) {
        why = std::strerror(errno);
        return false;
    }
    if (!std::getline(in, out) || (out.empty() && in.eof())) {
        why = "it is empty";
        return false;
    }
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

// What the client reads from files, so that a reload can tell whether they changed.
std::string files_of_link(const BridgeConfig &c)
{
    std::string all;
    for (const std::string *path : {&c.password_file, &c.cafile, &c.cert, &c.key}) {
        if (path->empty())
            continue;
        std::ifstream in(*path, std::ios::binary);
        all += *path + '\0' + std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) + '\0';
    }
    return command_hash(all);
}

double wall_seconds() { return nimbet_tool::wall_time(); }

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

// Messages are numbered from the wall clock's microseconds at the start (or
// after the last one kept, when that is higher): the numbers grow across
// restarts, with the memory outbox too, as long as the clock does not go
// back and fewer than a million messages a second are made.
int64_t first_seq()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Outbox::Limits outbox_limits(const BridgeConfig &c)
{
    return {static_cast<std::size_t>(c.queue), static_cast<std::size_t>(c.queue_bytes), kWindow};
}

CommandGate::Limits gate_limits(const BridgeConfig &c)
{
    return {static_cast<std::size_t>(c.command_bytes), static_cast<std::size_t>(c.command_id_bytes),
            static_cast<double>(c.command_rate)};
}

CommandMemoryLimits command_limits(const BridgeConfig &c) { return {c.command_ids, c.command_id_seconds}; }

// Settings that hold for the life of the process: a reload names them when
// they changed and keeps them as they are.
const char *const kFixedSettings[] = {"port", "id", "local", "dest", "all", "rcvbuf", "state_dir", "outbox",
                                      "command_ids", "command_id_seconds", "metrics", "seconds", "mqtt.client_id",
                                      "mqtt.topic_prefix"};

// Where the command line and the environment are, for a reload.
struct Origin {
    int argc;
    char **argv;
};

class Gateway {
public:
    Gateway(const BridgeConfig &c, Origin origin, int fd, int filter_id, std::unique_ptr<Store> store,
            bool reopen_store)
        : c_(c), origin_(origin), fd_(fd), filter_id_(filter_id), self_(nimbet_tool::id_text(n_socket_get_id(fd))),
          base_(c.topic_prefix + "/" + self_),
          client_id_(c.client_id.empty() ? "nimbet-bridge-" + self_ : c.client_id), store_(std::move(store)),
          reopen_store_(reopen_store), outbox_(outbox_limits(c), *store_, first_seq()), gate_(gate_limits(c), *store_),
          node_(fd, c.all, filter_id,
                {[this](n_pkt *pkt) {
                     ++frames_up_;
                     last_frame_time_ = nimbet_tool::wall_time();
                     enqueue(base_ + "/rx", nimbet_tool::frame_json(pkt, last_frame_time_));
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
          metrics_([this] { return metrics_text(); }, [this](std::string &why) { return healthy(why); }),
          full_report_(kSummaryMs)
    {
        outbox_.on_episode = [this](bool dropping, uint64_t dropped) { on_outbox_episode(dropping, dropped); };
        outbox_.on_store = [this](bool durable, const std::string &why) {
            if (durable)
                log(Level::Notice, "the outbox is durable again: " + std::to_string(outbox_.size()) + " messages in " +
                                       store_->where() + " after " + std::to_string(outbox_.store_failures()) +
                                       " failed writes");
            else
                log(Level::Error, "cannot write the outbox to " + store_->where() + ": " + why + "; keeping " +
                                      std::to_string(outbox_.unsaved()) +
                                      " messages in memory (a restart now would lose them) and trying again");
        };
        link_files_ = files_of_link(c_);
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
    void on_command(const std::string &payload, bool retained);
    void on_result(const std::string &result);
    void on_outbox_episode(bool dropping, uint64_t dropped);
    void reload();
    void restart_link();
    void try_reopen_store();
    void report();
    bool healthy(std::string &why);
    void handle_events();
    void flush();
    void sync_outbox();
    int next_sync_ms(int max_ms) const;
    void publish_stats();
    void check_kernel_drops();
    std::string metrics_text();
    bool start_link(std::string &error);

    BridgeConfig c_;
    Origin origin_;
    int fd_;
    int filter_id_;  // the filter chain in use (owned by the caller until a reload replaces it)
    nimbet_tool::FilterGuard own_filter_{0};  // a chain that a reload built
    std::string self_, base_, client_id_, broker_;
    std::unique_ptr<Store> store_;
    bool reopen_store_;  // the durable store could not be opened yet
    uint32_t last_reopen_ = n_util_getmstime();
    Outbox outbox_;
    CommandGate gate_;
    Node node_;
    std::unique_ptr<MqttLink> link_;
    std::string link_files_;  // what the client's files held when it started
    MetricsServer metrics_;
    ServiceNotifier notifier_;
    SummedWarning full_report_;  // "the outbox is full", at most once a minute
    bool full_logged_ = false;   // this episode's start was logged
    double last_frame_time_ = 0;
    double start_time_ = nimbet_tool::wall_time();
    uint32_t last_progress_ = n_util_getmstime();  // the last confirmation, or the time the outbox was last empty
    uint32_t last_sync_ = 0;
    uint32_t last_flush_ = 0;
    bool connected_ = false;
    bool resuming_ = false;  // reconnected with messages in flight: the client sends those first
    uint32_t resumed_at_ = 0;
    bool gave_up_ = false;
    uint64_t connections_ = 0, frames_up_ = 0, transfers_up_ = 0, results_ = 0;
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
    std::string why;
    if (!c_.password_file.empty() && !read_password_file(c_.password_file, s.password, why)) {
        error = "cannot read the password file " + c_.password_file + ": " + why;
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

// A command passes the gate (size, rate, retained, its id) before it runs.
// A command with an id runs at most once: the id is kept (in the store,
// across restarts) before it runs, and a repeat gets the first run's result
// again.
void Gateway::on_command(const std::string &payload, bool retained)
{
    try {
        const CommandGate::Verdict v =
            gate_.admit(payload, retained, n_util_getmstime(), static_cast<int64_t>(wall_seconds()));
        if (v.kind == CommandGate::Verdict::Run) {
            node_.submit(payload, c_.file_dir);
        } else if (v.kind == CommandGate::Verdict::Answer) {
            const json r = json::parse(v.result, nullptr, false);
            if (r.is_object() && r.value("ok", true) == false)
                log(Level::Info, "command refused: " + r.value("error", ""));
            ++results_;
            enqueue(base_ + "/tx/result", v.result);
        }
    } catch (const std::exception &e) {
        log(Level::Error, std::string("a command could not be handled: ") + e.what());
    }
}

void Gateway::on_result(const std::string &result)
{
    gate_.finished(result);
    const json r = json::parse(result, nullptr, false);
    if (r.is_object() && r.value("ok", true) == false)
        log(Level::Info, "command " + (r.contains("id") ? r["id"].dump() : "null") + " failed: " +
                             r.value("error", ""));
    ++results_;
    enqueue(base_ + "/tx/result", result);
}

// The first episode of a full outbox is logged when it starts and ends;
// later ones within a minute are summed up once that minute is over.
void Gateway::on_outbox_episode(bool dropping, uint64_t dropped)
{
    const uint32_t now = n_util_getmstime();
    if (dropping) {
        full_logged_ = full_report_.start(now);
        if (full_logged_)
            log(Level::Warning, "the outbox is full (" + std::to_string(outbox_.size()) + " messages, " +
                                    kib(static_cast<long>(outbox_.bytes())) +
                                    "): dropping the oldest messages until there is room");
        return;
    }
    full_report_.add(dropped);
    if (full_logged_)
        log(Level::Notice, "the outbox has room again; " + std::to_string(dropped) + " messages dropped");
    full_logged_ = false;
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
                                        ") to another connection: is a second gateway running with it? Trying "
                                        "again after a growing delay");
            log(Level::Warning, "broker away (" + e.topic + "); queueing");
            notifier_.status("broker away; queueing");
            break;
        case MqttEvent::Published:
            if (outbox_.confirmed(e.code))
                last_progress_ = n_util_getmstime();
            break;
        case MqttEvent::Message:
            if (e.topic == base_ + "/tx")
                on_command(e.payload, e.flag);
            break;
        }
    }
}

// Writes the outbox's changes in one transaction: new messages soon (they
// are handed over only once written, so whatever the broker has was on disk
// first), at most every kSyncMs unless many wait; removals lazily, as a
// restart before they are written publishes those messages again, which
// consumers drop by their number.
void Gateway::sync_outbox()
{
    const uint32_t now = n_util_getmstime();
    const uint32_t since = now - last_sync_;
    const bool adds = outbox_.unsynced() >= kSyncBatch || (outbox_.unsynced() > 0 && since >= kSyncMs);
    const bool removals = outbox_.removals() >= kRemovalBatch || (outbox_.removals() > 0 && since >= kRemovalMs);
    if (!adds && !removals)
        return;
    last_sync_ = now;
    outbox_.sync(now);
}

// Milliseconds until sync_outbox() has something to do (at most max_ms).
int Gateway::next_sync_ms(int max_ms) const
{
    const uint32_t since = n_util_getmstime() - last_sync_;
    const auto left = [&](uint32_t period) { return since >= period ? 0 : static_cast<int>(period - since); };
    if (outbox_.unsynced() > 0)
        max_ms = std::min(max_ms, left(kSyncMs));
    if (outbox_.removals() > 0)
        max_ms = std::min(max_ms, left(kRemovalMs));
    return max_ms;
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
        const int mid = link_->publish(m->topic, m->payload, static_cast<int>(c_.qos), false, m->seq);
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
    if (n_socket_get_stats(fd_, &s) != 0 || s.kernel_drops == kernel_drops_seen_)
        return;
    log(Level::Warning, "the kernel dropped " + std::to_string(s.kernel_drops - kernel_drops_seen_) +
                            " datagrams for the node socket: its receive buffer overflowed (rcvbuf " +
                            kib(c_.rcvbuf) + ")");
    kernel_drops_seen_ = s.kernel_drops;
}

void Gateway::publish_stats()
{
    n_socket_stats s{};
    n_socket_get_stats(fd_, &s);
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
                    {"command_repeats", gate_.repeats()},
                    {"transfers_received", n.transfers_received},
                    {"socket", json::parse(nimbet_tool::stats_json(s))}};
    link_->publish(base_ + "/stats", j.dump(), 0, false);
}

std::string Gateway::metrics_text()
{
    n_socket_stats s{};
    n_socket_get_stats(fd_, &s);
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
    metric("command_repeats_total", "counter", "Commands whose id ran already (not run again).",
           {{"", gate_.repeats()}});
    {
        out += "# HELP nimbet_bridge_commands_refused_total Command messages not run, by cause.\n"
               "# TYPE nimbet_bridge_commands_refused_total counter\n";
        for (int i = 0; i < static_cast<int>(CommandGate::Cause::Count); ++i) {
            const auto cause = static_cast<CommandGate::Cause>(i);
            out += metric_line("nimbet_bridge_commands_refused_total", gate_.refused(cause),
                               std::string("cause=\"") + CommandGate::cause_name(cause) + "\"");
        }
    }
    metric("results_total", "counter", "Command results published.", {{"", results_}});
    metric("queue_messages", "gauge", "Messages in the outbox.", {{"", outbox_.size()}});
    metric("queue_bytes", "gauge", "Bytes in the outbox.", {{"", outbox_.bytes()}});
    metric("queue_unsaved_messages", "gauge", "Messages in the outbox that a restart would lose.",
           {{"", outbox_.unsaved()}});
    metric("outbox_durable", "gauge", "1 while the outbox is written to the state file.",
           {{"", outbox_.durable() ? 1u : 0u}});
    metric("store_failures_total", "counter", "Writes to the state file that failed (retried).",
           {{"", outbox_.store_failures()}});
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
    out += "# HELP nimbet_bridge_last_frame_timestamp_seconds When the last frame was handed up (0: none yet).\n"
           "# TYPE nimbet_bridge_last_frame_timestamp_seconds gauge\n" +
           metric_line("nimbet_bridge_last_frame_timestamp_seconds", last_frame_time_);
    out += process_metrics(start_time_);
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
                           (reopen_store_ ? " until the state file can be used" : "") +
                           (c_.metrics.empty() ? "" : ", metrics on port " + std::to_string(metrics_.port())));
    notifier_.ready("queueing for " + broker_);
}

// Waits until the node socket, the client, a signal or a metrics request
// has something, or the next timer (or the end of --seconds) is due.
void Gateway::wait(std::vector<pollfd> &fds, uint32_t limit_ms)
{
    const uint32_t now = n_util_getmstime();
    int wait_ms = next_sync_ms(notifier_.next_ms(now, node_.next_wake_ms(200)));
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
        drain_signal_pipe();
        if (g_reload != 0) {
            g_reload = 0;
            reload();
        }
        if (g_report != 0) {
            g_report = 0;
            report();
        }
        // In a burst the node socket comes first: what is read waits in the
        // outbox (written, and counted against its bounds), and goes to the
        // broker once the burst has been read, instead of overflowing the
        // socket's buffer meanwhile.
        // A stream that never lets up still goes out, every kBurstFlushMs.
        const bool burst = node_.pump() && n_util_getmstime() - last_flush_ < kBurstFlushMs;
        handle_events();
        if (!burst || outbox_.unsynced() >= kSyncBatch)
            sync_outbox();
        if (!burst) {
            flush();
            last_flush_ = n_util_getmstime();
        }
        if (outbox_.size() == 0)
            last_progress_ = n_util_getmstime();
        metrics_.serve(fds, 3);
        notifier_.tick(n_util_getmstime());
        if (reopen_store_ && n_util_getmstime() - last_reopen_ >= kReopenStoreMs)
            try_reopen_store();
        uint64_t episodes = 0, dropped = 0;
        if (full_report_.due(n_util_getmstime(), episodes, dropped))
            log(Level::Warning, "the outbox was full " + std::to_string(episodes) + " more times in the last minute; " +
                                    std::to_string(dropped) + " messages dropped");
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
        poll(&p, 1, std::max(1, next_sync_ms(50)));
        handle_events();
        sync_outbox();
        flush();
    }
    link_->stop();
    handle_events();
    outbox_.sync(n_util_getmstime() + 2 * kReopenStoreMs);  // one last try, whatever the last one was
    check_kernel_drops();
    const std::size_t lost = outbox_.unsaved();
    log(lost > 0 ? Level::Warning : Level::Notice,
        "bridge stopped: " + std::to_string(outbox_.published()) + " published, " + std::to_string(outbox_.size()) +
            " left in the outbox (" + std::to_string(outbox_.size() - lost) + " on disk, " + std::to_string(lost) +
            " lost with this process), " +
                           std::to_string(outbox_.dropped()) + " dropped, " + std::to_string(kernel_drops_seen_) +
                           " dropped by the kernel, " + nimbet_tool::plural(node_.counters().commands, "command", "commands"));
}

// SIGHUP: the settings are read again (file, environment, command line,
// credentials), and what may change while running changes; the outbox and
// the commands in progress stay. Settings that need a restart are named.
void Gateway::reload()
{
    notifier_.reloading();
    Invocation inv;
    try {
        inv = load_config(origin_.argc, origin_.argv, environ);
    } catch (const std::exception &e) {
        log(Level::Error, std::string("reload refused, the settings in effect stay: ") + e.what());
        notifier_.ready("reload refused");
        return;
    }
    BridgeConfig n = inv.config;
    std::string fixed;
    const std::vector<std::string> changed = changed_keys(c_, n);
    for (const std::string &key : changed) {
        for (const char *f : kFixedSettings) {
            if (key == f)
                fixed += (fixed.empty() ? "" : ", ") + key;
        }
    }
    // Those keep their values; everything else is taken.
    BridgeConfig merged = c_;
    {
        BridgeConfig keep = c_;
        merged = n;
        merged.port = keep.port;
        merged.id = keep.id;
        merged.local = keep.local;
        merged.dest = keep.dest;
        merged.all = keep.all;
        merged.rcvbuf = keep.rcvbuf;
        merged.state_dir = keep.state_dir;
        merged.outbox = keep.outbox;
        merged.command_ids = keep.command_ids;
        merged.command_id_seconds = keep.command_id_seconds;
        merged.metrics = keep.metrics;
        merged.seconds = keep.seconds;
        merged.client_id = keep.client_id;
        merged.topic_prefix = keep.topic_prefix;
    }
    if (merged.filter != c_.filter || merged.filter_or != c_.filter_or) {
        try {
            const int id = nimbet_tool::build_filter(node_options_of(merged));
            nimbet_tool::FilterGuard old{own_filter_.id};
            own_filter_.id = id;
            filter_id_ = id;
            node_.set_filter(id);
        } catch (const std::exception &e) {
            log(Level::Error, std::string("reload: the filters stay as they were: ") + e.what());
            merged.filter = c_.filter;
            merged.filter_or = c_.filter_or;
        }
    }
    Level level = Level::Info;
    parse_level(merged.log_level, level);
    log_setup(level);
    n_socket_set_retry(fd_, static_cast<int>(merged.retry), static_cast<int>(merged.timeout));
    outbox_.set_limits(outbox_limits(merged));
    gate_.set_limits(gate_limits(merged));
    bool link_changed = false;
    for (const std::string &key : changed)
        link_changed = link_changed || key.rfind("mqtt.", 0) == 0;
    link_changed = link_changed || files_of_link(merged) != link_files_;
    c_ = merged;
    if (!fixed.empty())
        log(Level::Warning, "reload: " + fixed + " change only at a restart; kept as they were");
    if (link_changed)
        restart_link();
    log(Level::Notice, "settings reloaded" + (c_.file.empty() ? std::string() : " from " + c_.file) +
                           (link_changed ? "; reconnecting with the new broker settings" : ""));
    notifier_.ready(connected_ ? "connected to " + broker_ : "queueing for " + broker_);
}

// A new client with the settings in effect; what the old one held
// unconfirmed goes again from the outbox.
void Gateway::restart_link()
{
    handle_events();
    link_->stop();
    link_->take_events();
    connected_ = false;
    resuming_ = false;
    outbox_.rewind();
    std::string error;
    if (!start_link(error)) {
        log(Level::Error, "reload: " + error + "; the broker is not tried until the next reload");
        return;
    }
    link_files_ = files_of_link(c_);
}

// The durable outbox could not be opened at the start (a full disk): it is
// tried again now and then, and takes over what waits in memory.
void Gateway::try_reopen_store()
{
    last_reopen_ = n_util_getmstime();
    std::string error;
    StoreFailure failure = StoreFailure::Unavailable;
    std::vector<std::string> notes;
    std::unique_ptr<Store> store =
        sqlite_store(state_dir_of(c_), client_id_, command_limits(c_), error, failure, notes);
    for (const std::string &note : notes)
        log(Level::Warning, note);
    if (store == nullptr) {
        log(Level::Debug, "the state file cannot be used yet: " + error);
        return;
    }
    outbox_.adopt(*store);
    gate_.set_store(*store);
    store_ = std::move(store);
    reopen_store_ = false;
    if (outbox_.sync(n_util_getmstime()))
        log(Level::Notice, "the outbox is durable again: " + std::to_string(outbox_.size()) + " messages in " +
                               store_->where());
}

// SIGUSR1, SIGUSR2: one line of figures, nothing else.
void Gateway::report()
{
    log(Level::Notice, "status: " + std::string(connected_ ? "connected to " : "away from ") + broker_ + ", " +
                           std::to_string(frames_up_) + " frames up, " + std::to_string(outbox_.published()) +
                           " published, " + std::to_string(outbox_.size()) + " in the outbox (" +
                           std::to_string(outbox_.unsaved()) + " not on disk), " + std::to_string(outbox_.dropped()) +
                           " dropped");
}

// Healthy while connected and forwarding: messages that wait are being
// confirmed.
bool Gateway::healthy(std::string &why)
{
    if (!connected_) {
        why = "not connected to " + broker_;
        return false;
    }
    if (outbox_.size() > 0 && n_util_getmstime() - last_progress_ > kStuckMs) {
        why = std::to_string(outbox_.size()) + " messages wait and none was confirmed for " +
              std::to_string((n_util_getmstime() - last_progress_) / 1000) + " s";
        return false;
    }
    why = "ok: connected to " + broker_ + ", " + std::to_string(outbox_.size()) + " queued";
    return true;
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
        if (pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            throw Failure(nimbet_tool::kExitFailure, std::string("pipe: ") + std::strerror(errno));
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
            sigaction(sig, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);
        signal(SIGXFSZ, SIG_IGN);  // a file size limit fails the write, which is retried, instead of ending the gateway

        const nimbet_tool::NodeOptions node = node_options_of(c);
        const int fd = nimbet_tool::open_node(node, static_cast<uint16_t>(c.port), true);
        nimbet_tool::SocketGuard socket{fd};
        set_receive_buffer(fd, c.rcvbuf);
        n_socket_set_kernel_drops(fd, 1);
        nimbet_tool::FilterGuard filter{nimbet_tool::build_filter(node)};

        const std::string self = nimbet_tool::id_text(n_socket_get_id(fd));
        const std::string client_id = c.client_id.empty() ? "nimbet-bridge-" + self : c.client_id;
        std::string error;
        StoreFailure failure = StoreFailure::Settings;
        std::vector<std::string> notes;
        std::unique_ptr<Store> store =
            c.outbox == "memory" ? memory_store(command_limits(c))
                                 : sqlite_store(state_dir_of(c), client_id, command_limits(c), error, failure, notes);
        for (const std::string &note : notes)
            log(Level::Warning, note);
        const bool reopen = store == nullptr && failure == StoreFailure::Unavailable;
        if (store == nullptr && !reopen)
            throw Failure(nimbet_tool::kExitFailure, error);
        if (reopen) {
            // Better queue in memory and say so than not run at all.
            log(Level::Error, error + ": starting with the outbox in memory, and trying the state file again every " +
                                  std::to_string(kReopenStoreMs / 1000) + " s");
            store = memory_store(command_limits(c));
        }
        Gateway gateway(c, Origin{argc, argv}, fd, filter.id, std::move(store), reopen);
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
