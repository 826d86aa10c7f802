// SPDX-License-Identifier: MIT
// Sockets: the record and its registry, network start-up, opening and closing, options, counters, description.
#include "socket.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "acked_send.h"
#include "frag.h"
#include "history.h"

using namespace nimbet;

namespace {

// Open sockets, newest first. Lookups walk from the head, so when two records
// ever shared a descriptor the newer one would win. g_registry_mu guards the
// list and nothing else; it is never held while another lock is taken.
GlobalLock g_registry_mu(kRankSockets);
TqHead<socket_record> g_registry GUARDED_BY(g_registry_mu) = {nullptr, &g_registry.tqh_first};
uint64_t g_next_serial GUARDED_BY(g_registry_mu) = 1;
// fork() calls so far (the fork handlers count them, with the registry held)
uint64_t g_forks GUARDED_BY(g_registry_mu) = 0;

std::atomic<int> g_net_users{0};
std::atomic<int> g_lastacks{5};

constexpr int kDefaultRetry = 10;
constexpr int kDefaultTimeoutMs = 163;
constexpr unsigned char kIdPrefix[4] = {1, 1, 1, 1};

// Points the destination list at the broadcast address of the first
// interface found: one destination, SOCKET_BROADCAST set. 0, or -1 with 22
// when discovery fails. Discovery runs before the lock is taken.
int set_broadcast_destination(socket_record *rec)
{
    if (rec == nullptr)
        return fail(kBadF);
    uint32_t addrs[5];
    uint32_t bcasts[5];
    if (n_util_get_local_interfaces(addrs, bcasts, sizeof addrs) < 1)
        return fail(kInval);
    const ScopedLock lock(rec->mu);
    set_destination_slot(rec, reinterpret_cast<const unsigned char *>(&bcasts[0]), 0);
    rec->options |= SOCKET_BROADCAST;
    return 0;
}

// Frees a record that nobody references any more; the system close result.
// (Nobody else can reach it, so its lock is not taken.)
int destroy(socket_record *rec) NO_THREAD_SAFETY_ANALYSIS
{
    const int result = ::close(rec->fd);
    if (rec->wake_fd >= 0)
        ::close(rec->wake_fd);
    net_release();
    std::free(rec->recv_from);
    delete rec;
    return result;
}

// Drops one reference; the last one closes the system socket. The system
// close result when this was the last reference, else 0.
int release(socket_record *rec)
{
    if (rec->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        return destroy(rec);
    return 0;
}

const char *yes_no(uint32_t options, uint32_t bit) { return (options & bit) != 0 ? "Y" : "N"; }

}  // namespace

namespace nimbet {

void socket_destroy(socket_record *rec) { destroy(rec); }

SocketRef socket_acquire(int fd)
{
    const ScopedLock lock(g_registry_mu);
    for (socket_record *rec : SocketQueue::each(g_registry))
        if (rec->fd == fd) {
            rec->refs.fetch_add(1, std::memory_order_relaxed);
            return SocketRef(rec);
        }
    return SocketRef();
}

// (The fork handlers hold the registry: the analysis cannot see it taken.)
void sockets_before_fork() NO_THREAD_SAFETY_ANALYSIS
{
    ++g_forks;
    const bool claims = claims_prepare();
    for (socket_record *rec : SocketQueue::each(g_registry))
        rec->fork_claimed = claims && claim_for_fork(rec);
}

void sockets_after_fork(bool child) NO_THREAD_SAFETY_ANALYSIS
{
    claims_after_fork(child);
    for (socket_record *rec : SocketQueue::each(g_registry)) {
        if (child) {
            // Threads the child does not have may have held the record's
            // lock, read it, or waited on it for an acknowledgement.
            new (&rec->mu) Mutex();
            rec->acked = engine::AckedSends();  // the sends of the parent's threads
            rec->readers.store(0, std::memory_order_relaxed);
            // The parent goes on drawing request identifiers from its
            // sessions, and numbering its frames and requests: the child
            // draws new ones and starts its counters afresh, as a socket
            // just opened does, or both would send the same.
            rec->peer_requests.clear();
            const uint64_t r = system_random();
            rec->last_seq = static_cast<uint8_t>(r);
            rec->ack_seq = static_cast<uint8_t>(r >> 8);
            if (rec->wake_fd >= 0)
                ::close(rec->wake_fd);  // the parent's
            rec->wake_fd = -1;
        }
        if (rec->wake_fd < 0)
            rec->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        // Unclaimed (or shared for good after an earlier fork): no process
        // can ever tell that the other one let go of it.
        const bool for_good = !rec->fork_claimed || rec->shared_since.load() == kSharedForGood;
        rec->shared_since.store(for_good ? kSharedForGood : g_forks, std::memory_order_release);
        rec->fork_claimed = false;
    }
}

SocketRef socket_share(socket_record *rec)
{
    if (rec != nullptr)
        rec->refs.fetch_add(1, std::memory_order_relaxed);
    return SocketRef(rec);
}

int bind_socket(socket_record *rec)
{
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = rec->port;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    const sockaddr_in *where = rec->recv_from != nullptr ? rec->recv_from : &any;
    return ::bind(rec->fd, reinterpret_cast<const sockaddr *>(where), sizeof *where);
}

bool ensure_bound(socket_record *rec)
{
    if (rec->options.load(std::memory_order_acquire) & SOCKET_BOUND)
        return true;
    int cause = 0;
    {
        const ScopedLock lock(rec->mu);
        if (rec->options & SOCKET_BOUND)
            return true;
        if (bind_socket(rec) == 0) {
            rec->options |= SOCKET_BOUND;
            return true;
        }
        cause = errno;
    }
    errno = cause;
    return false;
}

int set_blocking_mode(socket_record *rec, int on)
{
    if (rec == nullptr)
        return fail(kInval);
    const int previous = (rec->options & SOCKET_BLOCKING) ? 1 : 0;
    int nonblocking = on ? 0 : 1;
    ::ioctl(rec->fd, FIONBIO, &nonblocking);
    if (on)
        rec->options |= SOCKET_BLOCKING;
    else
        rec->options &= ~static_cast<uint32_t>(SOCKET_BLOCKING);
    return previous;
}

int set_destination_slot(socket_record *rec, const unsigned char *address, int i)
{
    if (rec == nullptr)
        return fail(kBadF);
    if (address == nullptr || i < 0 || i >= kMaxDestinations)
        return fail(kInval);
    sockaddr_in &slot = rec->send_to[i];
    std::memset(&slot, 0, sizeof slot);
    slot.sin_family = AF_INET;
    slot.sin_port = rec->port;
    std::memcpy(&slot.sin_addr.s_addr, address, kAddrLen);
    rec->num_interfaces = i + 1;
    return 0;
}

void set_option_bits(socket_record *rec, uint32_t bits, bool on)
{
    const ScopedLock lock(rec->mu);
    if (on)
        rec->options |= bits;
    else
        rec->options &= ~bits;
}

uint32_t option_bits(socket_record *rec) { return rec->options.load(std::memory_order_acquire); }

int socket_retry(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    return rec->retry;
}

uint32_t socket_timeout_ms(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    return timeout_ms(rec->timeout);
}

RttEstimator known_round_trip(socket_record *rec, const unsigned char *peer)
{
    const ScopedLock lock(rec->mu);
    const RttEstimator *known = rec->round_trips.find(NodeKey::of(peer), n_util_getmstime());
    return known != nullptr ? *known : RttEstimator{};
}

void remember_round_trip(socket_record *rec, const unsigned char *peer, const RttEstimator &rtt)
{
    const ScopedLock lock(rec->mu);
    RttEstimator &kept = rec->round_trips.touch(NodeKey::of(peer), n_util_getmstime());
    kept = rtt;
    kept.backoff = 0;
    rec->stats.rtt_ms.store(rtt.srtt_ms(), std::memory_order_relaxed);
    rec->stats.rto_ms.store(kept.rto_ms(timeout_ms(rec->timeout)), std::memory_order_relaxed);
}

uint32_t resend_window_ms(socket_record *rec)
{
    int retry = 0;
    uint32_t timeout = 0;
    {
        const ScopedLock lock(rec->mu);
        retry = rec->retry;
        timeout = timeout_ms(rec->timeout);
    }
    const uint64_t window = uint64_t{retry > 1 ? static_cast<uint32_t>(retry) : 1u} * (timeout > 0 ? timeout : 1u);
    return window < UINT32_MAX / 2 ? static_cast<uint32_t>(window) : UINT32_MAX / 2;
}

// The POSIX socket interface needs no start-up; the count is kept so that
// open and close stay balanced on every platform.
int net_acquire()
{
    g_net_users.fetch_add(1);
    return 0;
}

int net_release()
{
    int users = g_net_users.load();
    while (users > 0 && !g_net_users.compare_exchange_weak(users, users - 1)) {
    }
    return 0;
}

int net_users() { return g_net_users.load(); }

int lastacks() { return g_lastacks.load(std::memory_order_relaxed); }

bool socket_quiet(socket_record *rec, uint32_t now)
{
    bool quiet = false;
    uint32_t opened = 0;
    {
        const ScopedLock lock(rec->mu);
        quiet = rec->quiet_start;
        opened = rec->opened_at;
    }
    return quiet && now - opened < resend_window_ms(rec);
}

}  // namespace nimbet

namespace {

// The addresses a new socket sends from and to: the pair given, or when
// both are 0 each interface's address and broadcast address. Their count,
// or -1 with 22 when discovery finds no interface.
int find_endpoints(uint32_t local_addr, uint32_t dest_addr, uint32_t (&locals)[kMaxDestinations],
                   uint32_t (&dests)[kMaxDestinations])
{
    if (local_addr != 0 || dest_addr != 0) {
        locals[0] = local_addr;
        dests[0] = dest_addr;
        return 1;
    }
    const int count = n_util_get_local_interfaces(locals, dests, sizeof locals);
    return count < 1 ? fail(kInval) : count;
}

// A UDP socket that reuses its port and may broadcast, closed on exec so
// that it does not leak into programs the application starts. The
// descriptor, or -1 with the system's number (as n_errno as well).
int open_udp_socket()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const int e = errno;
        return fail_sys(e, e);
    }
    const int one = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        const int e = errno;
        ::close(s);
        return fail_sys(e, e);
    }
    // The address each datagram was sent to, for the trace hook (only a read
    // that asks for it gets it).
    ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    return s;
}

