// SPDX-License-Identifier: MIT
// The seeded fault relay: forwards datagrams between two nodes and applies each direction's faults.
#include "support/relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "frame.h"
#include "support/frames.h"
#include "support/netns.h"

namespace nimbet::test {

namespace {

int bound(const char *addr)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(FaultRelay::kPort);
    sa.sin_addr.s_addr = inet_addr(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        std::perror("relay bind");
        std::abort();
    }
    return fd;
}

constexpr std::size_t kStaleDistance = 256;

}  // namespace

FaultRelay::FaultRelay(Faults toward_b, Faults toward_a, uint32_t seed, std::vector<DropRule> rules, int max_ms)
    : rules_(std::move(rules)), rule_seen_(rules_.size(), 0), rng_(seed)
{
    ab_ = {bound("127.0.0.2"), "127.0.0.3", toward_b, {}, {}, 0, true, 0, {}};
    ba_ = {bound("127.0.0.4"), "127.0.0.1", toward_a, {}, {}, 0, false, 0, {}};
    thread_ = std::thread([this, max_ms] { run(max_ms); });
}

FaultRelay::~FaultRelay()
{
    stop_ = true;
    thread_.join();
    close(ab_.in);
    close(ba_.in);
}

bool FaultRelay::chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }

void FaultRelay::blackout(int ms)
{
    dark_until_ns_ = (std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)).time_since_epoch().count();
}

void FaultRelay::send(Direction &d, const std::vector<unsigned char> &bytes)
{
    if (d.faults.delay_us <= 0) {
        put_on_wire(d, bytes);
        return;
    }
    send_at(d, std::chrono::steady_clock::now() + std::chrono::microseconds(d.faults.delay_us), bytes);
}

// Keeps the datagrams waiting in the order they go out.
void FaultRelay::send_at(Direction &d, std::chrono::steady_clock::time_point when,
                         const std::vector<unsigned char> &bytes)
{
    const auto at = std::upper_bound(d.delayed.begin(), d.delayed.end(), when,
                                     [](auto t, const auto &entry) { return t < entry.first; });
    d.delayed.emplace(at, when, bytes);
}

std::chrono::nanoseconds FaultRelay::release_delayed(Direction &d)
{
    const auto now = std::chrono::steady_clock::now();
    while (!d.delayed.empty() && d.delayed.front().first <= now) {
        put_on_wire(d, d.delayed.front().second);
        d.delayed.pop_front();
    }
    return d.delayed.empty() ? std::chrono::milliseconds(5) : d.delayed.front().first - now;
}

