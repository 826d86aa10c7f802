// SPDX-License-Identifier: MIT
// The gateway's event loop: frames up, commands down, the outbox written and handed to the broker, the start and the stop.
#include "bridge_gateway.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "frame_json.h"

namespace nimbet::bridge {

using nlohmann::json;
using nimbet_tool::Failure;

namespace {

constexpr std::size_t kWindow = 512;  // messages handed to the client at once
constexpr uint32_t kFlushOnExitMs = 3000;
constexpr uint32_t kResumeMs = 10000;  // waiting for the client's own resends after a reconnection
constexpr uint32_t kDropCheckMs = 1000;
constexpr uint32_t kSummaryMs = 60000;      // repeated warnings are summed up at most this often
constexpr uint32_t kBurstFlushMs = 100;      // in a burst, the broker still gets messages this often
constexpr uint32_t kSyncMs = 2;              // new messages wait at most this long to be written ...
constexpr std::size_t kSyncBatch = 256;      // ... unless this many wait
constexpr uint32_t kRemovalMs = 500;         // removals wait at most this long ...
constexpr std::size_t kRemovalBatch = 4096;  // ... unless this many wait

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

double wall_seconds() { return nimbet_tool::wall_time(); }


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


}  // namespace

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

std::string kib(long bytes) { return std::to_string(bytes / 1024) + " KiB"; }

nimbet_tool::NodeOptions node_options_of(const BridgeConfig &c)
{
    nimbet_tool::NodeOptions o;
    o.id = c.id;
    o.local = c.local;
    o.dest = c.dest;
    o.retry = static_cast<int>(c.retry);
    o.timeout = static_cast<int>(c.timeout);
    o.window = static_cast<int>(c.window);
    o.seconds = c.seconds;
    o.filters = c.filter;
    o.filter_or = c.filter_or;
    o.all = c.all;
    return o;
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

Gateway::Gateway(const BridgeConfig &c, Origin origin, int fd, int filter_id, std::unique_ptr<Store> store,
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


}  // namespace nimbet::bridge