// A new record (the caller owns it) for socket s with the default settings,
// sending to the count addresses of dests; its identifier holds `local`.
// Null when memory runs out.
socket_record *new_socket_record(int s, uint16_t port, uint32_t local, const uint32_t *dests, int count)
{
    auto *rec = new (std::nothrow) socket_record{};
    if (rec == nullptr)
        return nullptr;
    const ScopedLock lock(rec->mu);  // nobody knows it yet; every field is written under it all the same
    rec->fd = s;
    struct stat st {};
    if (::fstat(s, &st) == 0)
        rec->inode = st.st_ino;
    rec->options = 0;
    rec->port = htons(port);
    // Counters that start where the last run's did would make a restarted
    // node's requests look like repeats of its old ones to every receiver.
    const uint64_t r = system_random();
    rec->last_seq = static_cast<uint8_t>(r);
    rec->ack_seq = static_cast<uint8_t>(r >> 8);
    rec->retry = kDefaultRetry;
    rec->timeout = kDefaultTimeoutMs;
    rec->opened_at = n_util_getmstime();
    set_blocking_mode(rec, 1);
    for (int i = 0; i < count; ++i)
        set_destination_slot(rec, reinterpret_cast<const unsigned char *>(&dests[i]), i);
    rec->options |= SOCKET_BROADCAST;
    std::memcpy(rec->id, kIdPrefix, sizeof kIdPrefix);
    std::memcpy(rec->id + sizeof kIdPrefix, &local, kAddrLen);
    return rec;
}

}  // namespace

