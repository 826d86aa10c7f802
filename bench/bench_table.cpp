// SPDX-License-Identifier: MIT
// The table of scripts/bench: the library beside raw UDP and TFTP, in one run, pinned to one core and unpinned.
//
// Everything runs inside a private network namespace that this program makes
// before it opens a socket or starts a process: the raw UDP baseline, the
// TFTP server and client, the library's nodes and the nimbet tool. Each
// repetition measures every figure once pinned to one core and once
// unpinned, one after the other, so that a change in the machine's load falls
// on both sides of a ratio; the table shows medians over the repetitions and
// ratios of those medians. Times are printed, never checked: this is not a
// test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#include "ack.h"
#include "frag.h"
#include "packet.h"
#include "processes.h"
#include "sample_frame.h"
#include "support/netns.h"

namespace {

using nimbet::bench::add_tuples;
using nimbet::bench::await_text;
using nimbet::bench::Child;
using nimbet::bench::Clock;
using nimbet::bench::reap;
using nimbet::bench::say_ready;
using nimbet::bench::seconds_since;
using nimbet::bench::spawn;
using Bytes = std::vector<unsigned char>;

constexpr uint16_t kLibPort = 47100;
constexpr uint16_t kRawPort = 47200;
constexpr uint16_t kToolPort = 47300;
constexpr const char *kTftpPort = "6969";
constexpr const char *kAtftpdPort = "6970";
constexpr const char *kBroadcast = "127.255.255.255";
constexpr std::size_t kTransferBytes = std::size_t{1} << 20;
constexpr double kParts = (kTransferBytes + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE;
constexpr std::size_t kAckFrameBytes = 75;  // the size of an acknowledgement frame
constexpr int kTransferSeconds = 60;        // no transfer is waited for longer
const unsigned char kDataType[2] = {0x12, 0x34};

// Keeps the compiler from dropping a computation whose result is unused.
template <class T>
void keep(const T &value)
{
    asm volatile("" : : "r,m"(value) : "memory");
}

Bytes transfer_data()
{
    Bytes data(kTransferBytes);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    return data;
}

bool file_holds(const std::string &path, const Bytes &want)
{
    std::ifstream in(path, std::ios::binary);
    const Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return got == want;
}

// ------------------------------------------------------------ raw UDP

sockaddr_in loopback(unsigned char n, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(0x7F000000u | n);
    return a;
}

// A plain UDP socket bound on 127.0.0.n:port. Reads give up after 2 s, so
// that no helper waits forever for a peer that has gone.
struct RawSocket {
    int fd = -1;

    RawSocket(unsigned char n, uint16_t port)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in self = loopback(n, port);
        timeval limit{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&self), sizeof self) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~RawSocket()
    {
        if (fd >= 0)
            close(fd);
    }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    bool send_to(const sockaddr_in &to, const unsigned char *data, std::size_t len) const
    {
        return sendto(fd, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
               static_cast<ssize_t>(len);
    }
};

// Microseconds per round trip of a 75-byte datagram between two processes,
// each waiting in a blocking read: the bound of any lock-step protocol here.
double raw_round_trip_us(int rounds)
{
    Child echo([](int channel) {
        RawSocket s(2, kRawPort);
        if (s.fd < 0)
            return 1;
        say_ready(channel);
        unsigned char buf[512];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(s.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n <= 1)  // one byte: the end; none: the parent has gone
                return 0;
            sendto(s.fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    });
    RawSocket a(1, kRawPort);
    const sockaddr_in b = loopback(2, kRawPort);
    if (a.fd < 0 || !echo.ready())
        return NAN;
    unsigned char ping[kAckFrameBytes] = {2};
    unsigned char buf[512];
    auto round = [&] { return a.send_to(b, ping, sizeof ping) && recv(a.fd, buf, sizeof buf, 0) == sizeof ping; };
    for (int i = 0; i < 200; ++i)
        if (!round())
            return NAN;
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i)
        if (!round())
            return NAN;
    const double us = seconds_since(t0) * 1e6 / rounds;
    a.send_to(b, ping, 1);
    return echo.finish() == 0 ? us : NAN;
}

// ------------------------------------------------------------ library nodes

std::array<unsigned char, 8> node_id(unsigned char n) { return {1, 1, 1, 1, 127, 0, 0, n}; }

// A library node on 127.0.0.n: bound on `port` before its first send,
// identifier 1.1.1.1.127.0.0.n, a blocking socket read by one thread (which
// n_socket_recv_timeout serves with one read bounded by the wait). It sends
// to the loopback broadcast address, as in the single-host set-up, so that
// every node on the port (the sender too) hears every frame; or, with `to`
// non-zero, to 127.0.0.to only.
int open_node(unsigned char n, uint16_t port, unsigned char to = 0)
{
    const uint32_t local = htonl(0x7F000000u | n);
    const uint32_t dest = to != 0 ? htonl(0x7F000000u | to) : inet_addr(kBroadcast);
    const int fd = n_socket_open(local, dest, port);
    if (fd < 0)
        return -1;
    n_socket_set_id(fd, node_id(n).data());
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    if (n_pkt *none = n_socket_recv(fd, 0))
        n_pkt_free(none);
    n_socket_set_option(fd, SOCKET_BLOCKING, 1);
    return fd;
}

// A packet with one "msg" tuple holding `text`.
n_pkt *message_packet(const char *text)
{
    n_pkt *pkt = n_pkt_alloc();
    const auto len = static_cast<uint16_t>(std::strlen(text));
    n_acl_add_str(pkt, "msg", reinterpret_cast<const unsigned char *>(text), len, 0);
    return pkt;
}

// Fills the 64-byte tuple area of a frame; with the "CAD" and "CAC" tuples of
// an acknowledged send (16 bytes) the shorter one does.
const char kLongText[] = "the quick brown fox jumps over the lazy dog, twice";
const char kShortText[] = "the quick brown fox jumps over it";

// The frame that ends a helper node: a broadcast with one "end" tuple.
void send_end(int fd)
{
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add_str(pkt, "end", nullptr, 0, 0);
    n_socket_send(fd, pkt);
    n_pkt_free(pkt);
}

bool is_end(n_pkt *pkt) { return n_acl_findfirst_str(pkt, "end", nullptr) >= 0; }

// Runs node n (with `options` set) in the calling child until an end frame
// comes or `seconds` pass: it receives, acknowledges and stores transfers
// through the library, and frees whatever is delivered. Then `verdict` gives
// the exit status.
int serve_node(int channel, unsigned char n, int options, int seconds, const std::function<int()> &verdict)
{
    const int fd = open_node(n, kLibPort);
    if (fd < 0)
        return 2;
    if (options != 0)
        n_socket_set_option(fd, options, 1);
    say_ready(channel);
    const uint32_t start = n_util_getmstime();
    for (unsigned i = 1;; ++i) {
        n_pkt *pkt = n_socket_recv_timeout(fd, fd, 100);
        const bool end = pkt != nullptr && is_end(pkt);
        if (pkt != nullptr)
            n_pkt_free(pkt);
        if (end || (i % 64 == 0 && n_util_getmstime() - start > static_cast<uint32_t>(seconds) * 1000))
            break;
    }
    const int status = verdict();
    n_socket_close(fd);
    return status;
}

// Microseconds per n_socket_send_acked of one frame to a node in another
// process, which acknowledges it from its receive loop.
double acked_send_us(int calls)
{
    Child peer([](int channel) { return serve_node(channel, 2, SOCKET_AUTOACK, 30, [] { return 0; }); });
    const int a = open_node(1, kLibPort);
    if (a < 0 || !peer.ready())
        return NAN;
    n_pkt *pkt = message_packet(kShortText);
    const auto dest = node_id(2);
    bool ok = true;
    for (int i = 0; i < 50 && ok; ++i)
        ok = n_socket_send_acked(a, a, pkt, dest.data()) >= 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < calls && ok; ++i)
        ok = n_socket_send_acked(a, a, pkt, dest.data()) >= 0;
    const double us = seconds_since(t0) * 1e6 / calls;
    n_pkt_free(pkt);
    send_end(a);
    n_socket_close(a);
    return peer.finish() == 0 && ok ? us : NAN;
}

// Microseconds per 45-byte part of a 1 MiB transfer from this process to a
// node in another one, each part acknowledged before the next goes out. The
// receiver checks the data and says so in its exit status.
double transfer_us_per_part(const Bytes &data)
{
    Child receiver([&data](int channel) {
        return serve_node(channel, 2, SOCKET_FRAG, kTransferSeconds + 5, [&data] {
            const auto from = node_id(1);
            unsigned char *got = nullptr;
            const int len = n_frag_get_data(from.data(), &got);
            return n_frag_get_status(from.data(), FRAG_STATE_MASK) == FRAG_FINISHED &&
                           len == static_cast<int>(data.size()) && std::memcmp(got, data.data(), data.size()) == 0
                       ? 0
                       : 1;
        });
    });
    const int a = open_node(1, kLibPort);
    if (a < 0 || !receiver.ready())
        return NAN;
    const auto dest = node_id(2);
    const auto t0 = Clock::now();
    n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), dest.data(), kDataType);
    // The deadline is looked at every 64 reads, so that clock reads stay out of the figure.
    for (unsigned i = 1; n_frag_get_status(dest.data(), FRAG_STATE_MASK) == FRAG_ACTIVE; ++i) {
        if (n_pkt *pkt = n_socket_recv_timeout(a, a, 100))
            n_pkt_free(pkt);
        if (i % 64 == 0 && seconds_since(t0) > kTransferSeconds)
            break;
    }
    const double us = seconds_since(t0) * 1e6 / kParts;
    const bool finished = n_frag_get_status(dest.data(), FRAG_STATE_MASK) == FRAG_FINISHED;
    n_frag_abort(dest.data());
    n_frag_delete(dest.data());
    send_end(a);
    n_socket_close(a);
    return receiver.finish() == 0 && finished ? us : NAN;
}

