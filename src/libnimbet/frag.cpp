// SPDX-License-Identifier: MIT
// Fragmentations: the registry, states, timers, remembered transfers, and the operations common to both directions.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>

#include "engine/deadlines.h"
#include "frag.h"
#include "packet.h"
#include "trace.h"

using namespace nimbet;

namespace {

GlobalLock g_mu(kRankTransfers);

// The registry lock, holding trace events back while it is held.
class SCOPED_CAPABILITY RegistryLock {
public:
    RegistryLock() ACQUIRE(frag_mutex()) { frag_mutex().lock(); }
    ~RegistryLock() RELEASE() { frag_mutex().unlock(); }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;

private:
    OutputHold hold_;
};
// Every registered fragmentation in registry order (receivers in front,
// senders behind), and the same records indexed by identifier: one lookup
// per datagram, however many transfers there are.
TqHead<n_frag> g_registry GUARDED_BY(frag_mutex()) = {nullptr, &g_registry.tqh_first};
std::unordered_map<NodeKey, n_frag *, NodeKeyHash> g_index GUARDED_BY(frag_mutex());

// An aborted transfer, or a received one whose data were taken, that nobody
// deletes is reclaimed after this long.
constexpr uint32_t kReclaimMs = 30000;

// How long a receiver waits for the next part: (timeout + 13) ms per retry
// left, in 64 bits (a large timeout times 255 retries passes 32 bits).
uint64_t receiver_patience(uint32_t timeout, int32_t retries)
{
    return (uint64_t{timeout} + 13u) * static_cast<uint64_t>(retries > 0 ? retries : 0);
}

// When a fragmentation's timer can next change anything, as a wait after
// its last activity; false when it waits on no timer. A sender resends after
// `timeout`, or with adaptive resends after the peer's current estimate.
bool timer_wait(const n_frag *f, uint32_t timeout, uint64_t &wait) REQUIRES(f->mu)
{
    if (!frag_receiving(f)) {
        // (A plain resend is due once `timeout` has passed, an adaptive one
        // once its whole estimate has: `wait` is what must be exceeded.)
        wait = f->adaptive ? std::max(f->rtt.rto_ms(timeout), 1u) - 1 : timeout;
        return frag_state(f) == FRAG_ACTIVE && f->channel != nullptr;
    }
    // A finished receiver waits on nothing: its data are kept until the
    // application takes them.
    wait = receiver_patience(timeout, f->retries);
    return frag_state(f) == FRAG_ACTIVE;
}

// Milliseconds from now until a timer that waits `wait` after `last` is due
// (0: due now).
int64_t time_left(uint32_t now, uint32_t last, uint64_t wait)
{
    const uint32_t elapsed = now - last;
    return elapsed > wait ? 0 : static_cast<int64_t>(wait - elapsed) + 1;
}

void drop_channel(n_frag *f) REQUIRES(f->mu)
{
    SocketRef(f->channel).reset();  // takes over and drops the record's reference
    f->channel = nullptr;
    f->channel_serial.store(0, std::memory_order_relaxed);
}

// A transfer whose socket is closing: aborted when under way, and let go of
// the socket. Under the transfer's lock.
void let_go_of_closed(n_frag *f, socket_record *rec) REQUIRES(f->mu)
{
    if (f->channel != rec)
        return;
    if (frag_state(f) == FRAG_ACTIVE)
        frag_abort(f, "socket closed");
    drop_channel(f);
}

// The same for every transfer of a closing socket, one at a time and with
// nothing allocated, for a close when memory has run out: quadratic in the
// number of transfers, but it cannot fail.
void let_go_of_closed_one_by_one(socket_record *rec)
{
    for (;;) {
        FragRef next;
        {
            const RegistryLock lock;
            for (n_frag *f : FragQueue::each(g_registry))
                if (f->channel_serial.load(std::memory_order_relaxed) == rec->serial) {
                    f->refs.fetch_add(1, std::memory_order_relaxed);
                    next = FragRef(f);
                    break;
                }
        }
        if (!next)
            return;
        const FragLock lock(next.get());
        let_go_of_closed(next.get(), rec);
        next->channel_serial.store(0, std::memory_order_relaxed);  // never found again, whatever it held
    }
}

void set_state(n_frag *f, unsigned state)
{
    f->status.store(static_cast<uint16_t>((f->status.load(std::memory_order_relaxed) & ~FRAG_STATE_MASK) | state),
                    std::memory_order_relaxed);
}

int clamp_to_int(uint32_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// The data of a transfer: the sender's copy, or the joined data of a
// finished receiver (read from its file when it was written to one).
const unsigned char *joined_data(n_frag *f) REQUIRES(f->mu)
{
    if (f->frag_data == nullptr && frag_receiving(f) && frag_state(f) == FRAG_FINISHED)
        sink_load(f);
    return f->frag_data;
}

// A finished receiver's data went to the application.
void mark_taken(n_frag *f) REQUIRES(f->mu)
{
    if (frag_receiving(f) && frag_state(f) == FRAG_FINISHED && !f->taken.exchange(true))
        frag_reclaim_later(f);
}

const char *kStateNames[] = {"ACTIVE\n", "FINISHED\n", "ABORTED\n", "ABORTED\n"};


// The earlier of a timer's `left` and the acknowledgement the transfer owes.
int64_t earliest(int64_t left, const n_frag *f, uint32_t now) REQUIRES(f->mu)
{
    const int64_t owed = f->recv_window != nullptr ? f->recv_window->acks.left(now) : -1;
    return owed >= 0 && owed < left ? owed : left;
}

// Serves the timer of one transfer (under its lock); the milliseconds until
// it can next change anything (0: due now), or -1 when it waits on none.
int64_t serve_timer(n_frag *f, uint32_t timeout, uint32_t now, bool serve, bool drained) REQUIRES(f->mu)
{
    uint64_t wait = 0;
    if (!timer_wait(f, timeout, wait))
        return -1;
    if (serve)
        frag_send_owed_ack(f, now);
    if (serve && now - f->last_time > wait) {
        // A sender gives up after its retries (spent one per timeout), or
        // with adaptive resends once its budget of time is spent too,
        // however many faster resends it made: no peer sees it give up
        // sooner, nor after fewer transmissions.
        const bool spent = f->retries < 1 && (!f->adaptive || now - f->part_first_sent >= f->budget);
        const bool gives_up = frag_receiving(f) || spent;
        if (gives_up && !drained)
            return 0;
        if (frag_receiving(f)) {
            frag_abort(f, "no part for too long");
        } else if (!spent) {
            sender_resend(f);
        } else {
            frag_abort(f, "not acknowledged");
        }
        if (!timer_wait(f, timeout, wait))
            return -1;
    }
    return earliest(time_left(now, f->last_time, wait), f, now);
}

// The transfers' deadlines (under the registry lock): when each can next
// change anything, computed with the timeout of the socket it runs on, so
// that reading a datagram costs the same however many transfers there are.
// Each activity (a part sent or stored), and each change of the socket's
// settings, sets the deadline anew; the entry it replaces goes stale. An
// entry that comes due is weighed with the timeout of the socket being
// read, and set again when the transfer is not due yet. Ended transfers
// wait in a heap of their own for their reclaim.
engine::Deadlines<FragRef> g_timers GUARDED_BY(frag_mutex());
engine::Deadlines<FragRef> g_reclaims GUARDED_BY(frag_mutex());
// A deadline that found no memory for its entry: the transfers' own times
// are entered again, from a walk of the registry, as soon as memory allows.
bool g_unscheduled GUARDED_BY(frag_mutex()) = false;
constexpr int kRescheduleMs = 50;

// Only a transfer under way waits on a timer.
bool current_timer(const FragRef &f, uint32_t at) REQUIRES(frag_mutex())
{
    return f->registered.load(std::memory_order_relaxed) && frag_state(f.get()) == FRAG_ACTIVE && f->timer_set &&
           f->timer_at == at;
}

bool current_reclaim(const FragRef &f, uint32_t) { return f->registered.load(std::memory_order_relaxed); }

// Takes the transfers whose entries are due (clearing their deadlines).
std::vector<FragRef> due_transfers(uint32_t now, bool reclaims)
{
    std::vector<FragRef> due;
    const RegistryLock lock;
    if (reclaims)
        g_reclaims.take_due(now, &current_reclaim, due);
    else
        g_timers.take_due(now, &current_timer, due);
    // A transfer entered again after a lost deadline may come up twice.
    std::sort(due.begin(), due.end(), [](const FragRef &a, const FragRef &b) { return a.get() < b.get(); });
    due.erase(std::unique(due.begin(), due.end(), [](const FragRef &a, const FragRef &b) { return a.get() == b.get(); }),
              due.end());
    if (!reclaims)
        for (FragRef &f : due)
            f->timer_set = false;
    return due;
}

// Enters a transfer in a heap (under the registry's lock).
void schedule(engine::Deadlines<FragRef> &heap, uint32_t at, n_frag *f) REQUIRES(frag_mutex())
{
    f->refs.fetch_add(1, std::memory_order_relaxed);
    FragRef ref(f);
    heap.push(at, std::move(ref));
}

// Sets a transfer's deadline (called with the transfer's lock); the entry
// it had goes stale.
void set_deadline(n_frag *f, uint32_t at) REQUIRES(f->mu)
{
    const RegistryLock lock;
    if (!f->registered.load(std::memory_order_relaxed))
        return;
    if (f->timer_set && f->timer_at == at)
        return;
    f->timer_set = true;
    f->timer_at = at;
    try {
        schedule(g_timers, at, f);
    } catch (const std::bad_alloc &) {
        g_unscheduled = true;
    }
}

bool unscheduled()
{
    const RegistryLock lock;
    return g_unscheduled;
}

// After deadlines were lost for want of memory: enters every transfer's
// own deadline, and every ended one's reclaim, again. False while memory
// is still short.
bool reschedule()
{
    try {
        const std::vector<FragRef> all = frag_snapshot();
        const RegistryLock lock;
        for (const FragRef &f : all) {
            if (!f->registered.load(std::memory_order_relaxed))
                continue;
            if (frag_state(f.get()) == FRAG_ACTIVE && f->timer_set)
                schedule(g_timers, f->timer_at, f.get());
            else if (frag_state(f.get()) != FRAG_ACTIVE)
                schedule(g_reclaims, f->ended + kReclaimMs + 1, f.get());
        }
        g_unscheduled = false;
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// Serves what is due with the timeout of the socket being read;
// milliseconds until the next deadline (0: now), or -1 when none waits.
// Each transfer is served under its own lock, none under the registry's.
//
// Giving up waits until what is already waiting has been read (`drained`):
// a receiver that was descheduled for a while must not abort a transfer
// whose parts, or a sender one whose acknowledgement, sit unread in its
// queue. Resends need no such care.
int serve_due(socket_record *reader, bool drained)
{
    const uint32_t timeout = socket_timeout_ms(reader);
    const uint32_t now = n_util_getmstime();
    if (unscheduled() && !reschedule())
        return kRescheduleMs;
    for (const FragRef &f : due_transfers(now, true)) {
        const FragLock lock(f.get());
        const bool done_with = frag_state(f.get()) == FRAG_ABORTED ||
                               (frag_state(f.get()) == FRAG_FINISHED && frag_receiving(f.get()) && f->taken.load());
        if (lock.live && done_with)
            frag_unregister(f.get());
    }
    for (const FragRef &f : due_transfers(now, false)) {
        const FragLock lock(f.get());
        if (!lock.live)
            continue;
        const int64_t left = serve_timer(f.get(), timeout, now, true, drained);
        if (left >= 0)
            set_deadline(f.get(), now + static_cast<uint32_t>(std::min<int64_t>(left, INT32_MAX)));
    }
    return next_deadline();
}

}  // namespace

namespace nimbet {

int next_deadline()
{
    uint32_t at = 0;
    const RegistryLock lock;
    if (g_unscheduled)
        return kRescheduleMs;
    if (!g_timers.earliest(at, &current_timer))
        return -1;
    return engine::ms_until(n_util_getmstime(), at);
}

void frag_timer_moved(n_frag *f)
{
    uint64_t wait = 0;
    if (f->channel == nullptr || !timer_wait(f, socket_timeout_ms(f->channel), wait))
        return;
    const uint32_t from = f->last_time;
    set_deadline(f, from + static_cast<uint32_t>(earliest(static_cast<int64_t>(std::min<uint64_t>(wait + 1, INT32_MAX)), f, from)));
}

void frag_socket_settings_changed(socket_record *rec)
{
    for (const FragRef &f : frag_snapshot()) {
        const FragLock lock(f.get());
        if (lock.live && f->channel == rec)
            frag_timer_moved(f.get());
    }
}

void frag_reclaim_later(n_frag *f)
{
    const RegistryLock lock;
    if (!f->registered.load(std::memory_order_relaxed))
        return;
    try {
        schedule(g_reclaims, f->ended + kReclaimMs + 1, f);
    } catch (const std::bad_alloc &) {
        g_unscheduled = true;
    }
}

}  // namespace

namespace nimbet {

GlobalLock &frag_mutex() { return g_mu; }

// Frees a record nobody references any more, with everything it holds.
// (Nobody else can reach it, so its lock is not taken.)
void frag_free(n_frag *f) NO_THREAD_SAFETY_ANALYSIS
{
    frag_release_data(f);
    drop_channel(f);
    std::free(f->sink_path);
    std::free(f->part_path);
    delete f;
}

FragRef frag_acquire(const unsigned char *id)
{
    const RegistryLock lock;
    auto it = g_index.find(NodeKey::of(id));
    if (it == g_index.end())
        return {};
    it->second->refs.fetch_add(1, std::memory_order_relaxed);
    return FragRef(it->second);
}

std::vector<FragRef> frag_snapshot()
{
    std::vector<FragRef> all;
    const RegistryLock lock;
    all.reserve(g_index.size());
    for (n_frag *f : FragQueue::each(g_registry)) {
        f->refs.fetch_add(1, std::memory_order_relaxed);
        all.emplace_back(f);
    }
    return all;
}

// (The analysis cannot follow a lock handed to the caller with the record.)
FragRef frag_new(socket_record *rec, const unsigned char *id, const unsigned char *type, bool receiving)
    NO_THREAD_SAFETY_ANALYSIS
{
    auto *f = new (std::nothrow) n_frag{};
    if (f == nullptr)
        return fail(kNoMem), FragRef();
    std::memcpy(f->id, id, kIdLen);
    f->data_type[0] = type[0];
    f->data_type[1] = type[1];
    f->status = receiving ? FRAG_RECEIVING : 0;
    f->socket = rec->fd;
    f->channel = rec;
    f->channel_serial.store(rec->serial, std::memory_order_relaxed);
    rec->refs.fetch_add(1, std::memory_order_relaxed);  // the record keeps its socket until drop_channel
    f->retries = socket_retry(rec);
    f->last_time = n_util_getmstime();
    f->file = -1;
    chunk_stack_init(f->frag_obstack);
    f->mu.lock();  // nobody else can know it yet
    f->holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return FragRef(f);
}

void frag_unlock(n_frag *f)
{
    f->holder.store(std::thread::id(), std::memory_order_relaxed);
    f->mu.unlock();
}

bool frag_publish(n_frag *f, bool front, n_frag *replacing)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
    // (The new record is known to nobody yet, so holding its lock while
    // waiting for the old one's cannot close a cycle.)
    std::optional<FragLock> replaced;
    if (replacing != nullptr) {
        replaced.emplace(replacing);
        if (!replaced->live)
            replacing = nullptr;
    }
    const RegistryLock lock;
    auto it = g_index.find(NodeKey::of(f->id));
    n_frag *old = it != g_index.end() ? it->second : nullptr;
    if (old != replacing)
        return false;
    // The index entry is made before anything changes: when memory runs out
    // there (std::bad_alloc), the registry is as it was.
    if (old == nullptr) {
        it = g_index.emplace(NodeKey::of(f->id), nullptr).first;
    } else {
        N_ASSERT(frag_held(old), "frag_held(old)");
        FragQueue::remove(g_registry, old);
        old->registered.store(false, std::memory_order_release);
        FragRef(old).reset();  // the registry's reference (the caller holds its own)
    }
    if (front)
        FragQueue::insert_head(g_registry, f);
    else
        FragQueue::insert_tail(g_registry, f);
    it->second = f;
    f->refs.fetch_add(1, std::memory_order_relaxed);
    f->registered.store(true, std::memory_order_release);
    return true;
}

bool frag_registry_whole()
{
    const RegistryLock lock;
    std::size_t listed = 0;
    for (n_frag *f : FragQueue::each(g_registry)) {
        const auto it = g_index.find(NodeKey::of(f->id));
        if (it == g_index.end() || it->second != f || !f->registered.load(std::memory_order_relaxed))
            return false;
        ++listed;
    }
    return listed == g_index.size();
}

void frag_unregister(n_frag *f)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
    const RegistryLock lock;
    if (!f->registered.load(std::memory_order_relaxed))
        return;
    FragQueue::remove(g_registry, f);
    g_index.erase(NodeKey::of(f->id));
    f->registered.store(false, std::memory_order_release);
    // The caller holds a reference of its own: this is never the last one.
    f->refs.fetch_sub(1, std::memory_order_acq_rel);
}

void frag_release_data(n_frag *f)
{
    std::free(f->frag_data);
    f->frag_data = nullptr;
    std::free(f->window);
    f->window = nullptr;
    f->window_len = 0;
    chunk_stack_release(f->frag_obstack);
    if (f->file >= 0) {
        ::close(f->file);
        f->file = -1;
    }
}

void frag_abort(n_frag *f, const char *reason)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
    const bool unfinished = frag_state(f) == FRAG_ACTIVE;
    if (frag_receiving(f) && unfinished)
        ended_remember(f);
    if (frag_receiving(f) && unfinished && f->sink_path != nullptr)
        sink_discard(f);
    frag_release_data(f);
    set_state(f, FRAG_ABORTED);
    f->ended = n_util_getmstime();
    frag_reclaim_later(f);
    if (socket_record *rec = f->channel) {
        if (unfinished)
            count(rec->stats.transfers_aborted);
        if (unfinished)
            queue_transfer_event(rec, N_EVENT_TRANSFER_ABORTED, f->id, frag_receiving(f), f->data_type, -1, reason);
        trace_emit(N_TRACE_TRANSFER_ABORTED, rec->fd, nullptr, 0, nullptr, reason);
    }
}

void frag_finish(n_frag *f)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
    if (frag_receiving(f))
        ended_remember(f);
    set_state(f, FRAG_FINISHED);
    f->ended = n_util_getmstime();
    if (socket_record *rec = f->channel) {
        count(rec->stats.transfers_finished);
        queue_transfer_event(rec, N_EVENT_TRANSFER_FINISHED, f->id, frag_receiving(f), f->data_type, f->total_len,
                             nullptr);
        trace_emit(N_TRACE_TRANSFER_FINISHED, rec->fd, nullptr, 0, nullptr);
    }
}

