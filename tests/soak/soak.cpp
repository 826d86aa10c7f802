// SPDX-License-Identifier: MIT
// The soak: 1 MiB transfers through the fault relay, many seeded runs per setting, and a flood of fake sources.
// Each run is a child process in a network namespace of its own; the table goes to standard output.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <atomic>

#include "nimbet/nimbet.h"
#include "frag.h"
#include "frame.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/relay.h"

using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);

struct Setting {
    std::string name;
    Faults toward_b, toward_a;
    int transfers = 1;      // back to back
    bool restart = false;   // the sender starts over once, a quarter of the way in
    std::size_t size = 0;   // bytes per transfer (0: the size asked for)
    bool receiver_restart = false;  // the receiver loses its transfer a quarter of the way in
};

// Serves both nodes as an application with an event loop does: one poll
// over both sockets, woken by datagrams and by the transfers' timers.
bool serve(int a, int b, const std::function<bool()> &done, int max_ms)
{
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(max_ms))
            return false;
        int wait = 50;
        for (int fd : {a, b}) {
            const int t = n_socket_next_timer(fd);
            if (t >= 0 && t < wait)
                wait = t;
        }
        pollfd ps[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        poll(ps, 2, wait);
        for (int fd : {a, b}) {
            n_socket_serve_timers(fd);
            while (n_pkt *p = n_socket_recv_timeout(fd, fd, 0))
                n_pkt_free(p);
        }
    }
    return true;
}

// A receiver that loses its transfer a quarter of the way in (a new
// process: it remembers nothing), while the sender goes on: the honest end
// is a clean abort, never the tail delivered as a transfer of its own.
TransferRun receiver_restarts(int a, int b, const Bytes &data, const FaultRelay &relay)
{
    const unsigned char type[2] = {0x12, 0x34};
    TransferRun r;
    const long frames_before = relay.data_frames();
    n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), type);
    const auto state = [](const NodeId &id) { return n_frag_get_status(id.data(), FRAG_STATE_MASK); };
    serve(a, b, [&] {
        int64_t done = 0;
        n_frag_get_progress(kA.data(), &done, nullptr);
        return done > static_cast<int64_t>(data.size() / 4) || state(kB) != FRAG_ACTIVE;
    }, 600000);
    n_frag_abort(kA.data());
    n_frag_delete(kA.data());
    nimbet::ended_clear();
    r.hung = !serve(a, b, [&] {
        r.receiver_finished = r.receiver_finished || state(kA) == FRAG_FINISHED;
        return state(kB) != FRAG_ACTIVE && state(kA) != FRAG_ACTIVE;
    }, 600000);
    settle_run(r, relay, frames_before, kA, kB);
    return r;
}

// One run of a setting: the verdict of every transfer, and the data frames.
std::string run_one(const Setting &s, uint32_t seed, std::size_t size)
{
    enter_private_netns();
    const int a = relay_node(kA, true, 10, 163);
    const int b = relay_node(kB, false, 10, 163);
    FaultRelay relay(s.toward_b, s.toward_a, seed, {}, 3600000);
    std::string out;
    long frames = 0;
    if (s.size != 0)
        size = s.size;
    for (int t = 0; t < s.transfers; ++t) {
        const Bytes data = random_bytes(size, seed * 7 + static_cast<uint32_t>(t));
        if (s.receiver_restart) {
            const TransferRun r = receiver_restarts(a, b, data, relay);
            frames += r.data_frames;
            out += std::string(out.empty() ? "" : ",") + r.verdict();
            continue;
        }
        if (s.restart) {
            // A first attempt is cut off a quarter of the way in, as when the
            // sending process dies; a new one starts at once.
            const Bytes old = random_bytes(size, seed * 13);
            const unsigned char type[2] = {0x12, 0x34};
            n_socket_send_buffer(a, a, old.data(), static_cast<int>(old.size()), kB.data(), type);
            serve(a, b, [&] {
                int64_t done = 0;
                n_frag_get_progress(kA.data(), &done, nullptr);
                return done > static_cast<int64_t>(size / 4);
            }, 600000);
            n_frag_abort(kB.data());
            n_frag_delete(kB.data());
        }
        const TransferRun r = run_transfer(a, b, kA, kB, data, relay, 3000000);
        frames += r.data_frames;
        out += std::string(out.empty() ? "" : ",") + r.verdict();
    }
    n_socket_close(a);
    n_socket_close(b);
    return out + "|" + std::to_string(frames);
}

