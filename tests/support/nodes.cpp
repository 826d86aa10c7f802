// SPDX-License-Identifier: MIT
// Test nodes on loopback broadcast, a wire tap, and a bounded receive pump.
#include "support/nodes.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/netns.h"

namespace nimbet::test {

NodeId node_id(unsigned char n) { return {1, 1, 1, 1, 10, 0, 0, n}; }

void apply_test_window(int fd)
{
    if (const char *w = std::getenv("NIMBET_TEST_TRANSFER_WINDOW"))
        n_socket_set_transfer_window(fd, std::atoi(w));
}

int open_node(const NodeId &id, uint16_t port)
{
    require_only_own_interfaces();
    const int fd = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.255.255.255"), port);
    if (fd < 0) {
        std::fprintf(stderr, "open_node: n_socket_open failed (%d)\n", n_errno);
        std::abort();
    }
    n_socket_set_id(fd, id.data());
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    apply_test_window(fd);
    n_pkt *none = n_socket_recv(fd, 0);  // binds the socket on its port
    if (none != nullptr)
        n_pkt_free(none);
    return fd;
}

Tap::Tap(uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("Tap bind");
        std::abort();
    }
}

Tap::~Tap() { close(fd_); }

std::vector<unsigned char> Tap::next(int ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return {};
    std::vector<unsigned char> buf(2048);
    const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

std::vector<std::vector<unsigned char>> Tap::drain(int ms)
{
    std::vector<std::vector<unsigned char>> all;
    for (auto d = next(ms); !d.empty(); d = next(ms))
        all.push_back(std::move(d));
    return all;
}

bool pump(const std::vector<int> &fds, const std::function<bool()> &done, int ms,
          const std::function<void(int fd, n_pkt *)> &on_packet)
{
    // Real time, not the library's clock, which a test may hold still.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        bool any = false;
        for (int fd : fds) {
            while (n_pkt *pkt = n_socket_recv(fd, fd)) {
                any = true;
                if (on_packet)
                    on_packet(fd, pkt);
                n_pkt_free(pkt);
            }
            if (n_errno != 11)
                any = true;  // a frame was consumed (fragment, bad datagram): look again
        }
        if (!any) {
            // Sleep until a datagram comes or a transfer's timer is due.
            std::vector<pollfd> ps;
            int wait = 20;
            for (int fd : fds) {
                ps.push_back({fd, POLLIN, 0});
                const int t = n_socket_next_timer(fd);
                if (t >= 0 && t < wait)
                    wait = t;
            }
            poll(ps.data(), ps.size(), wait);
        }
    }
    return true;
}

}  // namespace nimbet::test
