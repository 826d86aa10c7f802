// SPDX-License-Identifier: MIT
// Frames over loopback inside a private namespace: one frame, and a 1 MiB transfer, against raw UDP on the same path.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "nimbet/nimbet.h"
#include "ratios.h"

namespace {

constexpr uint16_t kLibPort = 47100;
constexpr uint16_t kRawPort = 47200;
const unsigned char kType[2] = {0x12, 0x34};

// ------------------------------------------------------------ raw UDP

struct RawSocket {
    int fd = -1;
    sockaddr_in addr{};

    RawSocket(const char *ip, uint16_t port)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = inet_addr(ip);
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    }
    ~RawSocket() { close(fd); }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    void send_to(const RawSocket &peer, const unsigned char *data, std::size_t len) const
    {
        sendto(fd, data, len, 0, reinterpret_cast<const sockaddr *>(&peer.addr), sizeof peer.addr);
    }

    // The next datagram; loopback has normally delivered it before sendto
    // returned, else it waits up to a second. False when none came.
    bool receive(unsigned char *buf, std::size_t size) const
    {
        if (recvfrom(fd, buf, size, 0, nullptr, nullptr) > 0)
            return true;
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 1000) == 1 && recvfrom(fd, buf, size, 0, nullptr, nullptr) > 0;
    }
};

// ------------------------------------------------------------ library nodes

// A library socket bound on 127.0.0.x:port that sends only to 127.0.0.y:port,
// non-blocking; its identifier is 1.1.1.1.127.0.0.x.
int open_node(const char *self, const char *peer, uint16_t port)
{
    const int fd = n_socket_open(inet_addr(self), inet_addr(peer), port);
    const uint32_t a = inet_addr(self);
    n_socket_set_ipsrc(fd, reinterpret_cast<const unsigned char *>(&a));
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    n_pkt *none = n_socket_recv(fd, 0);  // binds it before its first send
    if (none != nullptr)
        n_pkt_free(none);
    return fd;
}

// As RawSocket::receive, through the library.
n_pkt *receive_frame(int fd)
{
    if (n_pkt *pkt = n_socket_recv(fd, 0))
        return pkt;
    timeval second{1, 0};
    return n_socket_select(fd, &second) == 1 ? n_socket_recv(fd, 0) : nullptr;
}

n_pkt *make_packet()
{
    n_pkt *pkt = n_pkt_alloc();
    static const char text[] = "the quick brown fox jumps over the lazy dog, twice";
    n_acl_add_str(pkt, "msg", reinterpret_cast<const unsigned char *>(text), sizeof text - 1, 0);
    return pkt;
}

// One frame from one node to another: n_socket_send, then n_socket_recv
// (read, CRC check, parse, classify).
void BM_LibraryFrame(benchmark::State &state)
{
    const int a = open_node("127.0.0.1", "127.0.0.2", kLibPort);
    const int b = open_node("127.0.0.2", "127.0.0.1", kLibPort);
    n_pkt *pkt = make_packet();
    for (auto _ : state) {
        n_socket_send(a, pkt);
        n_pkt *got = receive_frame(b);
        if (got == nullptr) {
            state.SkipWithError("a frame was lost");
            break;
        }
        n_pkt_free(got);
    }
    n_pkt_free(pkt);
    n_socket_close(a);
    n_socket_close(b);
}
BENCHMARK(BM_LibraryFrame)->UseRealTime();

