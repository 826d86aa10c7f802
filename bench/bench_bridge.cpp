// SPDX-License-Identifier: MIT
// The gateway's throughput: frames published a second and CPU per frame, durable and memory outbox, beside a ceiling on each side.
//
// All inside a private network namespace of this process: a mosquitto
// broker on 127.0.0.1, the gateway (`nimbet bridge`), and the nodes that
// send. The ceilings are measured in the same run: the rate at which one
// process reads the same datagrams (recvmmsg, 64 at a time) and the rate at
// which the broker confirms QoS 1 publishes of one client with the
// gateway's window (64 in flight).
//
//   bench_bridge --tool PATH [--frames N] [--reps N]
#include <mosquitto.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "broker_fixture.h"
#include "processes.h"
#include "support/netns.h"

namespace {

using nimbet::bench::Child;
using nimbet::bench::Clock;
using nimbet::bench::seconds_since;
using namespace nimbet::test;

constexpr int kMetricsPort = 19470;

n_pkt *sample_frame(int i)
{
    n_pkt *p = n_pkt_alloc();
    const std::string t = std::to_string(200 + i % 100), h = std::to_string(i);
    n_acl_add_str(p, "tmp", reinterpret_cast<const unsigned char *>(t.data()), static_cast<uint16_t>(t.size()), 0);
    n_acl_add_str(p, "cnt", reinterpret_cast<const unsigned char *>(h.data()), static_cast<uint16_t>(h.size()), 0);
    return p;
}

// Sends `frames` frames from a node on `port` as fast as it goes; the time taken.
double blast(uint16_t port, int frames)
{
    const int fd = open_node(node_id(1), port);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
        n_pkt *p = sample_frame(i);
        while (n_socket_send(fd, p) < 0 && n_errno == N_EAGAIN) {
        }
        n_pkt_free(p);
    }
    const double s = seconds_since(t0);
    n_socket_close(fd);
    return s;
}

