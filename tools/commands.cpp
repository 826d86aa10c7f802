// SPDX-License-Identifier: MIT
// What the nimbet tool's commands share: interruption, the receive loop, the end-of-run counters and summary.
#include "commands.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace nimbet_tool {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) { g_interrupted = 1; }

}  // namespace

std::string plural(uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool check_output(const std::string &path, bool no_clobber)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw Failure(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode))
        throw Failure(kExitFailure, "cannot write " + path + ": it is a directory");
    if (no_clobber)
        throw Failure(kExitFailure, path + " exists; not overwriting it (--no-clobber)");
    return true;
}

// Why a send failed: the system's reason when it names one.
std::string send_failure(int fd, int sys_errno)
{
    if (sys_errno == ENETUNREACH || sys_errno == EHOSTUNREACH) {
        std::string where = "the destination";
        if (unsigned char *a = n_socket_get_ipdest(fd, 0)) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, a, text, sizeof text);
            where = text;
            std::free(a);
        }
        return "no route to " + where;
    }
    if (sys_errno == EACCES)
        return "sending to a broadcast address was refused (EACCES)";
    return "send failed: " + library_error();
}

void catch_interrupts()
{
    // No SA_RESTART: a wait in poll returns at once with EINTR.
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

void pump(int fd, uint32_t wait_ms, const std::function<void(n_pkt *)> &on_packet)
{
    if (interrupted())
        return;
    // One bounded receive: on the node's blocking socket a single read that
    // waits for the next datagram or the next transfer timer. A datagram
    // that is consumed (a fragment, an acknowledgement) ends it as well, so
    // that the caller looks at its transfers after each one.
    if (n_pkt *pkt = n_socket_recv_timeout(fd, fd, static_cast<int>(wait_ms))) {
        on_packet(pkt);
        n_pkt_free(pkt);
    }
}

int finish(const CommandLine &c, int fd, int status, double seconds, JsonObject summary)
{
    n_socket_stats stats{};
    const bool have_stats = fd >= 0 && n_socket_get_stats_sized(fd, &stats, sizeof stats) >= 0;
    if (c.node.verbose > 0 && have_stats)
        std::fprintf(stderr, "nimbet: counters: %s\n", stats_text(stats).c_str());
    if (c.node.json) {
        summary.num("status", status).real("seconds", seconds);
        if (interrupted())
            summary.boolean("interrupted", true);
        if (have_stats)
            summary.raw("stats", stats_json(stats));
        std::printf("%s\n", summary.text().c_str());
        std::fflush(stdout);
    }
    return status;
}

}  // namespace nimbet_tool