// Microseconds per frame from n_socket_send on one node to n_socket_recv on
// another in the same process (unicast); with `raw`, sendto and recvfrom of
// a datagram of the same length instead.
double one_frame_us(int frames, bool raw)
{
    n_pkt *pkt = message_packet(kLongText);
    const std::size_t len = nimbet::frame_size(pkt);
    double us = NAN;
    if (raw) {
        RawSocket a(1, kRawPort), b(2, kRawPort);
        const sockaddr_in to_b = loopback(2, kRawPort);
        const Bytes frame(len, 0x5A);
        unsigned char buf[SOCKET_RECV_BUFFER];
        auto one = [&] {
            if (!a.send_to(to_b, frame.data(), len))
                return false;
            if (recv(b.fd, buf, sizeof buf, MSG_DONTWAIT) == static_cast<ssize_t>(len))
                return true;
            pollfd p{b.fd, POLLIN, 0};
            return poll(&p, 1, 1000) == 1 && recv(b.fd, buf, sizeof buf, 0) == static_cast<ssize_t>(len);
        };
        bool ok = a.fd >= 0 && b.fd >= 0;
        const auto t0 = Clock::now();
        for (int i = 0; i < frames && ok; ++i)
            ok = one();
        if (ok)
            us = seconds_since(t0) * 1e6 / frames;
    } else {
        const int a = open_node(1, kLibPort, 2);
        const int b = open_node(2, kLibPort, 1);
        auto one = [&] {
            if (n_socket_send(a, pkt) < 0)
                return false;
            n_pkt *got = n_socket_recv_timeout(b, 0, 1000);
            if (got == nullptr)
                return false;
            n_pkt_free(got);
            return true;
        };
        bool ok = a >= 0 && b >= 0;
        const auto t0 = Clock::now();
        for (int i = 0; i < frames && ok; ++i)
            ok = one();
        if (ok)
            us = seconds_since(t0) * 1e6 / frames;
        n_socket_close(a);
        n_socket_close(b);
    }
    n_pkt_free(pkt);
    return us;
}