extern "C" {

int n_socket_open(uint32_t local_addr, uint32_t dest_addr, uint16_t port)
try {
    uint32_t locals[kMaxDestinations];
    uint32_t dests[kMaxDestinations];
    const int count = find_endpoints(local_addr, dest_addr, locals, dests);
    if (count < 0)
        return -1;
    if (net_acquire() != 0)
        return fail(kAgain);
    const int s = open_udp_socket();
    if (s < 0) {
        net_release();
        return -1;
    }
    socket_record *rec = new_socket_record(s, port, locals[0], dests, count);
    if (rec == nullptr) {
        ::close(s);
        net_release();
        return fail(kNoMem);
    }
    update_own_frame_filter(rec);
    const ScopedLock lock(g_registry_mu);
    rec->serial = g_next_serial++;
    SocketQueue::insert_head(g_registry, rec);
    return s;
} catch (...) {
    return failed_by_exception(n_socket_open);
}

int n_socket_close(int fd)
try {
    socket_record *rec = nullptr;
    {
        const ScopedLock lock(g_registry_mu);
        for (socket_record *r : SocketQueue::each(g_registry))
            if (r->fd == fd) {
                rec = r;
                SocketQueue::remove(g_registry, r);
                break;
            }
    }
    if (rec == nullptr)
        return fail(kInval);
    // The registry's reference is ours now. Calls still working on the socket
    // keep the record and the descriptor alive; shutting the socket down
    // wakes the ones waiting on it, and they return with 9 (a socket that
    // another process still holds since a fork() is not shut down: its
    // waits watch the wake descriptor instead, which is written to whenever
    // there is one). Its transfers end here: nothing may ever go out through
    // a reused descriptor number.
    rec->closed.store(true, std::memory_order_seq_cst);
    claim_release(rec);
    if (rec->wake_fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(rec->wake_fd, &one, sizeof one);
    }
    if (!socket_shared(rec))
        ::shutdown(rec->fd, SHUT_RDWR);
    frag_socket_closed(rec);
    acked_socket_closed(rec);
    return release(rec);
} catch (...) {
    return failed_by_exception(n_socket_close);
}

int n_socket_set_option(int fd, int mask, int value)
try {
    if (fd == 0 || mask == 0 || (mask & SOCKET_BOUND) != 0)
        return fail(kInval);
    return on_socket(fd, kInval, [&](socket_record *rec) {
        // Broadcast and blocking act before the value is checked: a refused
        // value still leaves their effect in place, as callers have always
        // seen it.
        if ((mask & SOCKET_BROADCAST) != 0 && set_broadcast_destination(rec) != 0)
            return -1;
        const uint32_t low = static_cast<uint32_t>(mask) & SOCKET_LOWFLAG;
        {
            const ScopedLock lock(rec->mu);
            if ((mask & SOCKET_BLOCKING) != 0)
                set_blocking_mode(rec, value);
            if (value == 0)
                rec->options &= ~low;
            else if (value == 1)
                rec->options |= low;
            else
                return fail(kInval);
        }
        if (low & SOCKET_RECV_ALL)
            update_own_frame_filter(rec);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_option);
}

int n_socket_get_option(int fd, int mask)
try {
    if (mask == 0)
        return fail(kInval);
    return on_socket(fd, kInval, [&](socket_record *rec) {
        return static_cast<int>(option_bits(rec) & static_cast<uint32_t>(mask));
    });
} catch (...) {
    return failed_by_exception(n_socket_get_option);
}

int n_socket_get_blocking(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) { return (option_bits(rec) & SOCKET_BLOCKING) ? 1 : 0; });
} catch (...) {
    return failed_by_exception(n_socket_get_blocking);
}