// The cost of a datagram from a fake source, with `sources` identifiers in
// play: half first parts, half parts of nothing. Returns microseconds per
// datagram and the transfers and kilobytes held afterwards.
std::string flood(int sources, int datagrams)
{
    enter_private_netns();
    require_only_own_interfaces();
    const int b = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), kNodePort);
    n_socket_set_id(b, kB.data());
    n_socket_set_option(b, SOCKET_BLOCKING, 0);
    n_socket_set_option(b, SOCKET_FRAG, 1);
    n_pkt_free(n_socket_recv(b, b));
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kNodePort);
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    std::vector<Bytes> frames;
    for (int i = 0; i < 1000; ++i) {
        NodeId src = {1, 1, 1, 1, 30, 0, 0, 0};
        const uint32_t n = static_cast<uint32_t>((i * 7919) % sources);
        src[5] = static_cast<unsigned char>(n >> 16);
        src[6] = static_cast<unsigned char>(n >> 8);
        src[7] = static_cast<unsigned char>(n);
        frames.push_back(frame(src, 0, {payload(Bytes(45, 1)), cad(kB), cac(2, i % 2 == 0 ? 0 : 7)}));
    }
    // Every source first, so that all of them are known.
    long handled = 0;
    double busy_us = 0;
    for (int i = 0; i < datagrams; ++i) {
        const Bytes &f = frames[static_cast<std::size_t>(i) % frames.size()];
        Bytes g = f;
        const uint32_t n = static_cast<uint32_t>(i % sources);
        g[50] = static_cast<unsigned char>(n >> 16);
        g[51] = static_cast<unsigned char>(n >> 8);
        g[52] = static_cast<unsigned char>(n);
        n_util_crc16_append(g.data(), static_cast<unsigned>(g.size()));
        sendto(out, g.data(), g.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        const auto t0 = std::chrono::steady_clock::now();
        while (n_pkt *p = n_socket_recv_timeout(b, b, 0))
            n_pkt_free(p);
        busy_us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        ++handled;
    }
    n_socket_stats st{};
    n_socket_get_stats(b, &st);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    char line[200];
    std::snprintf(line, sizeof line, "%.2f %llu %llu %ld", busy_us / static_cast<double>(handled),
                  static_cast<unsigned long long>(st.transfers_started),
                  static_cast<unsigned long long>(st.transfers_refused), ru.ru_maxrss);
    return line;
}

// Receives on a node until `ms` have passed; the frames delivered to it.
int drain(int fd, int ms)
{
    int delivered = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (n_pkt *p = n_socket_recv_timeout(fd, fd, 5)) {
            delivered += n_pkt_get_ack(p) == 1 ? 1 : 0;
            n_pkt_free(p);
        }
    }
    return delivered;
}

// A node that is restarted `restarts` times (a new process each time, as a
// program run again), each run sending one acknowledged frame to a node that
// listens throughout: how many were acknowledged, and how many delivered.
std::string restarted_node(int restarts)
{
    enter_private_netns();
    const int b = open_node(kB);
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    int acked = 0;
    int delivered = 0;
    for (int run = 0; run < restarts; ++run) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int a = open_node(kA);
            n_pkt *p = n_pkt_alloc();
            n_acl_add_str(p, "val", reinterpret_cast<const unsigned char *>("21.5"), 4, 0);
            _exit(n_socket_send_acked(a, a, p, kB.data()) == 1 ? 0 : 1);
        }
        int status = 1;
        while (waitpid(pid, &status, WNOHANG) == 0)
            delivered += drain(b, 10);
        delivered += drain(b, 20);
        acked += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    return std::to_string(acked) + " " + std::to_string(delivered);
}

// Two nodes in one process each take their own request, though both carry
// the same sequence byte from the same node.
std::string two_nodes()
{
    enter_private_netns();
    const NodeId kC = node_id(3);
    const int a = open_node(kA), b = open_node(kB), c = open_node(kC);
    int delivered = 0;
    for (const auto &[fd, id] : {std::pair{b, kB}, {c, kC}}) {
        const Bytes f = frame(kA, 7, {payload({1}), cad(id), cac(0, 7)});
        n_socket_send_raw(a, f.data(), static_cast<int>(f.size()));
        while (n_pkt *p = n_socket_recv_timeout(fd, 0, 100)) {
            delivered += 1;
            n_pkt_free(p);
        }
    }
    return std::to_string(delivered);
}