bool frag_view_of_packet(n_pkt *pkt, unsigned char (&buf)[kMaxFrame], FrameView &view)
{
    const std::size_t size = frame_size(pkt);
    if (size > kMaxFrame || n_acl_first(pkt) == nullptr)
        return false;
    // The frame as this library writes it, format 2 whatever the packet says.
    if (!serialise_packet(pkt, {buf, size}, kFrameFormat))
        return false;
    return view_frame(buf, size, view) == Reject::None;
}

int frag_serve_timers(socket_record *reader, bool drained) { return serve_due(reader, drained); }

int frag_next_timer(socket_record *) { return next_deadline(); }

bool frag_socket_gone(n_frag *f)
{
    if (f->channel == nullptr || !f->channel->closed.load(std::memory_order_seq_cst))
        return false;
    frag_abort(f, "socket closed");
    drop_channel(f);
    return true;
}

// (The fork handler holds the registry: the analysis cannot see it taken.)
void transfers_after_fork() NO_THREAD_SAFETY_ANALYSIS
{
    // In the child, with the registry held by this thread: a transfer's lock
    // may have been held by a thread that the child does not have.
    for (n_frag *f : FragQueue::each(g_registry)) {
        new (&f->mu) Mutex();
        f->holder.store(std::thread::id(), std::memory_order_relaxed);
    }
    nonces_after_fork();
}

