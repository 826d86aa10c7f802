// SPDX-License-Identifier: MIT
// nimbet bridge: the command, its help, its signals, and how the gateway is set up and started.
#include "bridge.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge_gateway.h"

extern char **environ;

namespace nimbet::bridge {

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_reload = 0;
volatile sig_atomic_t g_report = 0;

namespace {

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
    "configuration mistake, 130 after SIGINT. SIGHUP reads the settings again;\n"
    "SIGUSR1 and SIGUSR2 log a line of figures.\n"
    "Topics, JSON, commands, metrics and the service: see the README, section\n"
    "\"MQTT gateway\", and nimbet(1).\n";

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