// Sixteen fake sources hold the receiver's table, each keeping its transfer
// alive with one part every 0.3 s; after a second a real sender starts a
// 64 KiB transfer. Milliseconds until its first part was taken, and whether
// it finished.
std::string trickling_fakes()
{
    enter_private_netns();
    const int a = open_node(kA), b = open_node(kB);
    n_socket_set_option(a, SOCKET_FRAG, 1);
    n_socket_set_option(b, SOCKET_FRAG, 1);
    const auto start = std::chrono::steady_clock::now();
    const auto ms_since = [](std::chrono::steady_clock::time_point t) {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
    };
    std::vector<int> sent(16, 0);
    long started_ms = -1;
    std::chrono::steady_clock::time_point t0{};
    const Bytes data = random_bytes(64 * 1024, 5);
    const unsigned char type[2] = {0x12, 0x34};
    while (ms_since(start) < 12000 && n_frag_get_status(kB.data(), FRAG_STATE_MASK) != FRAG_FINISHED) {
        for (int n = 0; n < 16; ++n) {
            if (ms_since(start) < sent[n] * 300 + n * 300 / 16)
                continue;
            const auto seq = static_cast<unsigned char>(sent[n]++);
            const Bytes f = frame(node_id(static_cast<unsigned char>(60 + n)), seq,
                                  {payload({static_cast<unsigned char>(n)}), cad(kB), cac(2, seq)});
            n_socket_send_raw(a, f.data(), static_cast<int>(f.size()));
        }
        if (t0 == std::chrono::steady_clock::time_point{} && ms_since(start) >= 1000) {
            t0 = std::chrono::steady_clock::now();
            n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), type);
        }
        if (started_ms < 0 && n_frag_get_frag(kA.data()) != nullptr)
            started_ms = ms_since(t0);
        for (int fd : {a, b})
            while (n_pkt *p = n_socket_recv_timeout(fd, fd, 1))
                n_pkt_free(p);
    }
    n_socket_stats st{};
    n_socket_get_stats(b, &st);
    return std::to_string(started_ms) + " " +
           std::to_string(n_frag_get_status(kB.data(), FRAG_STATE_MASK) == FRAG_FINISHED ? 1 : 0) + " " +
           std::to_string(st.transfers_evicted);
}

// ---------------------------------------------------------------- exactly once

// A row of acknowledged frames: what the relay does to them, and whether the
// nodes use what this library adds (request identifiers) or only the plain
// sequence byte, as a node that knows nothing more.
struct OnceSetting {
    std::string name;
    Faults toward_b, toward_a;
    bool plain = false;
    int frames = 2000;
    int linger_ms = 200;
    int flood_ids = 0;          // made-up nodes sending requests to b meanwhile
    int receiver_restarts = 0;  // b is a new process this many times, with a quiet start
};

