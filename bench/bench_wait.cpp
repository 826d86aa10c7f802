// SPDX-License-Identifier: MIT
// The table of waits in scripts/bench: how late the library's waits end, beside a poll of the same length.
//
// Inside a private network namespace, with nothing arriving: many short
// n_socket_recv_timeout waits on a blocking and on a non-blocking socket,
// acknowledged sends to a node that never answers (each resend and the
// give-up ride on the library's own timer) and the resends of a transfer
// part, each measured against the deadline it serves. The baseline, in the
// same run, is poll() on an idle socket for the same time: what the system
// itself gives. Times are printed, never checked: this is not a test.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#include "support/netns.h"

namespace {

constexpr uint16_t kPort = 47400;

double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The library's clock counts whole milliseconds of the monotonic clock: a
// wait of ms from a reading at t ends when that clock reaches floor(t) + ms.
double deadline_ms(double t, double ms) { return std::floor(t) + ms; }

// How late each wait ended, in ms past its deadline (negative: early).
struct Lateness {
    std::vector<double> ms;

    double at(double q) const
    {
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        return s.empty() ? 0 : s[std::min(s.size() - 1, static_cast<std::size_t>(q * static_cast<double>(s.size())))];
    }
    int over(double bound) const
    {
        return static_cast<int>(std::count_if(ms.begin(), ms.end(), [&](double v) { return v > bound; }));
    }
};

void row(const std::string &what, const Lateness &l, const Lateness &base)
{
    std::printf("| %s | %zu | %.2f | %.2f | %.2f | %d | %.2f / %.2f |\n", what.c_str(), l.ms.size(), l.at(0.5), l.at(0.99),
                l.at(1.0), l.over(1.0), base.at(0.5), base.at(0.99));
}

int open_socket(uint8_t node, bool blocking)
{
    const int fd = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.255.255.255"), kPort);
    if (fd < 0) {
        std::fprintf(stderr, "bench_wait: cannot open a socket (%d)\n", n_errno);
        std::exit(1);
    }
    const unsigned char id[8] = {1, 1, 1, 1, 10, 0, 0, node};
    n_socket_set_id(fd, id);
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    if (n_pkt *none = n_socket_recv(fd, 0))  // binds it
        n_pkt_free(none);
    n_socket_set_option(fd, SOCKET_BLOCKING, blocking ? 1 : 0);
    return fd;
}

// A wait of ms on an idle system socket: what poll() itself gives.
Lateness poll_waits(int ms, int count)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    Lateness l;
    for (int i = 0; i < count; ++i) {
        pollfd p{fd, POLLIN, 0};
        const double t0 = now_ms();
        poll(&p, 1, ms);
        l.ms.push_back(now_ms() - t0 - ms);
    }
    close(fd);
    return l;
}

Lateness receive_waits(int fd, int ms, int count)
{
    Lateness l;
    for (int i = 0; i < count; ++i) {
        const double t0 = now_ms();
        if (n_pkt *got = n_socket_recv_timeout(fd, 0, ms))
            n_pkt_free(got);
        l.ms.push_back(now_ms() - deadline_ms(t0, ms));
    }
    return l;
}

// Acknowledged sends to a node that is not there, by the plain rule: each
// gives up retry x timeout ms after its first transmission.
Lateness acked_waits(int fd, int retry, int timeout, int count)
{
    n_socket_set_retry(fd, retry, timeout);
    n_socket_set_adaptive_retry(fd, 0);
    const unsigned char nobody[8] = {1, 1, 1, 1, 10, 0, 0, 99};
    Lateness l;
    for (int i = 0; i < count; ++i) {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, "tmp", reinterpret_cast<const unsigned char *>("1"), 1, 0);
        const double t0 = now_ms();
        n_socket_send_acked(fd, fd, pkt, nobody);
        l.ms.push_back(now_ms() - deadline_ms(t0, retry * timeout));
        n_pkt_free(pkt);
    }
    return l;
}

// The times a transfer's part went out, from the trace hook.
std::vector<double> g_part_times;

void on_trace(const n_trace_info *info, void *)
{
    if (info->event == N_TRACE_PART_SENT || info->event == N_TRACE_PART_RESENT)
        g_part_times.push_back(now_ms());
}

// A transfer to a node that is not there, by the plain rule: its first part
// goes out again once more than timeout ms passed since it last went out
// (the library's clock then reads timeout + 1 more), while the sender waits
// in n_socket_recv_timeout; each resend is measured against that deadline.
Lateness resend_waits(int fd, int retry, int timeout, int transfers)
{
    n_socket_set_retry(fd, retry, timeout);
    n_socket_set_adaptive_retry(fd, 0);
    n_socket_set_option(fd, SOCKET_FRAG, 1);
    const unsigned char nobody[8] = {1, 1, 1, 1, 10, 0, 0, 98};
    const std::vector<unsigned char> data(100, 0x5A);
    Lateness l;
    n_set_trace(on_trace, nullptr);
    for (int t = 0; t < transfers; ++t) {
        g_part_times.clear();
        if (n_socket_send_buffer(fd, fd, data.data(), static_cast<int>(data.size()), nobody,
                                 reinterpret_cast<const unsigned char *>("\x80\x80")) < 0)
            break;
        const double end = now_ms() + 10.0 * retry * timeout;  // bounded, should the transfer never end
        while (now_ms() < end && (n_frag_get_status(nobody, FRAG_STATE_MASK) & FRAG_STATE_MASK) == FRAG_ACTIVE)
            if (n_pkt *got = n_socket_recv_timeout(fd, 0, timeout * retry))
                n_pkt_free(got);
        for (std::size_t i = 1; i < g_part_times.size(); ++i)
            l.ms.push_back(g_part_times[i] - deadline_ms(g_part_times[i - 1], timeout + 1));
        n_frag_delete(nobody);
    }
    n_set_trace(nullptr, nullptr);
    n_socket_set_option(fd, SOCKET_FRAG, 0);
    return l;
}

}  // namespace

int main(int argc, char **argv)
{
    int scale = 1;  // --quick: a tenth of the waits
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--quick") == 0)
            scale = 10;
    nimbet::test::enter_private_netns();
    const int blocking = open_socket(1, true);
    const int nonblocking = open_socket(2, false);

    std::printf("How late waits end, ms past their deadline (nothing arrives; goal: within 1 ms), beside poll():\n\n");
    std::printf("| wait | waits | median | 99th percentile | latest | later than 1 ms | poll() median / 99th |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const int ms : {1, 2, 5, 20, 100}) {
        const int count = std::max(10, 1000 / std::max(ms, 5) / scale * 5);
        const Lateness base = poll_waits(ms, count);
        row("n_socket_recv_timeout(" + std::to_string(ms) + " ms), blocking socket", receive_waits(blocking, ms, count),
            base);
        row("n_socket_recv_timeout(" + std::to_string(ms) + " ms), non-blocking socket",
            receive_waits(nonblocking, ms, count), base);
    }
    {
        const int count = 300 / scale;
        row("n_socket_send_acked give-up, 3 x 10 ms, nobody answers", acked_waits(blocking, 3, 10, count / 3),
            poll_waits(30, count / 3));
        row("a transfer part's resend after more than 7 ms, nobody answers", resend_waits(blocking, 10, 7, count / 10),
            poll_waits(8, count));
    }
    n_socket_close(blocking);
    n_socket_close(nonblocking);
    return 0;
}