void FaultRelay::put_on_wire(const Direction &d, const std::vector<unsigned char> &bytes)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = inet_addr(d.to);
    sendto(d.in, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

void FaultRelay::forward(Direction &d)
{
    std::vector<unsigned char> buf(512);
    const ssize_t n = recv(d.in, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0)
        return;
    buf.resize(static_cast<std::size_t>(n));
    const WireControl c = wire_control(buf);
    if (d.toward_b && (c.control == 2 || c.control == 4))
        ++data_frames_;
    if (d.history.size() >= 2 * kStaleDistance + 64)
        d.history.erase(d.history.begin(), d.history.begin() + static_cast<std::ptrdiff_t>(kStaleDistance));
    d.history.push_back(buf);

    if (dropped_by_rule(d, buf))
        return;
    if (std::chrono::steady_clock::now().time_since_epoch().count() < dark_until_ns_) {
        ++faults_;
        return;
    }
    const Faults &f = d.faults;
    if (d.burst_left > 0 || chance(f.burst)) {
        d.burst_left = d.burst_left > 0 ? d.burst_left - 1 : f.burst_len - 1;
        ++faults_;
        return;
    }
    if (chance(f.drop)) {
        ++faults_;
        return;
    }
    if (chance(f.hold)) {
        ++faults_;
        const int span = std::max(f.hold_max_ms - f.hold_min_ms, 0);
        const int ms = f.hold_min_ms + (span > 0 ? static_cast<int>(rng_() % static_cast<uint32_t>(span + 1)) : 0);
        send_at(d, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), buf);
        return;
    }
    if (chance(f.stale) && d.history.size() > 1) {
        ++faults_;
        const std::size_t back = chance(0.5) && d.history.size() > kStaleDistance
                                     ? kStaleDistance
                                     : 1 + rng_() % (d.history.size() - 1);
        send(d, d.history[d.history.size() - 1 - back]);
    }
    if (chance(f.corrupt)) {
        ++faults_;
        buf[rng_() % buf.size()] ^= static_cast<unsigned char>(1u << (rng_() % 8));
    } else if (chance(f.forge) && buf.size() > PACKET_MIN_FRAME) {
        ++faults_;
        buf[PACKET_HEADER_SIZE + 3 + rng_() % (buf.size() - PACKET_HEADER_SIZE - 5)] ^=
            static_cast<unsigned char>(1u << (rng_() % 8));
        n_util_crc16_append(buf.data(), static_cast<unsigned>(buf.size()));
    }
    if (chance(f.truncate)) {
        ++faults_;
        buf.resize(rng_() % buf.size());
    }
    if (chance(f.reorder) && d.held.empty()) {
        ++faults_;
        d.held = buf;
        return;
    }
    send(d, buf);
    if (chance(f.duplicate)) {
        ++faults_;
        send(d, buf);
    }
    if (!d.held.empty()) {
        send(d, d.held);
        d.held.clear();
    }
}

bool FaultRelay::dropped_by_rule(const Direction &d, const std::vector<unsigned char> &bytes)
{
    const WireControl c = wire_control(bytes);
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const DropRule &r = rules_[i];
        if (r.toward_b != d.toward_b || r.control != c.control || (r.seq >= 0 && r.seq != c.seq))
            continue;
        if (r.index >= 0) {
            FrameView v;
            if (view_frame(bytes.data(), bytes.size(), v) != Reject::None ||
                read_descriptor(v).index != static_cast<uint32_t>(r.index) || !read_descriptor(v).has(kDescIndex))
                continue;
        }
        const int seen = ++rule_seen_[i];
        if (seen >= r.nth && seen < r.nth + r.count) {
            ++faults_;
            return true;
        }
    }
    return false;
}

void FaultRelay::run(int max_ms)
{
    using namespace std::chrono;
    const auto start = steady_clock::now();
    auto last_heard = start;
    while (!stop_ && steady_clock::now() - start < milliseconds(max_ms)) {
        const nanoseconds wait = std::min({release_delayed(ab_), release_delayed(ba_), nanoseconds(milliseconds(5))});
        const timespec ts{0, static_cast<long>(std::max<int64_t>(wait.count(), 0))};
        pollfd ps[2] = {{ab_.in, POLLIN, 0}, {ba_.in, POLLIN, 0}};
        if (ppoll(ps, 2, &ts, nullptr) <= 0) {
            // A datagram held back goes out when nothing follows it.
            if (steady_clock::now() - last_heard < milliseconds(5))
                continue;
            for (Direction *d : {&ab_, &ba_})
                if (!d->held.empty()) {
                    send(*d, d->held);
                    d->held.clear();
                }
            continue;
        }
        last_heard = steady_clock::now();
        if (ps[0].revents & POLLIN)
            forward(ab_);
        if (ps[1].revents & POLLIN)
            forward(ba_);
    }
}

const char *TransferRun::verdict() const
{
    if (hung)
        return "hung";
    if (receiver_finished && !identical)
        return "corrupted";
    if (sender == FRAG_FINISHED && !identical)
        return "false success";
    if (sender == FRAG_FINISHED && identical)
        return "identical";
    return "clean abort";
}

