// SPDX-License-Identifier: MIT
// The gateway: its event loop and state, shared by the loop itself (bridge_gateway.cpp) and what the operator sees and does (bridge_operator.cpp).
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
#pragma once

#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
#include "nimbet/nimbet.h"
#include "node_options.h"

namespace nimbet::bridge {

// Set by the signal handlers (bridge.cpp), read by the loop: the signal
// that stops the gateway, SIGHUP, SIGUSR1 or SIGUSR2; each also writes a
// byte to the pipe, which wakes the loop.
extern int g_signal_pipe[2];
extern volatile sig_atomic_t g_signal, g_reload, g_report;

constexpr uint32_t kReopenStoreMs = 2000;  // a state file that could not be opened is tried again

std::string kib(long bytes);
nimbet_tool::NodeOptions node_options_of(const BridgeConfig &c);
Outbox::Limits outbox_limits(const BridgeConfig &c);
CommandGate::Limits gate_limits(const BridgeConfig &c);
CommandMemoryLimits command_limits(const BridgeConfig &c);
// A hash of what the client reads from files (password, CA, certificate,
// key), so that a reload can tell whether they changed.
std::string files_of_link(const BridgeConfig &c);

// Where the command line and the environment are, for a reload.
struct Origin {
    int argc;
    char **argv;
};

class Gateway {
public:
    // fd: the node socket, filter_id: its filter chain (both owned by the
    // caller); store: where the outbox and the command ids are kept, a
    // memory one standing in when reopen_store is set.
    Gateway(const BridgeConfig &c, Origin origin, int fd, int filter_id, std::unique_ptr<Store> store,
            bool reopen_store);

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

}  // namespace nimbet::bridge