// Sends requests from `ids` made-up nodes to b's address as fast as it can
// until told to stop.
void flood_requests(int ids, const std::atomic<bool> &stop)
{
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(FaultRelay::kPort);
    to.sin_addr.s_addr = inet_addr("127.0.0.3");
    for (uint32_t i = 0; !stop; ++i) {
        NodeId src = {1, 1, 1, 1, 31, 0, 0, 0};
        const uint32_t n = i % static_cast<uint32_t>(ids);
        src[5] = static_cast<unsigned char>(n >> 16);
        src[6] = static_cast<unsigned char>(n >> 8);
        src[7] = static_cast<unsigned char>(n);
        const Bytes f = frame(src, 0, {payload({1}), cad(kB), cac(0, static_cast<unsigned char>(i / ids))});
        sendto(out, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (i % 64 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(out);
}

// A receiver that is a new process `restarts` times while a sends: each
// incarnation opens b with a quiet start, counts what it delivers into
// `times` (shared with the other processes) and is killed after its share.
AckedRun acked_with_receiver_restarts(int a, int frames, int restarts, int linger_ms)
{
    auto *times = static_cast<std::atomic<int> *>(
        mmap(nullptr, sizeof(std::atomic<int>) * static_cast<std::size_t>(frames), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    const auto incarnation = [&]() -> pid_t {
        const pid_t pid = fork();
        if (pid != 0)
            return pid;
        const int b = relay_node(kB, false, 10, 163);
        n_socket_set_quiet_start(b, 1);
        n_socket_set_option(b, SOCKET_AUTOACK, 1);
        for (;;) {
            n_pkt *p = n_socket_recv_timeout(b, b, 50);
            if (p == nullptr)
                continue;
            n_acl *t = nullptr;
            if (n_acl_findfirst_str(p, "num", &t) >= 0 && t->len == 4) {
                const uint32_t n = nimbet::get_be32(t->data);
                if (n < static_cast<uint32_t>(frames))
                    times[n].fetch_add(1);
            }
            n_pkt_free(p);
        }
    };
    pid_t b = incarnation();
    std::vector<bool> acked(static_cast<std::size_t>(frames), false);
    for (int i = 0; i < frames; ++i) {
        if (restarts > 0 && i > 0 && i % (frames / (restarts + 1)) == 0) {
            kill(b, SIGKILL);
            waitpid(b, nullptr, 0);
            b = incarnation();
        }
        n_pkt *p = n_pkt_alloc();
        unsigned char num[4];
        nimbet::put_be32(num, static_cast<uint32_t>(i));
        n_acl_add_str(p, "num", num, 4, 0);
        acked[static_cast<std::size_t>(i)] = n_socket_send_acked(a, a, p, kB.data()) == 1;
        n_pkt_free(p);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
    kill(b, SIGKILL);
    waitpid(b, nullptr, 0);
    AckedRun r;
    for (int i = 0; i < frames; ++i) {
        const int t = times[i].load();
        r.acked += acked[static_cast<std::size_t>(i)] ? 1 : 0;
        r.delivered += t;
        r.twice += t > 1 ? 1 : 0;
        r.lost += acked[static_cast<std::size_t>(i)] && t == 0 ? 1 : 0;
    }
    munmap(times, sizeof(std::atomic<int>) * static_cast<std::size_t>(frames));
    return r;
}

std::string run_once(const OnceSetting &s, uint32_t seed)
{
    enter_private_netns();
    const int a = relay_node(kA, true, 10, 163);
    if (s.plain)
        n_socket_set_request_ids(a, 0);
    FaultRelay relay(s.toward_b, s.toward_a, seed, {}, 3600000);
    AckedRun r;
    if (s.receiver_restarts > 0) {
        r = acked_with_receiver_restarts(a, s.frames, s.receiver_restarts, s.linger_ms);
    } else {
        const int b = relay_node(kB, false, 10, 163);
        if (s.plain)
            n_socket_set_request_ids(b, 0);
        std::atomic<bool> stop{false};
        std::thread flood;
        if (s.flood_ids > 0)
            flood = std::thread([&] { flood_requests(s.flood_ids, stop); });
        r = run_acked(a, b, kB, s.frames, s.linger_ms);
        stop = true;
        if (flood.joinable())
            flood.join();
        n_socket_close(b);
    }
    n_socket_close(a);
    char line[120];
    std::snprintf(line, sizeof line, "%d %d %d %d", r.acked, r.delivered, r.twice, r.lost);
    return line;
}

// Back-to-back small transfers with late copies: how many were sent, how
// many times the receiver finished one (a late copy that starts a transfer
// again counts twice).
std::string back_to_back(bool plain, uint32_t seed)
{
    enter_private_netns();
    const int a = relay_node(kA, true, 10, 163);
    const int b = relay_node(kB, false, 10, 163);
    if (plain) {
        n_socket_set_transfer_check(a, 0);
        n_socket_set_request_ids(a, 0);
    }
    const Faults late{.hold = 0.15, .hold_min_ms = 100, .hold_max_ms = 1500};
    FaultRelay relay(late, late, seed, {}, 3600000);
    int sent = 0, finished = 0;
    for (int t = 0; t < 300; ++t) {
        const Bytes data = random_bytes(40, seed * 31 + static_cast<uint32_t>(t));
        const TransferRun r = run_transfer(a, b, kA, kB, data, relay, 30000);
        sent += r.sender == FRAG_FINISHED ? 1 : 0;
        finished += r.receiver_finished ? 1 : 0;
    }
    // Late copies still on their way may start transfers again.
    serve(a, b, [&] {
        if (n_frag_get_status(kA.data(), FRAG_STATE_MASK) == FRAG_FINISHED) {
            ++finished;
            n_frag_delete(kA.data());
        }
        return false;
    }, 1600);
    char line[64];
    std::snprintf(line, sizeof line, "%d %d", sent, finished);
    return line;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 20;
    int jobs = 24;
    std::size_t size = 1 << 20;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (k == "--jobs")
            jobs = std::atoi(argv[i + 1]);
        else if (k == "--size")
            size = static_cast<std::size_t>(std::atol(argv[i + 1]));
        else if (k == "--only")
            only = argv[i + 1];
    }
    const Faults rough5{.drop = 0.05, .duplicate = 0.02, .reorder = 0.02};
    const Faults rough10{.drop = 0.10, .duplicate = 0.02, .reorder = 0.02};
    const std::vector<Setting> settings = {
        {"clean", {}, {}},
        {"5% loss, 2% dup+reorder", rough5, rough5},
        {"10% loss, 2% dup+reorder", rough10, rough10},
        {"5% duplication", {.duplicate = 0.05}, {.duplicate = 0.05}},
        {"stale copies 2%", {.drop = 0.01, .stale = 0.02}, {.drop = 0.01, .stale = 0.02}},
        {"corruption 2%, truncation 1%", {.corrupt = 0.02, .truncate = 0.01}, {.corrupt = 0.02, .truncate = 0.01}},
        {"forged data with a valid CRC-16, 0.1%", {.forge = 0.001}, {.forge = 0.001}},
        {"back to back x3, 2% loss+stale", {.drop = 0.02, .stale = 0.02}, {.drop = 0.02, .stale = 0.02}, 3},
        {"restarted sender", {.drop = 0.02}, {.drop = 0.02}, 1, true},
        {"ghost: 60 x 40 B back to back, 15% late", {.stale = 0.15}, {.stale = 0.15}, 60, false, 40},
        {"late first parts: 60 x 2 KiB, 15% late", {.stale = 0.15}, {.stale = 0.15}, 60, false, 2048},
        {"receiver restarted (sequence-0 restart)", {.drop = 0.02}, {.drop = 0.02}, 1, false, 0, true},
    };

    std::printf("%-42s %5s %9s %11s %5s %9s %13s %12s\n", "setting", "runs", "identical", "clean abort", "hung",
                "corrupted", "false success", "data frames");
    std::printf("%-42s %5s %9s %11s %5s %9s %13s %12s\n", "", "", "", "", "", "", "", "(per run)");
    std::fflush(stdout);
    for (const Setting &s : settings) {
        if (!only.empty() && s.name.find(only) == std::string::npos)
            continue;
        std::map<std::string, int> verdicts;
        long frames = 0;
        int done = 0;
        std::vector<Child> running;
        int next = 0;
        while (done < runs) {
            while (next < runs && static_cast<int>(running.size()) < jobs) {
                const uint32_t seed = static_cast<uint32_t>(1000 + next++);
                running.push_back(spawn([&, seed] { return run_one(s, seed, size); }));
            }
            std::string r = collect(running.front());
            if (r.empty())
                r = "crashed|0";
            if (std::getenv("NIMBET_SOAK_DEBUG") != nullptr)
                std::fprintf(stderr, "run: %s\n", r.c_str());
            running.erase(running.begin());
            ++done;
            const std::size_t sp = r.find('|');
            std::string verdict_list = r.substr(0, sp);
            frames += std::atol(r.c_str() + sp + 1);
            for (std::size_t p = 0; p != std::string::npos;) {
                const std::size_t q = verdict_list.find(',', p);
                ++verdicts[verdict_list.substr(p, q == std::string::npos ? std::string::npos : q - p)];
                p = q == std::string::npos ? q : q + 1;
            }
        }
        const int total = runs * s.transfers;
        std::printf("%-42s %5d %9d %11d %5d %9d %13d %12.0f\n", s.name.c_str(), total, verdicts["identical"],
                    verdicts["clean abort"], verdicts["hung"], verdicts["corrupted"], verdicts["false success"],
                    static_cast<double>(frames) / runs);
        std::fflush(stdout);
    }

    if (only.empty() || std::string("restarts and neighbours").find(only) != std::string::npos) {
        std::printf("\n%-42s %s\n", "restarts and neighbours", "result");
        int acked = 0, delivered = 0, two = 0, finished = 0;
        long slowest = 0;
        unsigned long long evicted = 0;
        for (int run = 0; run < runs; ++run) {
            int ack_run = 0, got_run = 0;
            std::sscanf(collect(spawn([] { return restarted_node(5); })).c_str(), "%d %d", &ack_run, &got_run);
            acked += ack_run;
            delivered += got_run;
            two += std::atoi(collect(spawn(two_nodes)).c_str());
            long ms = -1;
            int fin = 0;
            unsigned long long ev = 0;
            std::sscanf(collect(spawn(trickling_fakes)).c_str(), "%ld %d %llu", &ms, &fin, &ev);
            slowest = ms < 0 || slowest < 0 ? -1 : std::max(slowest, ms);
            finished += fin;
            evicted += ev;
        }
        std::printf("%-42s acknowledged %d of %d, delivered %d\n", "restarted node (5 runs, each a process)", acked,
                    5 * runs, delivered);
        std::printf("%-42s delivered %d of %d\n", "two nodes in one process", two, 2 * runs);
        std::printf("%-42s started within %ld ms at worst, finished %d of %d, %llu evictions\n",
                    "16 trickling fakes, then a 64 KiB transfer", slowest, finished, runs, evicted);
        std::fflush(stdout);
    }

    if (only.empty() || std::string("exactly once").find(only) != std::string::npos) {
        const Faults held{.hold = 0.05, .hold_min_ms = 5, .hold_max_ms = 80};
        const Faults late{.hold = 0.05, .hold_min_ms = 500, .hold_max_ms = 3000};
        const Faults lossy_acks{.drop = 0.30};
        const std::vector<OnceSetting> rows = {
            {"held back 5-80 ms, 5%", held, held},
            {"held back 5-80 ms, 5%, plain nodes", held, held, true},
            {"late copies 0.5-3 s, 5%", late, late, false, 2000, 3200},
            {"late copies 0.5-3 s, 5%, plain nodes", late, late, true, 2000, 3200},
            {"4,100 made-up ids flooding b", {}, {}, false, 2000, 200, 4100},
            {"4,100 made-up ids flooding b, plain nodes", {}, {}, true, 2000, 200, 4100},
            {"receiver restarted x22, 30% acks lost", {}, lossy_acks, false, 2000, 400, 0, 22},
        };
        std::printf("\n%-44s %7s %12s %10s %13s %26s\n", "exactly once (acknowledged frames)", "frames",
                    "acknowledged", "delivered", "delivered 2x", "acknowledged, not delivered");
        for (const OnceSetting &row : rows) {
            int acked = 0, delivered = 0, twice = 0, lost = 0;
            for (int run = 0; run < std::max(1, runs / 10); ++run) {
                int ra = 0, rd = 0, rt = 0, rl = 0;
                std::sscanf(collect(spawn([&, run] { return run_once(row, static_cast<uint32_t>(77 + run)); })).c_str(),
                            "%d %d %d %d", &ra, &rd, &rt, &rl);
                acked += ra, delivered += rd, twice += rt, lost += rl;
            }
            std::printf("%-44s %7d %12d %10d %13d %26d\n", row.name.c_str(), row.frames * std::max(1, runs / 10),
                        acked, delivered, twice, lost);
            std::fflush(stdout);
        }
        for (bool plain : {false, true}) {
            int sent = 0, finished = 0;
            std::sscanf(collect(spawn([plain] { return back_to_back(plain, 5); })).c_str(), "%d %d", &sent, &finished);
            std::printf("%-44s sent %d, finished at the receiver %d times\n",
                        plain ? "300 x 40 B transfers, 15% late 0.1-1.5 s, plain" : "300 x 40 B transfers, 15% late 0.1-1.5 s",
                        sent, finished);
            std::fflush(stdout);
        }
    }

    if (only.empty() || std::string("fake sources").find(only) != std::string::npos) {
        std::printf("\n%-28s %14s %18s %17s %12s\n", "fake sources", "us / datagram", "transfers started",
                    "transfers refused", "max RSS KiB");
        for (int sources : {5000, 60000}) {
            const std::string r = collect(spawn([sources] { return flood(sources, 120000); }));
            double us = 0;
            unsigned long long started = 0, refused = 0;
            long rss = 0;
            std::sscanf(r.c_str(), "%lf %llu %llu %ld", &us, &started, &refused, &rss);
            std::printf("%-28d %14.2f %18llu %17llu %12ld\n", sources, us, started, refused, rss);
        }
    }
    return 0;
}