void frag_socket_closed(socket_record *rec)
{
    std::vector<FragRef> all;
    try {
        all = frag_snapshot();
    } catch (const std::bad_alloc &) {
        let_go_of_closed_one_by_one(rec);
    }
    for (const FragRef &f : all) {
        const FragLock lock(f.get());
        let_go_of_closed(f.get(), rec);
    }
    sinks_socket_closed(rec->serial);
}

}  // namespace nimbet

extern "C" {

// The record itself, for callers of one thread: another thread's deletion
// (or the timers' reclaim) may free it at any time. Threads use the
// copying functions (n_frag_get_progress, n_frag_copy_data).
n_frag *n_frag_get_frag(const unsigned char *id)
try {
    if (id == nullptr)
        return fail_null<n_frag>(kInval);
    const RegistryLock lock;
    auto it = g_index.find(NodeKey::of(id));
    return it != g_index.end() ? it->second : fail_null<n_frag>(kNotFound);
} catch (...) {
    return failed_by_exception(n_frag_get_frag);
}

int n_frag_abort(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        frag_abort(f, "aborted by the application");
        return 1;
    });
} catch (...) {
    return failed_by_exception(n_frag_abort);
}

int n_frag_delete(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        if (frag_state(f) == FRAG_ACTIVE)
            return fail(kProto);
        frag_unregister(f);
        return 1;
    });
} catch (...) {
    return failed_by_exception(n_frag_delete);
}