int n_socket_get_broadcast(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) { return (option_bits(rec) & SOCKET_BROADCAST) ? 1 : 0; });
} catch (...) {
    return failed_by_exception(n_socket_get_broadcast);
}

// A sequence byte tells apart at most half its 256 values: a history that
// reached further back would take a sender's next round of bytes for repeats.
int n_socket_set_lastacks(int n)
try {
    if (n > static_cast<int>(kPlainDepth))
        return fail(kInval);
    g_lastacks.store(n, std::memory_order_relaxed);
    return 1;
} catch (...) {
    return failed_by_exception(n_socket_set_lastacks);
}

int n_socket_get_lastacks(void)
try {
    return lastacks();
} catch (...) {
    return failed_by_exception(n_socket_get_lastacks);
}

int n_socket_set_frag_limits(int fd, int max_transfers, uint32_t max_bytes)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (max_transfers < 1 || max_bytes == 0)
            return fail(kInval);
        const ScopedLock lock(rec->mu);
        rec->max_transfers = max_transfers;
        rec->max_bytes = max_bytes;
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_frag_limits);
}

}  // extern "C"

namespace {

// One of the socket's switches of what goes beyond the plain protocol.
int set_switch(int fd, bool socket_record::*member, int on)
{
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        rec->*member = on != 0;
        return 0;
    });
}

}  // namespace