TransferRun run_transfer(int a, int b, const NodeId &ida, const NodeId &idb, const std::vector<unsigned char> &data,
                         const FaultRelay &relay, int ms)
{
    static const unsigned char kType[2] = {0x12, 0x34};
    TransferRun r;
    const long frames_before = relay.data_frames();
    if (n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), idb.data(), kType) != 1 &&
        n_frag_get_status(idb.data(), FRAG_STATE_MASK) != FRAG_ACTIVE)
        return r;
    const auto state = [](const NodeId &id) { return n_frag_get_status(id.data(), FRAG_STATE_MASK); };
    const auto take = [&] {
        if (r.receiver_finished || state(ida) != FRAG_FINISHED)
            return;
        std::vector<unsigned char> got(data.size() + 1);
        const int64_t len = n_frag_copy_data(ida.data(), got.data(), got.size());
        r.receiver_finished = true;
        r.identical = len == static_cast<int64_t>(data.size()) && std::equal(data.begin(), data.end(), got.begin());
        n_frag_delete(ida.data());
    };
    r.hung = !pump({a, b}, [&] {
        take();
        return state(idb) != FRAG_ACTIVE && state(ida) != FRAG_ACTIVE;
    }, ms);
    take();
    settle_run(r, relay, frames_before, ida, idb);
    return r;
}

void settle_run(TransferRun &r, const FaultRelay &relay, long frames_before, const NodeId &ida, const NodeId &idb)
{
    r.sender = n_frag_get_status(idb.data(), FRAG_STATE_MASK);
    r.receiver = r.receiver_finished ? FRAG_FINISHED : n_frag_get_status(ida.data(), FRAG_STATE_MASK);
    r.data_frames = relay.data_frames() - frames_before;
    n_frag_delete(idb.data());
    n_frag_delete(ida.data());
}

AckedRun run_acked(int a, int b, const NodeId &idb, int frames, int linger_ms)
{
    std::vector<int> times(static_cast<std::size_t>(frames), 0);
    std::vector<bool> acked(static_cast<std::size_t>(frames), false);
    std::atomic<bool> stop{false};
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    std::thread receiver([&] {
        while (!stop) {
            n_pkt *p = n_socket_recv_timeout(b, b, 5);
            if (p == nullptr)
                continue;
            n_acl *t = nullptr;
            if (n_acl_findfirst_str(p, "num", &t) >= 0 && t->len == 4) {
                const uint32_t n = get_be32(t->data);
                if (n < times.size())
                    ++times[n];
            }
            n_pkt_free(p);
        }
    });
    AckedRun r;
    for (int i = 0; i < frames; ++i) {
        n_pkt *p = n_pkt_alloc();
        unsigned char num[4];
        put_be32(num, static_cast<uint32_t>(i));
        n_acl_add_str(p, "num", num, 4, 0);
        acked[static_cast<std::size_t>(i)] = n_socket_send_acked(a, a, p, idb.data()) == 1;
        n_pkt_free(p);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
    stop = true;
    receiver.join();
    for (std::size_t i = 0; i < times.size(); ++i) {
        r.acked += acked[i] ? 1 : 0;
        r.delivered += times[i];
        r.twice += times[i] > 1 ? 1 : 0;
        r.lost += acked[i] && times[i] == 0 ? 1 : 0;
    }
    return r;
}

int relay_node(const NodeId &id, bool is_a, int retry, int timeout)
{
    require_only_own_interfaces();
    const char *self = is_a ? "127.0.0.1" : "127.0.0.3";
    const char *relay = is_a ? "127.0.0.2" : "127.0.0.4";
    const int fd = n_socket_open(inet_addr(self), inet_addr(relay), FaultRelay::kPort);
    if (fd < 0)
        std::abort();
    n_socket_set_id(fd, id.data());
    n_socket_set_ipsrc_str(fd, self);
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    n_socket_set_option(fd, SOCKET_FRAG, 1);
    n_socket_set_retry(fd, retry, timeout);
    apply_test_window(fd);
    n_pkt *none = n_socket_recv(fd, 0);  // binds it
    if (none != nullptr)
        n_pkt_free(none);
    return fd;
}

}  // namespace nimbet::test