// The same bytes as one raw datagram: sendto, recvfrom.
void BM_RawFrame(benchmark::State &state)
{
    // The frame that BM_LibraryFrame sends: same length, same content.
    std::vector<unsigned char> frame(SOCKET_RECV_BUFFER);
    {
        const int a = open_node("127.0.0.1", "127.0.0.2", kLibPort);
        RawSocket tap("127.0.0.2", kLibPort);
        n_pkt *pkt = make_packet();
        n_socket_send(a, pkt);
        n_pkt_free(pkt);
        n_socket_close(a);
        pollfd p{tap.fd, POLLIN, 0};
        poll(&p, 1, 1000);
        const ssize_t n = recv(tap.fd, frame.data(), frame.size(), 0);
        if (n <= 0) {
            state.SkipWithError("no frame to copy");
            return;
        }
        frame.resize(static_cast<std::size_t>(n));
    }
    RawSocket a("127.0.0.1", kRawPort), b("127.0.0.2", kRawPort);
    unsigned char buf[SOCKET_RECV_BUFFER];
    for (auto _ : state) {
        a.send_to(b, frame.data(), frame.size());
        if (!b.receive(buf, sizeof buf)) {
            state.SkipWithError("a datagram was lost");
            break;
        }
    }
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
}
BENCHMARK(BM_RawFrame)->UseRealTime();

// Receives everything waiting on a node; fragments and acknowledgements are
// handled inside the library's receive.
void drain(int fd)
{
    for (;;) {
        n_pkt *pkt = n_socket_recv(fd, fd);
        if (pkt != nullptr)
            n_pkt_free(pkt);
        else if (n_errno == 11)
            return;
    }
}

// 1 MiB from node a to node b as a fragmented transfer: 23302 parts of at
// most 45 bytes, each acknowledged before the next goes out. Items are parts.
void BM_LibraryTransfer(benchmark::State &state)
{
    std::vector<unsigned char> data(1 << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    const int a = open_node("127.0.0.1", "127.0.0.2", kLibPort);
    const int b = open_node("127.0.0.2", "127.0.0.1", kLibPort);
    n_socket_set_option(b, SOCKET_FRAG, 1);
    const unsigned char *ida = n_socket_get_id(a);
    unsigned char idb[8];
    std::memcpy(idb, n_socket_get_id(b), 8);
    for (auto _ : state) {
        const uint32_t start = n_util_getmstime();
        n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), idb, kType);
        while (n_frag_get_status(idb, FRAG_STATE_MASK) == FRAG_ACTIVE && n_util_getmstime() - start < 60000) {
            drain(b);
            drain(a);
        }
        unsigned char *got = nullptr;
        const int len = n_frag_get_data(ida, &got);
        if (n_frag_get_status(idb, FRAG_STATE_MASK) != FRAG_FINISHED || len != static_cast<int>(data.size()) ||
            got == nullptr || std::memcmp(got, data.data(), data.size()) != 0) {
            state.SkipWithError("the transfer did not arrive whole");
            break;
        }
        n_frag_delete(idb);
        n_frag_delete(ida);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>((data.size() + 44) / FRAG_PART_SIZE));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
    n_socket_close(a);
    n_socket_close(b);
}
BENCHMARK(BM_LibraryTransfer)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// The bound of any lock-step protocol on this path: one 45-byte datagram
// there and one back, raw. Items are round trips.
void BM_RawRoundTrip(benchmark::State &state)
{
    RawSocket a("127.0.0.1", kRawPort), b("127.0.0.2", kRawPort);
    unsigned char part[FRAG_PART_SIZE] = {};
    unsigned char buf[SOCKET_RECV_BUFFER];
    for (auto _ : state) {
        a.send_to(b, part, sizeof part);
        const bool there = b.receive(buf, sizeof buf);
        b.send_to(a, part, sizeof part);
        if (!there || !a.receive(buf, sizeof buf)) {
            state.SkipWithError("a datagram was lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof part));
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    return nimbet::bench::run_with_ratios(
        argc, argv,
        {
            {"BM_LibraryFrame", "BM_RawFrame", "one frame, n_socket_send + n_socket_recv / raw UDP"},
            {"BM_LibraryTransfer", "BM_RawRoundTrip", "1 MiB transfer, time per part / raw 45-byte round trip"},
            {"BM_LibraryTransfer", "BM_RawRoundTrip", "1 MiB transfer rate against the lock-step bound", true},
        });
}