extern "C" {

int n_socket_set_transfer_check(int fd, int on)
try {
    return set_switch(fd, &socket_record::transfer_check, on);
} catch (...) {
    return failed_by_exception(n_socket_set_transfer_check);
}

int n_socket_set_request_ids(int fd, int on)
try {
    return set_switch(fd, &socket_record::request_ids, on);
} catch (...) {
    return failed_by_exception(n_socket_set_request_ids);
}

int n_socket_set_quiet_start(int fd, int on)
try {
    return set_switch(fd, &socket_record::quiet_start, on);
} catch (...) {
    return failed_by_exception(n_socket_set_quiet_start);
}

int n_socket_set_transfer_filter(int fd, int filter_id)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (filter_id < 0)
            return fail(kInval);
        const ScopedLock lock(rec->mu);
        rec->transfer_filter = filter_id;
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_transfer_filter);
}

int n_socket_set_transfer_window(int fd, int parts)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (parts < 0 || parts > static_cast<int>(kMaxTransferWindow))
            return fail(kInval);
        const ScopedLock lock(rec->mu);
        rec->transfer_window = static_cast<uint8_t>(parts > 1 ? parts : 1);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_transfer_window);
}

int n_socket_set_adaptive_retry(int fd, int on)
try {
    return set_switch(fd, &socket_record::adaptive_retry, on);
} catch (...) {
    return failed_by_exception(n_socket_set_adaptive_retry);
}

namespace {

// The system's count of datagrams it dropped for this socket (SO_MEMINFO:
// the counter that SO_RXQ_OVFL would attach to each datagram); it wraps at
// 32 bits.
bool system_drops(int fd, uint32_t &out)
{
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 || len <= SK_MEMINFO_DROPS * sizeof info[0])
        return false;
    out = info[SK_MEMINFO_DROPS];
    return true;
}

// Adds the system's drops since the last read to the socket's kernel_drops.
// The counter is read without the socket's lock, then folded in under it.
void update_kernel_drops(socket_record *rec)
{
    uint32_t now = 0;
    if (!system_drops(rec->fd, now))
        return;
    const ScopedLock lock(rec->mu);
    if (!rec->kernel_drops)
        return;
    rec->stats.kernel_drops.fetch_add(now - rec->kernel_drops_seen, std::memory_order_relaxed);
    rec->kernel_drops_seen = now;
}

}  // namespace

int n_socket_get_stats_sized(int fd, n_socket_stats *out, size_t size)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (out == nullptr)
            return fail(kInval);
        update_kernel_drops(rec);
        const SocketCounters &c = rec->stats;
        const auto get = [](const std::atomic<uint64_t> &v) { return v.load(std::memory_order_relaxed); };
        const n_socket_stats all{get(c.frames_sent),        get(c.frames_received),   get(c.frames_rejected),
                                 get(c.not_for_us),         get(c.duplicates),        get(c.acks_sent),
                                 get(c.acks_received),      get(c.retransmissions),   get(c.transfers_started),
                                 get(c.transfers_finished), get(c.transfers_aborted), get(c.transfers_refused),
                                 get(c.stray_fragments),    get(c.transfers_evicted), get(c.kernel_drops),
                                 get(c.rtt_ms),             get(c.rto_ms),            get(c.requests_refused)};
        // Whole counters only: a record of an older header ends on one.
        const std::size_t n = std::min(size, sizeof all) / sizeof(uint64_t) * sizeof(uint64_t);
        std::memcpy(out, &all, n);
        return static_cast<int>(n);
    });
} catch (...) {
    return failed_by_exception(n_socket_get_stats_sized);
}

