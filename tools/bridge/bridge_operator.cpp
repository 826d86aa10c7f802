// SPDX-License-Identifier: MIT
// What the gateway's operator sees and does: counters, metrics and health, reloads, the state file taken over, status lines.
#include "bridge_gateway.h"

#include <nlohmann/json.hpp>

#include "frame_json.h"

extern char **environ;

namespace nimbet::bridge {

using nlohmann::json;

namespace {

constexpr uint32_t kStuckMs = 30000;  // connected, messages waiting, none confirmed: not forwarding

// Settings that hold for the life of the process: a reload names them when
// they changed and keeps them as they are.
const char *const kFixedSettings[] = {"port", "id", "local", "dest", "all", "rcvbuf", "state_dir", "outbox",
                                      "command_ids", "command_id_seconds", "metrics", "seconds", "mqtt.client_id",
                                      "mqtt.topic_prefix"};


}  // namespace

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
                    {"command_repeats", gate_.repeats()},
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
    // Settings for the life of the process keep their values (and are
    // named when they changed); everything else is taken.
    BridgeConfig merged = inv.config;
    std::string fixed;
    const std::vector<std::string> changed = changed_keys(c_, merged);
    for (const std::string &key : changed) {
        for (const char *f : kFixedSettings) {
            if (key == f) {
                fixed += (fixed.empty() ? "" : ", ") + key;
                copy_setting(merged, c_, key);
            }
        }
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
    n_socket_set_transfer_window(fd_, static_cast<int>(merged.window));
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

}  // namespace nimbet::bridge
