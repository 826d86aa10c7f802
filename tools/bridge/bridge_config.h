// SPDX-License-Identifier: MIT
// The gateway's settings: defaults, a TOML file, NIMBET_BRIDGE_ environment variables and the command line, in that order.
#pragma once

#include <string>
#include <vector>

namespace nimbet::bridge {

// Every setting has a key in the file: the node's at the top level, named
// as the command-line options, the broker's in an [mqtt] table.
struct BridgeConfig {
    // The node.
    long port = 0;
    std::string id, local, dest;
    long retry = 10, timeout = 163;
    long window = 64;  // parts of a transfer in flight (0 or 1: one at a time)
    double seconds = 0;  // 0: until SIGINT or SIGTERM
    std::vector<std::string> filter;
    bool filter_or = false, all = false;
    long rcvbuf = 32L << 20;  // the node socket's receive buffer, bytes
    // The service.
    std::string log_level = "info";
    std::string state_dir;          // empty: $STATE_DIRECTORY, $XDG_STATE_HOME/nimbet or ~/.local/state/nimbet
    std::string outbox = "sqlite";  // or "memory"
    long queue = 100000;            // outbox bounds: messages and bytes
    long queue_bytes = 64L << 20;
    long command_ids = 10000;       // command ids remembered, so that none runs twice
    long command_id_seconds = 604800;  // and for how long at most
    long command_bytes = 1L << 20;  // the largest command message taken
    long command_id_bytes = 256;    // the longest id (its JSON text)
    long command_rate = 50;         // commands a second (and as many at once)
    long stats = 60;                // seconds between P/G/stats (0: never)
    std::string file_dir;
    std::string metrics;            // "[HOST:]PORT" of the Prometheus page; empty: none
    // [mqtt]
    std::string host;
    long mqtt_port = 0;  // 0: 1883, or 8883 with cafile
    std::string username, password, password_file, cafile, cert, key, client_id;
    std::string topic_prefix = "nimbet";
    long qos = 1, keepalive = 30;
    long attempts = 5;            // failed connections of a permanent kind before the gateway gives up
    long session_expiry = 604800;  // seconds the broker keeps the session while the gateway is away

    std::string file;  // the configuration file read, empty when none
};

// What the command line asked besides settings.
struct Invocation {
    BridgeConfig config;
    bool print_config = false;
};

// Reads the settings for `nimbet bridge` (argv[0] is "bridge"): the file
// named by --config, else the first of ./nimbet-bridge.toml,
// $XDG_CONFIG_HOME/nimbet/bridge.toml (~/.config when unset) and
// /etc/nimbet/bridge.toml that exists (none with --no-config); then the
// environment (NIMBET_BRIDGE_KEY, NIMBET_BRIDGE_MQTT_KEY); then the command
// line. Under systemd, the credentials mqtt_password, mqtt_cafile,
// mqtt_cert and mqtt_key in $CREDENTIALS_DIRECTORY fill password_file,
// cafile, cert and key when nothing else set them. Checks the result as a whole. Throws nimbet_tool::UsageError naming
// the file and line, the variable or the option of a bad or unknown setting.
Invocation load_config(int argc, char **argv, char **envp);

// The keys whose values differ ("key" or "mqtt.key").
std::vector<std::string> changed_keys(const BridgeConfig &a, const BridgeConfig &b);

// Sets one key ("key" or "mqtt.key") of `to` to its value in `from`.
void copy_setting(BridgeConfig &to, const BridgeConfig &from, const std::string &key);

// The settings as a TOML document that load_config reads back, secrets
// masked.
std::string config_text(const BridgeConfig &c);

// The directory that holds the outbox and the remembered commands.
std::string state_dir_of(const BridgeConfig &c);

// The help lines of the settings: key, option, text.
std::string config_help();

}  // namespace nimbet::bridge