int n_socket_get_stats(int fd, n_socket_stats *out)
try {
    // The record as programs built before the sized call know it ends here.
    constexpr std::size_t kSizeUpTo010 = offsetof(n_socket_stats, rto_ms) + sizeof(uint64_t);
    static_assert(kSizeUpTo010 == 136);
    return n_socket_get_stats_sized(fd, out, kSizeUpTo010) < 0 ? -1 : 0;
} catch (...) {
    return failed_by_exception(n_socket_get_stats);
}

int n_socket_reset_stats(int fd)
try {
    return on_socket(fd, kBadF, [](socket_record *rec) {
        update_kernel_drops(rec);
        SocketCounters &c = rec->stats;
        for (std::atomic<uint64_t> *v :
             {&c.frames_sent, &c.frames_received, &c.frames_rejected, &c.not_for_us, &c.duplicates, &c.acks_sent,
              &c.acks_received, &c.retransmissions, &c.transfers_started, &c.transfers_finished,
              &c.transfers_aborted, &c.transfers_refused, &c.stray_fragments, &c.transfers_evicted,
              &c.kernel_drops, &c.requests_refused})
            v->store(0, std::memory_order_relaxed);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_reset_stats);
}

int n_socket_set_kernel_drops(int fd, int on)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        uint32_t now = 0;
        system_drops(rec->fd, now);
        {
            const ScopedLock lock(rec->mu);
            rec->kernel_drops = on != 0;
            rec->kernel_drops_seen = now;
            rec->stats.kernel_drops.store(0, std::memory_order_relaxed);
        }
        update_own_frame_filter(rec);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_kernel_drops);
}

int n_describe_socket(int fd)
try {
    SocketRef ref = socket_acquire(fd);
    if (!ref)
        return std::printf("NO SUCH SOCKET\n");
    socket_record *rec = ref.get();
    const ScopedLock lock(rec->mu);

    std::printf("SOCKET: #%i @%p\n", fd, static_cast<void *>(rec));
    std::printf("fd:\t\t%i\n", rec->fd);
    std::printf("port:\t\t%i\n", static_cast<int>(ntohs(rec->port)));
    char text[INET_ADDRSTRLEN];
    if (rec->recv_from != nullptr)
        std::printf("recv_from:\t%s\n", inet_ntop(AF_INET, &rec->recv_from->sin_addr, text, sizeof text));
    else
        std::printf("recv_from:\tANY\n");
    std::printf("send_to:\t");
    for (int i = 0; i < rec->num_interfaces; ++i)
        std::printf("%s, ", inet_ntop(AF_INET, &rec->send_to[i].sin_addr, text, sizeof text));
    std::printf("\n");
    std::printf("ACK:\t\t%i x %i (ms)\n", rec->retry, rec->timeout);
    const unsigned char *id = rec->id;
    std::printf("ID:\t\t%i.%i.%i.%i.%i.%i.%i.%i\n", id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7]);

    unsigned char root[16];
    char node[4][10];
    int32_t x = 0, y = 0, z = 0;
    uint8_t deviation = 0;
    n_util_raw2location(root, node[0], node[1], node[2], node[3], &x, &y, &z, &deviation, rec->loc);
    std::printf("LOC:\t\t");
    for (int i = 0; i < 15; ++i)
        std::printf("%i.", root[i]);
    std::printf("%i\n\t\t[%s.%s.%s.%s] [%i/%i/%i @ %i]\n", root[15], node[0], node[1], node[2], node[3], x, y, z,
                deviation);
    std::printf("Seq:\t\t%i\n", rec->last_seq);
    const uint32_t o = rec->options;
    return std::printf("BLOCKING [%s] BOUND [%s] BROADCAST [%s] AUTOACKK [%s]\n receive ALL[%s] FRAGMENTATION[%s]\n",
                       yes_no(o, SOCKET_BLOCKING), yes_no(o, SOCKET_BOUND), yes_no(o, SOCKET_BROADCAST),
                       yes_no(o, SOCKET_AUTOACK), yes_no(o, SOCKET_RECV_ALL), yes_no(o, SOCKET_FRAG));
} catch (...) {
    return failed_by_exception(n_describe_socket);
}

}  // extern "C"