int n_frag_get_status(const unsigned char *id, int mask)
try {
    return with_frag(id, [mask](n_frag *f) { return f->status & (mask & 0xffff); });
} catch (...) {
    return failed_by_exception(n_frag_get_status);
}

// Lengths from 2 GiB up do not fit an int result; they read as the largest
// int, never as a failure (n_frag_get_progress has them whole).
int n_frag_get_data_length(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        return clamp_to_int(f->total_len);
    });
} catch (...) {
    return failed_by_exception(n_frag_get_data_length);
}

int n_frag_get_data(const unsigned char *id, unsigned char **out)
try {
    if (out == nullptr)
        return fail(kInval);
    return with_frag(id, [out](n_frag *f) {
        frag_assert_held(f);
        *out = const_cast<unsigned char *>(joined_data(f));
        mark_taken(f);
        return clamp_to_int(f->total_len);
    });
} catch (...) {
    return failed_by_exception(n_frag_get_data);
}

int64_t n_frag_copy_data(const unsigned char *id, unsigned char *buf, size_t size)
try {
    if (buf == nullptr && size != 0)
        return fail(kInval);
    return with_frag(id, [buf, size](n_frag *f) -> int64_t {
        frag_assert_held(f);
        if (const unsigned char *data = joined_data(f); data != nullptr && size != 0)
            std::memcpy(buf, data, f->total_len < size ? f->total_len : size);
        if (size >= f->total_len)
            mark_taken(f);
        return f->total_len;
    });
} catch (...) {
    return failed_by_exception(n_frag_copy_data);
}