// Reads what waits on a node (fragments are taken without a packet).
void drain(int fd)
{
    for (int i = 0; i < 100000; ++i) {
        if (n_pkt *p = n_socket_recv_timeout(fd, 0, 1))
            n_pkt_free(p);
        else if (n_errno == N_EAGAIN)
            break;
    }
}

// Microseconds per frame from one node to another that has SOCKET_FRAG and
// `transfers` receiving transfers under way (plain first parts from as many
// made-up nodes, each sent twice as a live sender resends it): the cost of a
// datagram must not grow with the transfers a socket holds.
double frame_with_transfers_us(int frames, int transfers)
{
    n_pkt *pkt = message_packet(kLongText);
    const int a = open_node(1, kLibPort, 2);
    const int b = open_node(2, kLibPort, 1);
    double us = NAN;
    if (a >= 0 && b >= 0) {
        n_socket_set_option(b, SOCKET_FRAG, 1);
        n_socket_set_option(b, SOCKET_BLOCKING, 0);
        n_socket_set_frag_limits(b, transfers + 16, 1u << 20);
        const auto self = node_id(2);
        for (int round = 0; round < 2; ++round)
            for (int i = 0; i < transfers; ++i) {
                n_pkt *first = n_pkt_alloc();
                unsigned char id[8] = {1, 1, 1, 1, 30, 0, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
                const unsigned char cac[2] = {2, 0};
                const unsigned char data[4] = {1, 2, 3, 4};
                n_acl_add_str(first, "dat", data, 4, 0);
                n_acl_add_str(first, "CAD", self.data(), 8, 0);
                n_acl_add_str(first, "CAC", cac, 2, 0);
                n_pkt_set_srcid(first, id);
                n_socket_send(a, first);
                n_pkt_free(first);
                if (i % 64 == 63)
                    drain(b);
            }
        drain(b);
        n_socket_set_option(b, SOCKET_BLOCKING, 1);
        bool ok = static_cast<int>(nimbet::frag_snapshot().size()) >= transfers;
        const auto t0 = Clock::now();
        for (int i = 0; i < frames && ok; ++i) {
            ok = n_socket_send(a, pkt) >= 0;
            n_pkt *got = ok ? n_socket_recv_timeout(b, 0, 1000) : nullptr;
            ok = got != nullptr;
            n_pkt_free(got);
        }
        if (ok)
            us = seconds_since(t0) * 1e6 / frames;
    }
    n_socket_close(a);
    n_socket_close(b);
    n_pkt_free(pkt);
    return us;
}

// A node in another process that acknowledges every request, whatever node
// it names (as a hundred nodes would), until an end frame comes.
int answer_everyone(int channel)
{
    const int fd = open_node(2, kLibPort);
    if (fd < 0)
        return 2;
    say_ready(channel);
    unsigned char buf[SOCKET_RECV_BUFFER];
    for (;;) {
        const int n = n_socket_recv_raw(fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        n_pkt *pkt = n_pkt_alloc();
        const bool parsed = n_pkt_parse(pkt, buf, static_cast<unsigned>(n)) == 0;
        const bool end = parsed && is_end(pkt);
        n_acl *cac = nullptr;
        if (parsed && n_acl_findfirst_str(pkt, "CAC", &cac) >= 0 && cac->len >= 2 && (cac->data[0] & 1) == 0)
            nimbet::send_ack_reply(fd, pkt);
        n_pkt_free(pkt);
        if (end)
            break;
    }
    n_socket_close(fd);
    return 0;
}

// Microseconds per acknowledged send to 100 nodes: started together without
// blocking (`together`), the outcomes taken as events, or one after the
// other with n_socket_send_acked.
double acked_to_many_us(bool together)
{
    constexpr int kPeers = 100;
    Child peer([](int channel) { return answer_everyone(channel); });
    const int a = open_node(1, kLibPort);
    if (a < 0 || !peer.ready())
        return NAN;
    n_socket_set_option(a, SOCKET_BLOCKING, 0);
    std::vector<n_pkt *> pkts;
    for (int i = 0; i < kPeers; ++i)
        pkts.push_back(message_packet(kShortText));
    bool ok = true;
    double us = NAN;
    for (int round = 0; round < 2 && ok; ++round) {  // the first round warms up
        const auto t0 = Clock::now();
        int settled = 0;
        for (int i = 0; i < kPeers && ok; ++i) {
            const auto dest = node_id(static_cast<unsigned char>(10 + i));
            if (!together)
                ok = n_socket_send_acked(a, a, pkts[static_cast<std::size_t>(i)], dest.data()) >= 0;
            else
                ok = n_socket_send_acked_start(a, a, pkts[static_cast<std::size_t>(i)], dest.data()) > 0;
        }
        while (together && ok && settled < kPeers && seconds_since(t0) < 10) {
            pollfd p{a, POLLIN, 0};
            poll(&p, 1, 5);
            while (n_pkt *got = n_socket_recv_timeout(a, a, 0))
                n_pkt_free(got);
            for (n_event ev; n_socket_next_event(a, &ev, sizeof ev) == 1;) {
                ok = ok && ev.kind == N_EVENT_ACKED;
                ++settled;
            }
        }
        ok = ok && (!together || settled == kPeers);
        us = seconds_since(t0) * 1e6 / kPeers;
    }
    for (n_pkt *p : pkts)
        n_pkt_free(p);
    send_end(a);
    n_socket_close(a);
    return peer.finish() == 0 && ok ? us : NAN;
}

// ------------------------------------------------------------ TFTP and the tool

struct Programs {
    std::string tool, tftpd, atftp, atftpd;
    std::string dir;  // work directory: the data file, the copies received
};

// Microseconds per 45-byte block of a TFTP download of the same 1 MiB
// (blksize 45) from the server started in this namespace; with `windowed`,
// 64 blocks per acknowledgement (RFC 7440's windowsize) from atftpd, which
// takes the option where tftpd-hpa does not. The copy must be identical.
double tftp_us_per_part(const Programs &p, const Bytes &data, bool windowed = false)
{
    const std::string out = p.dir + "/tftp.out";
    unlink(out.c_str());
    const auto t0 = Clock::now();
    const pid_t pid = windowed ? spawn({p.atftp, "--get", "-r", "data.bin", "-l", out, "--option", "blksize 45",
                                        "--option", "windowsize 64", "127.0.0.1", kAtftpdPort})
                               : spawn({p.atftp, "--get", "-r", "data.bin", "-l", out, "--option", "blksize 45",
                                        "127.0.0.1", kTftpPort});
    const bool ok = pid > 0 && reap(pid, kTransferSeconds);
    const double us = seconds_since(t0) * 1e6 / kParts;
    return ok && file_holds(out, data) ? us : NAN;
}

// Microseconds per 45-byte part of the same 1 MiB sent by `nimbet send-file`
// to `nimbet recv-file`, two processes on loopback broadcast; timed from the
// sender's start to its exit. The received file must be identical.
double tool_us_per_part(const Programs &p, const Bytes &data)
{
    const std::string out = p.dir + "/tool.out";
    const std::string port = std::to_string(kToolPort);
    unlink(out.c_str());
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return NAN;
    // Both nodes use the one address of the namespace, on loopback
    // broadcast, each with an identifier of its own.
    const pid_t receiver =
        spawn({p.tool, "recv-file", port, out, "--local", "127.0.0.1", "--id", "127.0.0.2", "--dest", kBroadcast,
               "--from", "127.0.0.1", "--seconds", std::to_string(kTransferSeconds)},
              pipe_fds[1]);
    close(pipe_fds[1]);
    bool ok = receiver > 0 && await_text(pipe_fds[0], "waiting for a file", 5000);
    double us = NAN;
    if (ok) {
        const auto t0 = Clock::now();
        const pid_t sender =
            spawn({p.tool, "send-file", port, p.dir + "/data.bin", "--to", "127.0.0.2", "--local", "127.0.0.1",
                   "--id", "127.0.0.1", "--dest", kBroadcast, "--seconds", std::to_string(kTransferSeconds)});
        ok = sender > 0 && reap(sender, kTransferSeconds + 5);
        us = seconds_since(t0) * 1e6 / kParts;
        // The receiver has written the file when it says so; it would then
        // linger to acknowledge a lost last part again, which is not needed here.
        ok = ok && await_text(pipe_fds[0], "received", 10000);
    }
    if (receiver > 0) {
        kill(receiver, SIGTERM);
        reap(receiver, 5);
    }
    close(pipe_fds[0]);
    return ok && file_holds(out, data) ? us : NAN;
}

// ------------------------------------------------------------ frames in memory

// Seconds of processor time this thread has used: the in-memory figures
// count the work of one core, whatever else the machine runs meanwhile.
double cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Frames per second that one core builds (a packet, its header and three
// tuples), serialises (with the CRC) and parses back (CRC check, a new packet
// and its tuples), as a sender and a receiver do with every frame.
double frames_per_second(int frames)
{
    static const unsigned char src[8] = {1, 1, 1, 1, 10, 0, 0, 1};
    unsigned char frame[nimbet::bench::kSampleFrameLen];
    bool ok = true;
    const double t0 = cpu_seconds();
    for (int i = 0; i < frames && ok; ++i) {
        n_pkt *pkt = n_pkt_alloc();
        n_pkt_set_srcid(pkt, src);
        n_pkt_set_seq(pkt, static_cast<uint8_t>(i));
        add_tuples(pkt);
        ok = nimbet::serialise_packet(pkt, frame);
        n_pkt_free(pkt);
        n_pkt *got = n_pkt_alloc();
        ok = ok && n_pkt_parse(got, frame, sizeof frame) == 0;
        keep(got->acl_count);
        n_pkt_free(got);
    }
    return ok ? frames / (cpu_seconds() - t0) : NAN;
}

// CRC-16 throughput in GB/s: calls of `chunk` bytes over the data, eight times.
double crc_gb_per_s(const Bytes &data, std::size_t chunk)
{
    unsigned char hi = 0, lo = 0;
    std::size_t done = 0;
    const double t0 = cpu_seconds();
    for (int round = 0; round < 8; ++round)
        for (std::size_t off = 0; off + chunk <= data.size(); off += chunk) {
            n_util_crc16(data.data() + off, static_cast<unsigned>(chunk), &hi, &lo);
            keep(hi);
            done += chunk;
        }
    return static_cast<double>(done) / (cpu_seconds() - t0) / 1e9;
}

// ------------------------------------------------------------ the table

enum Figure {
    RawRtt,
    Tftp,
    TftpWindowed,
    LibTransfer,
    ToolTransfer,
    LibAcked,
    RawFrame,
    LibFrame,
    MemFrames,
    CrcLarge,
    CrcFrame,
    FrameIdle,
    FrameBusy,
    AckedOneByOne,
    AckedTogether,
};

// Names of the figures, for --only and for reports of failed samples.
struct FigureName {
    const char *key;
    const char *text;
};
const FigureName kFigureNames[] = {
    {"rtt", "the raw round trip"},       {"tftp", "TFTP"},      {"tftp-window", "TFTP with windowsize 64"},
    {"transfer", "the library's transfer"}, {"tool", "the tool's transfer"},
    {"acked", "acknowledged sending"},   {"raw-frame", "the raw frame"},
    {"frame", "the library's frame"},    {"memory", "frames in memory"},
    {"crc", "the CRC over 1 MiB"},       {"crc-frames", "the CRC over frames"},
    {"frame-idle", "a frame on a socket with no transfer"}, {"frame-busy", "a frame beside 1,000 transfers"},
    {"acked-one-by-one", "100 acknowledged sends one by one"}, {"acked-together", "100 acknowledged sends at once"},
};

struct Samples {
    std::map<Figure, std::vector<double>> values;

    void add(Figure f, double v) { values[f].push_back(v); }

    // Median of the successful samples; NAN when there are none.
    double median(Figure f) const
    {
        auto it = values.find(f);
        if (it == values.end())
            return NAN;
        std::vector<double> v;
        for (double x : it->second)
            if (!std::isnan(x))
                v.push_back(x);
        if (v.empty())
            return NAN;
        std::sort(v.begin(), v.end());
        const std::size_t m = v.size() / 2;
        return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    }

    int failures(Figure f) const
    {
        auto it = values.find(f);
        if (it == values.end())
            return 0;
        return static_cast<int>(std::count_if(it->second.begin(), it->second.end(), [](double x) { return std::isnan(x); }));
    }
};

std::string fmt(const char *format, double v)
{
    if (std::isnan(v))
        return "–";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// "8.7 (2.3x RTT, 1.54x TFTP)"
std::string with_ratios(double v, const std::vector<std::pair<double, const char *>> &bases,
                        const char *format = "%.1f")
{
    std::string s = fmt(format, v);
    if (std::isnan(v))
        return s;
    std::string r;
    for (const auto &[base, name] : bases) {
        if (std::isnan(base))
            continue;
        r += (r.empty() ? "" : ", ") + fmt("%.2fx ", v / base) + name;
    }
    return r.empty() ? s : s + " (" + r + ")";
}

void print_table(const char *title, const Samples &s, bool with_tftp, bool with_tool)
{
    const double rtt = s.median(RawRtt);
    const double tftp = with_tftp ? s.median(Tftp) : NAN;
    const double raw_frame = s.median(RawFrame);
    std::printf("\n%s\n\n", title);
    std::printf("| per part / per call | raw UDP | TFTP-45 | libnimbet, C interface | libnimbet, tool | goal |\n");
    std::printf("|---|---|---|---|---|---|\n");
    std::printf("| 1 MiB transfer, µs per 45-byte part | %s (75-byte RTT) | %s | %s | %s | ≤ 1.0x TFTP, aim 1.2x RTT |\n",
                fmt("%.1f", rtt).c_str(), with_tftp ? with_ratios(tftp, {{rtt, "RTT"}}).c_str() : "not measured",
                with_ratios(s.median(LibTransfer), {{rtt, "RTT"}, {tftp, "TFTP"}}).c_str(),
                with_tool ? with_ratios(s.median(ToolTransfer), {{rtt, "RTT"}, {tftp, "TFTP"}}).c_str()
                          : "not measured");
    // Both sides with 64 blocks or parts in flight: TFTP's windowsize beside
    // the library's window (its default).
    const double tftp_window = s.median(TftpWindowed);
    std::printf("| 1 MiB transfer, 64 in flight, µs per 45-byte part | | %s (windowsize 64, atftpd) | %s | | |\n",
                std::isnan(tftp_window) ? "not measured" : fmt("%.1f", tftp_window).c_str(),
                with_ratios(s.median(LibTransfer), {{tftp_window, "TFTP"}}).c_str());
    // The same transfer as a rate of data frames, beside the rate at which
    // one process moves raw datagrams of a frame's length through loopback.
    const double part_rate = 1e6 / s.median(LibTransfer), raw_rate = 1e6 / raw_frame;
    std::printf("| 1 MiB transfer, data frames per second | %s (sendto + recvfrom) | | %s (%sx raw) | | ≥ 0.5x raw |\n",
                fmt("%.0f", raw_rate).c_str(), fmt("%.0f", part_rate).c_str(), fmt("%.2f", part_rate / raw_rate).c_str());
    std::printf("| acknowledged send of one frame, µs | %s (RTT) | | %s | | ≤ 1.5x RTT |\n", fmt("%.1f", rtt).c_str(),
                with_ratios(s.median(LibAcked), {{rtt, "RTT"}}).c_str());
    std::printf("| one frame n_socket_send → n_socket_recv, µs | %s (sendto + recvfrom) | | %s | | ≤ 1.3x raw |\n",
                fmt("%.2f", raw_frame).c_str(),
                with_ratios(s.median(LibFrame), {{raw_frame, "raw"}}, "%.2f").c_str());
    std::printf("| frames in memory: build + serialise + parse of 120 bytes, million per second of one core "
                "| | | %s | | ≥ 3 |\n",
                fmt("%.2f", s.median(MemFrames) / 1e6).c_str());
    std::printf("| CRC-16, GB per second of one core over 1 MiB (over 118-byte frames) | | | %s (%s) | | ≥ 1 |\n",
                fmt("%.2f", s.median(CrcLarge)).c_str(), fmt("%.2f", s.median(CrcFrame)).c_str());
    const double idle = s.median(FrameIdle), one_by_one = s.median(AckedOneByOne);
    std::printf("| one frame beside 1,000 receiving transfers, µs | | | %s (%s with none) | | ≤ 1.1x none |\n",
                with_ratios(s.median(FrameBusy), {{idle, "none"}}, "%.2f").c_str(), fmt("%.2f", idle).c_str());
    std::printf("| 100 acknowledged sends to 100 nodes started at once, µs per send | | | %s (%s one by one) | "
                "| ≤ 1.0x one by one |\n",
                with_ratios(s.median(AckedTogether), {{one_by_one, "one by one"}}).c_str(),
                fmt("%.1f", one_by_one).c_str());
    for (const auto &[f, v] : s.values)
        if (s.failures(f) != 0)
            std::printf("\n%d of the %zu samples of %s failed\n", s.failures(f), v.size(), kFigureNames[f].text);
}

struct Options {
    int reps = 5;
    Programs programs;
    std::vector<Figure> only;  // empty: every figure

    bool wants(Figure f) const { return only.empty() || std::find(only.begin(), only.end(), f) != only.end(); }
};

// "transfer,acked" as figures; exits on an unknown name.
std::vector<Figure> figures_named(const std::string &list)
{
    std::vector<Figure> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string key = list.substr(start, end - start);
        const auto *it = std::find_if(std::begin(kFigureNames), std::end(kFigureNames),
                                      [&](const FigureName &n) { return key == n.key; });
        if (it == std::end(kFigureNames)) {
            std::fprintf(stderr, "unknown figure %s; figures:", key.c_str());
            for (const FigureName &n : kFigureNames)
                std::fprintf(stderr, " %s", n.key);
            std::fprintf(stderr, "\n");
            std::exit(2);
        }
        out.push_back(static_cast<Figure>(it - std::begin(kFigureNames)));
        start = end + 1;
    }
    return out;
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--reps") o.reps = std::max(1, std::atoi(v.c_str()));
        else if (a == "--tool") o.programs.tool = v;
        else if (a == "--tftpd") o.programs.tftpd = v;
        else if (a == "--atftp") o.programs.atftp = v;
        else if (a == "--atftpd") o.programs.atftpd = v;
        else if (a == "--only") o.only = figures_named(v);
        else {
            std::fprintf(stderr,
                         "usage: %s [--reps N] [--only FIGURE,...] [--tool PATH] [--tftpd PATH] [--atftp PATH] "
                         "[--atftpd PATH]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return o;
}

bool executable(const std::string &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

}  // namespace

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    nimbet::test::enter_private_netns();
    signal(SIGPIPE, SIG_IGN);
    std::srand(static_cast<unsigned>(getpid()));

    char dir_template[] = "/tmp/nimbet-bench-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    Programs &p = o.programs;
    p.dir = dir_template;
    const Bytes data = transfer_data();
    std::ofstream(p.dir + "/data.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));

    // The TFTP server serves the work directory on every address of this
    // namespace, which has nothing but loopback.
    const bool with_tool = executable(p.tool);
    bool with_tftp = executable(p.tftpd) && executable(p.atftp);
    pid_t tftpd = -1;
    if (with_tftp) {
        tftpd = spawn({p.tftpd, "-4", "-l", "-L", "-a", std::string(":") + kTftpPort, "-s", "-u", "root", p.dir});
        usleep(200000);
        with_tftp = tftpd > 0 && waitpid(tftpd, nullptr, WNOHANG) == 0;
    }
    bool with_window = executable(p.atftpd) && executable(p.atftp);
    pid_t atftpd = -1;
    if (with_window) {
        atftpd = spawn({p.atftpd, "--daemon", "--no-fork", "--port", kAtftpdPort, "--bind-address", "127.0.0.1",
                        "--user", "root", "--group", "root", "--logfile", "/dev/null", p.dir});
        usleep(200000);
        with_window = atftpd > 0 && waitpid(atftpd, nullptr, WNOHANG) == 0;
    }

    cpu_set_t all;
    sched_getaffinity(0, sizeof all, &all);
    int first_cpu = 0;
    while (first_cpu < CPU_SETSIZE && !CPU_ISSET(first_cpu, &all))
        ++first_cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first_cpu, &one);

    Samples pinned, unpinned;
    for (int rep = 0; rep < o.reps; ++rep) {
        for (Samples *s : {&pinned, &unpinned}) {
            const cpu_set_t &mask = s == &pinned ? one : all;
            sched_setaffinity(0, sizeof mask, &mask);
            if (tftpd > 0)
                sched_setaffinity(tftpd, sizeof mask, &mask);
            if (atftpd > 0)
                sched_setaffinity(atftpd, sizeof mask, &mask);
            auto measure = [&](Figure f, bool possible, const std::function<double()> &fn) {
                if (possible && o.wants(f))
                    s->add(f, fn());
            };
            measure(RawRtt, true, [] { return raw_round_trip_us(20000); });
            measure(Tftp, with_tftp, [&] { return tftp_us_per_part(p, data); });
            measure(TftpWindowed, with_window, [&] { return tftp_us_per_part(p, data, true); });
            measure(LibTransfer, true, [&] { return transfer_us_per_part(data); });
            measure(ToolTransfer, with_tool, [&] { return tool_us_per_part(p, data); });
            measure(LibAcked, true, [] { return acked_send_us(5000); });
            measure(RawFrame, true, [] { return one_frame_us(20000, true); });
            measure(LibFrame, true, [] { return one_frame_us(20000, false); });
            measure(MemFrames, true, [] { return frames_per_second(200000); });
            measure(CrcLarge, true, [&] { return crc_gb_per_s(data, data.size()); });
            measure(CrcFrame, true, [&] { return crc_gb_per_s(data, 118); });
            measure(FrameIdle, true, [] { return frame_with_transfers_us(20000, 0); });
            measure(FrameBusy, true, [] { return frame_with_transfers_us(20000, 1000); });
            measure(AckedOneByOne, true, [] { return acked_to_many_us(false); });
            measure(AckedTogether, true, [] { return acked_to_many_us(true); });
        }
        std::fprintf(stderr, "repetition %d of %d done\n", rep + 1, o.reps);
        std::fflush(stderr);
    }
    for (const pid_t server : {tftpd, atftpd})
        if (server > 0) {
            kill(server, SIGTERM);
            reap(server, 5);
        }

    char title[160];
    std::snprintf(title, sizeof title, "pinned to one core (CPU %d, as taskset -c %d does), medians of %d repetitions:",
                  first_cpu, first_cpu, o.reps);
    print_table(title, pinned, with_tftp, with_tool);
    std::snprintf(title, sizeof title, "unpinned, medians of %d repetitions:", o.reps);
    print_table(title, unpinned, with_tftp, with_tool);

    for (const char *f : {"data.bin", "tftp.out", "tool.out"})
        unlink((p.dir + "/" + f).c_str());
    rmdir(p.dir.c_str());
    return 0;
}