// One process reading the datagrams with recvmmsg, 64 at a time, with the
// gateway's receive buffer: frames read a second while the node sends.
double read_ceiling(uint16_t port, int frames, int &read)
{
    std::atomic<int> *got = static_cast<std::atomic<int> *>(
        mmap(nullptr, sizeof(std::atomic<int>) * 2, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (got) std::atomic<int>(0);
    new (got + 1) std::atomic<int>(0);  // microseconds from the first datagram to the last
    Child reader([&](int channel) {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1, buf = 4 << 20;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
        timeval tv{2, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        nimbet::bench::say_ready(channel);
        constexpr int kBatch = 64;
        static char data[kBatch][2048];
        mmsghdr msgs[kBatch]{};
        iovec iov[kBatch];
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {data[i], sizeof data[i]};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        Clock::time_point first{};
        while (got->load() < frames) {
            const int n = recvmmsg(s, msgs, kBatch, MSG_WAITFORONE, nullptr);
            if (n <= 0)
                break;
            if (got->load() == 0)
                first = Clock::now();
            got->fetch_add(n);
            got[1].store(static_cast<int>(seconds_since(first) * 1e6));
        }
        return 0;
    });
    reader.ready();
    blast(port, frames);
    reader.finish();
    read = got->load();
    const double s = got[1].load() / 1e6;
    munmap(got, sizeof(std::atomic<int>) * 2);
    return s > 0 ? read / s : 0;
}

// One client publishing at QoS 1 with 64 in flight, as the gateway does:
// publishes the broker confirms a second.
double broker_ceiling(int messages, std::size_t bytes)
{
    struct State {
        std::atomic<int> acked{0};
    } state;
    mosquitto_lib_init();
    mosquitto *c = mosquitto_new("bench-ceiling", true, &state);
    mosquitto_max_inflight_messages_set(c, 64);
    mosquitto_publish_callback_set(c, [](mosquitto *, void *self, int) { ++static_cast<State *>(self)->acked; });
    mosquitto_connect(c, "127.0.0.1", kBrokerPort, 30);
    mosquitto_loop_start(c);
    const std::string payload(bytes, 'p');
    const auto t0 = Clock::now();
    for (int i = 0; i < messages; ++i)
        mosquitto_publish(c, nullptr, "bench/ceiling", static_cast<int>(payload.size()), payload.data(), 1, false);
    while (state.acked.load() < messages && seconds_since(t0) < 60)
        usleep(1000);
    const double s = seconds_since(t0);
    mosquitto_disconnect(c);
    mosquitto_loop_stop(c, false);
    mosquitto_destroy(c);
    return state.acked.load() / s;
}

// CPU seconds (user and system) of a process so far.
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct GatewayRun {
    double published_per_s = 0, cpu_us_per_frame = 0;
    long published = 0, kernel_drops = 0, outbox_drops = 0;
};

// A burst of `frames` at the node's full speed into a gateway with its
// default settings (but the outbox named): what it published, how fast, and
// the CPU it spent per frame.
GatewayRun gateway_run(const std::string &tool, const std::string &outbox, uint16_t port, int frames)
{
    TempDir state;
    const std::string log = state.path + "/gateway.log";
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = nimbet::bench::spawn(
        {tool, "bridge", std::to_string(port), "--mqtt", "127.0.0.1:" + std::to_string(kBrokerPort), "--id",
         "10.0.0.9", "--dest", "127.255.255.255", "--no-config", "--state-dir", state.path, "--outbox", outbox,
         "--metrics", std::to_string(kMetricsPort), "--stats", "0", "--client-id", "bench-" + outbox},
        out);
    close(out);
    GatewayRun r;
    const auto metrics = [] { return parse_metrics(http_get(kMetricsPort, "/metrics")); };
    bool up = false;
    for (int i = 0; i < 500 && !up; ++i) {
        up = http_get(kMetricsPort, "/healthz").find("200 OK") != std::string::npos;
        if (!up)
            usleep(10000);
    }
    if (!up) {
        std::fprintf(stderr, "the gateway did not come up; its log is %s\n", log.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return r;
    }
    const double cpu0 = cpu_seconds(pid);
    const auto t0 = Clock::now();
    blast(port, frames);
    double last_change = 0, done_at = 0;
    long seen = -1;
    for (;;) {
        auto m = metrics();
        r.published = static_cast<long>(m["nimbet_bridge_published_total"]);
        r.kernel_drops = static_cast<long>(m["nimbet_bridge_kernel_drops_total"]);
        r.outbox_drops = static_cast<long>(m["nimbet_bridge_dropped_total{cause=\"outbox_full\"}"] +
                                            m["nimbet_bridge_dropped_total{cause=\"too_large\"}"]);
        const double now = seconds_since(t0);
        if (r.published != seen) {
            seen = r.published;
            last_change = done_at = now;
        }
        if (r.published + r.kernel_drops + r.outbox_drops >= frames || now - last_change > 3 || now > 120)
            break;
        usleep(20000);
    }
    const double cpu = cpu_seconds(pid) - cpu0;
    kill(pid, SIGTERM);
    nimbet::bench::reap(pid, 20);
    r.published_per_s = done_at > 0 ? r.published / done_at : 0;
    r.cpu_us_per_frame = r.published > 0 ? cpu * 1e6 / static_cast<double>(r.published) : 0;
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string tool;
    int frames = 100000, reps = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--tool")
            tool = argv[i + 1];
        else if (a == "--frames")
            frames = std::atoi(argv[i + 1]);
        else if (a == "--reps")
            reps = std::atoi(argv[i + 1]);
    }
    if (tool.empty() || frames <= 0 || reps <= 0) {
        std::fprintf(stderr, "usage: bench_bridge --tool PATH [--frames N] [--reps N]\n");
        return 2;
    }
    enter_private_netns();
    Broker broker(kBrokerPort, false);
    broker.start();

    std::printf("%d frames at the node's full speed, %d repetitions (medians)\n\n", frames, reps);
    std::printf("%-36s %14s %12s %16s\n", "", "frames/s", "CPU us/frame", "published (of N)");
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> reads;
    int read = 0;
    for (int i = 0; i < reps; ++i)
        reads.push_back(read_ceiling(kNodePort + 50, frames, read));
    std::printf("%-36s %14.0f %12s %16d\n", "ceiling: one process reads (recvmmsg)", median(reads), "", read);
    std::vector<double> acks;
    for (int i = 0; i < reps; ++i)
        acks.push_back(broker_ceiling(frames, 280));
    std::printf("%-36s %14.0f %12s %16s\n", "ceiling: mosquitto QoS 1, one client", median(acks), "", "");
    for (const char *outbox : {"sqlite", "memory"}) {
        std::vector<double> rate, cpu;
        GatewayRun last;
        for (int i = 0; i < reps; ++i) {
            last = gateway_run(tool, outbox, static_cast<uint16_t>(kNodePort + 60 + i), frames);
            rate.push_back(last.published_per_s);
            cpu.push_back(last.cpu_us_per_frame);
        }
        char label[64];
        std::snprintf(label, sizeof label, "gateway, %s outbox", outbox);
        std::printf("%-36s %14.0f %12.1f %16ld  (kernel drops %ld, outbox drops %ld)\n", label, median(rate),
                    median(cpu), last.published, last.kernel_drops, last.outbox_drops);
    }
    return 0;
}