int n_frag_get_progress(const unsigned char *id, int64_t *done, int64_t *total)
try {
    return with_frag(id, [done, total](n_frag *f) {
        frag_assert_held(f);
        int64_t known_total = f->total_len;
        if (frag_receiving(f) && frag_state(f) != FRAG_FINISHED)
            known_total = f->described ? static_cast<int64_t>(f->expected_total) : -1;
        if (done != nullptr)
            *done = f->done_len;
        if (total != nullptr)
            *total = known_total;
        return static_cast<int>(f->status);
    });
} catch (...) {
    return failed_by_exception(n_frag_get_progress);
}

int n_describe_frag(const unsigned char *id)
try {
    FragRef f = id != nullptr ? frag_acquire(id) : FragRef();
    if (!f)
        return std::printf("No Fragmentation registered\n");
    const FragLock lock(f.get());
    std::printf("Fragmentation with ID %u", id[0]);
    for (std::size_t i = 1; i < kIdLen; ++i)
        std::printf(".%u", id[i]);
    std::printf(" sending on socket %d \n", f->socket);
    std::printf(frag_receiving(f.get()) ? "RECIEVING Fragmentation in state " : "SENDING Fragmentation in state ");
    std::printf("%s", kStateNames[frag_state(f.get())]);
    std::printf("Last packet with %u byte data was %u ms ago, %u possible retries\n", f->part_len,
                n_util_getmstime() - f->last_time, static_cast<unsigned>(f->retries));
    std::printf("Lenght of the complete File: %u (is always 0 if we are receiver of a non-finished frag),\n"
                " %u Bytes have already been send/received\n",
                f->total_len, f->done_len);
    return std::printf("File will be stored at %lu\n\n",
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(f->frag_data)));
} catch (...) {
    return failed_by_exception(n_describe_frag);
}

}  // extern "C"
