// SPDX-License-Identifier: MIT
// The fragmentation record and what the rest of the library asks of the fragment state machine.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "_obstack.h"
#include "ack.h"
#include "engine/events.h"
#include "frame.h"
#include "internal.h"
#include "rtt.h"
#include "socket.h"
#include "engine/receive.h"
#include "engine/window.h"
#include "held.h"
#include "trace.h"

namespace nimbet {

using engine::PartSummary;

/*
 * A transfer's window, once its receiver accepted one: the sender keeps up
 * to `limit` parts in flight, each acknowledged by its part index; the
 * receiver holds parts that arrive ahead of their turn until the parts
 * before them are in. Both rings are indexed by part index modulo their
 * size: no two parts in flight (or held) share a slot.
 */
struct SentPart {
    uint32_t first_sent, last_sent;  // n_util_getmstime() of its first and latest transmission
    uint32_t sends;
    bool acked;
    uint64_t tx;                     // the number of its latest transmission among the transfer's
    uint32_t later_acks;             // acknowledgements of parts sent after its latest transmission
    bool waiting = false;            // overdue when the timer ran out: out of the pipe until it goes again
};

struct SendWindow {
    nimbet::engine::WindowPace pace;  // how many parts may fly (engine/window.h)
    uint64_t base;       // the first part not acknowledged (the transfer's part_index)
    uint64_t next;       // the first part never sent
    uint64_t tx;         // transmissions of parts so far, resends included
    uint32_t waiting;    // parts waiting to go again after the timer ran out
    SentPart slots[kMaxTransferWindow];
};

struct HeldPart {
    bool held;
    uint8_t seq;
    uint32_t index;
    uint32_t crc;
    unsigned char data[FRAG_PART_SIZE];
};

struct RecvWindow {
    uint32_t size;                     // the accepted window
    std::vector<HeldPart> held;        // parts ahead of their turn
    std::vector<PartSummary> recent;   // the last `size` parts stored, for acknowledging them again
    nimbet::engine::AckPace acks;      // which acknowledgements wait (engine/window.h)
    PartSummary owed_part{};           // the latest part whose acknowledgement waits,
    KeptRequest owed_req;              // and its request
};

// The transfer registry's lock (frag.cpp).
GlobalLock &frag_mutex();

}  // namespace nimbet

/*
 * One side of a fragmented transfer, named by the peer's identifier. A sender
 * sends one part at a time from its copy of the data (frag_data) or from a
 * file; a receiver collects parts in the chunk stack (or writes them to a
 * file) and joins them when the last part arrives.
 *
 * The fields up to `link` are those every fragmentation has always had;
 * everything after them keeps a transfer honest under loss, duplication,
 * restarts and hostile peers, and keeps it alive while it is used.
 *
 * Ownership: counted references (FragRef). The registry holds one from
 * registration until n_frag_delete, a replacement or the timers' reclaim
 * unregister it; every call working on the record holds one; the last one
 * frees it with everything it holds.
 *
 * Locking (the one place that says it; see also socket.h):
 *   frag_mutex   the registry (list, index, `registered`), the transfers
 *                remembered per peer, the files arranged for transfers.
 *                Held for table work only: never across I/O, never while
 *                taking a transfer's lock.
 *   f->mu        every field of one transfer. Held across that transfer's
 *                own sends and file reads and writes, and while taking
 *                frag_mutex or a socket's lock; never while taking another
 *                transfer's lock (a record not yet registered excepted).
 *   order        f->mu, then frag_mutex, then a socket's mu.
 * status, last_time and the part count are atomics as well, so that a
 * table walk may weigh transfers without their locks. Trace events raised
 * while any of these locks is held reach the hook once the thread holds
 * none (trace.h).
 */
struct n_frag {
    unsigned char id[8];
    std::atomic<uint16_t> status;       // FRAG_ state and FRAG_RECEIVING
    uint32_t total_len GUARDED_BY(mu);  // sender: whole data; receiver: 0 until finished
    uint32_t done_len GUARDED_BY(mu);   // sender: acknowledged bytes; receiver: stored bytes
    uint8_t part_len GUARDED_BY(mu);    // sender: bytes of the part in flight, 0 between parts
    // descriptor used for parts (sender) or acknowledgements (receiver)
    int32_t socket GUARDED_BY(mu);
    // Sender: transmissions of the part in flight still allowed. Receiver:
    // how many (timeout + 13) ms periods it waits for the next part.
    int32_t retries GUARDED_BY(mu);
    std::atomic<uint32_t> last_time;  // n_util_getmstime() of the last part sent or stored
    // parts acknowledged / stored, modulo 256; the "CAC" sequence byte
    uint8_t part_no GUARDED_BY(mu);
    unsigned char data_type[2] GUARDED_BY(mu);
    unsigned char *frag_data GUARDED_BY(mu);
    nimbet::chunk_stack frag_obstack GUARDED_BY(mu);
    nimbet::TqLink<n_frag> link GUARDED_BY(nimbet::frag_mutex());

    nimbet::Mutex mu;
    std::atomic<std::thread::id> holder{};  // the thread that holds mu, if any (frag_held)
    std::atomic<int> refs{1};
    std::atomic<bool> registered{false};
    // The socket behind `socket`, referenced; null once it is closed.
    nimbet::socket_record *channel GUARDED_BY(mu);
    std::atomic<uint64_t> channel_serial{0};  // its serial while it is held (read without the lock), else 0
    // Receiver: serial of the socket it arrived on, and when it started. Set
    // before it is registered and never after: read without the lock.
    uint64_t arrival;
    std::atomic<uint64_t> part_index;  // parts acknowledged (sender) or stored (receiver), not wrapped
    bool described GUARDED_BY(mu);     // the transfer carries a descriptor (nonce, length, CRC-32)
    uint32_t nonce GUARDED_BY(mu);
    uint32_t expected_total GUARDED_BY(mu);  // receiver: the length the descriptor announced
    uint32_t max_bytes GUARDED_BY(mu);       // receiver: the most it may store (its socket's limit)
    uint32_t crc GUARDED_BY(mu);             // CRC-32 of the bytes sent or stored so far
    // When the transfer finished or was aborted; atomic, for the registry's
    // walk that enters reclaims again after memory ran out.
    std::atomic<uint32_t> ended{0};
    // Sender: the bytes of the part in flight, and where new parts come from.
    unsigned char part[FRAG_PART_SIZE] GUARDED_BY(mu);
    // Sender: with `adaptive`, a part is resent after the peer's measured
    // round trip (rtt) instead of after `timeout`, and given up only once
    // `budget` ms (retry x timeout) passed since its first transmission.
    bool adaptive GUARDED_BY(mu);
    nimbet::RttEstimator rtt GUARDED_BY(mu);
    uint32_t part_first_sent GUARDED_BY(mu);
    uint32_t part_sends GUARDED_BY(mu);  // transmissions of the part in flight
    uint32_t budget GUARDED_BY(mu);
    int file GUARDED_BY(mu);  // file descriptor of a file being sent or written, -1 for none
    // A file is read ahead (sender) or written behind (receiver) in blocks
    // of kFileWindow bytes: `window_len` bytes at file offset `window_pos`.
    unsigned char *window GUARDED_BY(mu);
    uint32_t window_pos GUARDED_BY(mu), window_len GUARDED_BY(mu);
    char *sink_path GUARDED_BY(mu);    // receiver writing to a file: the path it becomes when complete
    char *part_path GUARDED_BY(mu);    // receiver writing to a file: the file it writes while it runs
    bool keep_partial GUARDED_BY(mu);  // an aborted file keeps what was received, as the target
    // Receiver: the application took the finished data (read or copied
    // them, or they went to a file). Until then a finished transfer is kept
    // and its peer's next transfer refused; afterwards it is let go.
    std::atomic<bool> taken{false};
    // Receiver: the last part stored; when anything of this transfer was
    // last heard (a part stored, repeated or out of turn).
    nimbet::PartSummary last GUARDED_BY(mu);
    uint32_t heard GUARDED_BY(mu);
    uint32_t started;
    // Receiver: the first part of a new transfer from the same peer that
    // keeps arriving while this one is under way (its sender restarted?).
    uint32_t rival GUARDED_BY(mu);  // its nonce, or the CRC-32 of its bytes without a descriptor
    uint32_t rival_since GUARDED_BY(mu);
    uint32_t rival_seen GUARDED_BY(mu);  // sightings, 0 for none
    // Its deadline in the timers' heap (under frag_mutex): when it can next
    // change anything, at the earliest.
    bool timer_set GUARDED_BY(nimbet::frag_mutex());
    uint32_t timer_at GUARDED_BY(nimbet::frag_mutex());
    // The most parts in flight this transfer offered (sender) or accepted
    // (receiver); 1: one at a time. The window's state once agreed.
    uint8_t window_size GUARDED_BY(mu);
    std::unique_ptr<nimbet::SendWindow> send_window GUARDED_BY(mu);
    std::unique_ptr<nimbet::RecvWindow> recv_window GUARDED_BY(mu);
};

namespace nimbet {

using FragQueue = TailQueue<&n_frag::link>;

inline constexpr uint32_t kFileWindow = 64 * 1024;

// ------------------------------------------------------------------ used by the rest of the library

// A fragment addressed to the socket `arrival` (which has SOCKET_FRAG):
// starts, continues or ignores a receiving transfer; acknowledgements go out
// through `reply`. True when the part was acknowledged.
bool frag_on_fragment(socket_record *arrival, socket_record *reply, const FrameView &view);

// Sends the acknowledgement that receiving transfer f owes, if its time
// has come.
void frag_send_owed_ack(n_frag *f, uint32_t now) REQUIRES(f->mu);

// An acknowledgement of a fragment, received on `rec`.
void frag_on_ack(socket_record *rec, const FrameView &view);

// Retransmits overdue parts, aborts transfers that ran out of retries or
// heard nothing for too long, reclaims aborted receivers nobody deleted.
// Runs with the timeout of `reader`, the socket being read. Returns what
// frag_next_timer would return afterwards. Giving up on a transfer waits
// until `drained` says that the reader's queue was just found empty: parts
// and acknowledgements that are waiting are read first.
int frag_serve_timers(socket_record *reader, bool drained);

// Milliseconds until frag_serve_timers(reader) can next change anything (0
// when due now), or -1 when no transfer waits on a timer.
int frag_next_timer(socket_record *reader);

// A transfer was active (a part sent or stored): its deadline is weighed
// again. Called with the transfer's lock.
void frag_timer_moved(n_frag *f) REQUIRES(f->mu);
// The socket's retry settings changed: the deadlines of its transfers are
// weighed again. Takes the transfers' locks: called with none held.
void frag_socket_settings_changed(socket_record *rec);
// An ended transfer is let go kReclaimMs after its end unless deleted
// before. Called with the transfer's lock.
void frag_reclaim_later(n_frag *f) REQUIRES(f->mu);
// Milliseconds until the earliest deadline of any transfer, -1 for none.
int next_deadline();

// The socket is closing: its transfers are aborted and let go of it.
void frag_socket_closed(socket_record *rec);

// Starts a sending transfer of a copy of `len` bytes (or of a file, read
// part by part; the transfer owns the descriptor, also when it is refused)
// and sends its first part through rec. As n_frag_init_send.
int frag_start_send(socket_record *rec, const unsigned char *id, const unsigned char *data, uint32_t len,
                    const unsigned char *type);
int frag_start_send_file(socket_record *rec, const unsigned char *id, int file, uint32_t len,
                         const unsigned char *type);

// ------------------------------------------------------------------ records and the registry

// A counted reference to a fragmentation record; empty for none. The last
// reference frees the record (frag_free): never drop it while holding the
// record's lock (declare the reference before the lock).
void frag_free(n_frag *f);
using FragRef = CountedRef<n_frag, frag_free>;

// The registered fragmentation of a peer, referenced; empty when none.
FragRef frag_acquire(const unsigned char *id);

// Every registered fragmentation in registry order (receivers in front,
// senders behind), referenced.
std::vector<FragRef> frag_snapshot();

// Whether the calling thread holds the transfer's lock (taken with FragLock,
// or by frag_new): what a function that needs it checks.
inline bool frag_held(const n_frag *f)
{
    return f->holder.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// Checks that the calling thread holds the transfer's lock, and tells the
// compiler's lock analysis so where it cannot see the lock taken (a lock
// held by the caller of a callback, one taken on some paths only).
inline void frag_assert_held(const n_frag *f) ASSERT_CAPABILITY(f->mu)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
}

// The same for a transfer that may be absent (null): code that works on
// "the peer's transfer, if any" holds its lock whenever there is one.
inline void frag_assert_held_if_any(const n_frag *f) ASSERT_CAPABILITY(f->mu)
{
    N_ASSERT(f == nullptr || frag_held(f), "f == nullptr || frag_held(f)");
}

// The lock of one transfer, holding trace events back while it is held.
// `live` is false when the record left the registry before the lock was
// taken: it is then only to be let go. A record leaves the registry only
// under its lock, so `live` stays true while the lock is held.
class SCOPED_CAPABILITY FragLock {
public:
    explicit FragLock(n_frag *f) ACQUIRE(f->mu) : f_(f), live(lock_and_check(f)) {}
    // Takes over the lock of a record that frag_new handed over locked.
    FragLock(n_frag *f, std::adopt_lock_t) ACQUIRE(f->mu) : f_(f), live(true) { frag_assert_held(f); }
    ~FragLock() RELEASE()
    {
        f_->holder.store(std::thread::id(), std::memory_order_relaxed);
        f_->mu.unlock();
    }
    FragLock(const FragLock &) = delete;
    FragLock &operator=(const FragLock &) = delete;

private:
    static bool lock_and_check(n_frag *f) ACQUIRE(f->mu)
    {
        f->mu.lock();
        f->holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return f->registered.load(std::memory_order_acquire);
    }

    OutputHold hold_;
    n_frag *f_;

public:
    const bool live;
};

// A new record, referenced by the caller and locked by it (not registered
// yet, so nobody else can wait for it); empty with 12. The caller adopts
// the lock (FragLock with std::adopt_lock) or lets go of it (frag_unlock).
FragRef frag_new(socket_record *rec, const unsigned char *id, const unsigned char *type, bool receiving);
void frag_unlock(n_frag *f) RELEASE(f->mu);
// Registers a new record, which the caller holds locked (the registry takes
// a reference), in place of `replacing` or of nothing. `replacing` leaves
// the registry under its lock, which this takes (the caller must not hold
// it); when it has left already, nothing is replaced. False when another
// record holds the peer's name meanwhile: the caller decides again. Throws
// std::bad_alloc with nothing changed when the index cannot grow.
bool frag_publish(n_frag *f, bool front, n_frag *replacing) REQUIRES(f->mu) EXCLUDES(replacing->mu);
// Takes a record out of the registry (the registry's reference goes; the
// record lives on while others hold one). Called with the record's lock.
void frag_unregister(n_frag *f) REQUIRES(f->mu);

// Whether the registry's list and its index hold the same records, each
// marked registered (for tests).
bool frag_registry_whole();

// Runs fn on the fragmentation of a peer under its lock; -1 with 22 when
// the identifier is null or names none. What every n_frag_ query shares.
template <class Fn>
auto with_frag(const unsigned char *id, Fn fn) -> decltype(fn(static_cast<n_frag *>(nullptr)))
{
    if (id == nullptr)
        return fail(kInval);
    FragRef f = frag_acquire(id);
    if (!f)
        return fail(kInval);
    const FragLock lock(f.get());
    if (!lock.live)
        return fail(kInval);
    return fn(f.get());
}

inline unsigned frag_state(const n_frag *f) { return f->status.load(std::memory_order_relaxed) & FRAG_STATE_MASK; }
inline bool frag_receiving(const n_frag *f)
{
    return (f->status.load(std::memory_order_relaxed) & FRAG_RECEIVING) != 0;
}

// ------------------------------------------------------------------ inside the fragmentation module
// (called with the transfer's lock held; those that change its state check it)

// Releases the data, closes a file (a receiver's unfinished file is
// removed), marks the transfer aborted, counts and reports it.
void frag_abort(n_frag *f, const char *reason) REQUIRES(f->mu);
// Marks the transfer finished, counts and reports it.
void frag_finish(n_frag *f) REQUIRES(f->mu);

// Frees the data and the chunks, closes a file.
void frag_release_data(n_frag *f) REQUIRES(f->mu);

// A transfer registered while its socket was being closed (the close's
// sweep may have missed it): aborted and let go of the socket, true then.
// Called after registering, with the record's lock.
bool frag_socket_gone(n_frag *f) REQUIRES(f->mu);

// Transfers from a peer that ended here (finished or aborted), remembered
// so that late copies of their parts start nothing and the last part stored
// is acknowledged again when its acknowledgement was lost (frag_ended.cpp;
// these take frag_mutex themselves). A receiving transfer reserves its entry
// when it starts (false: the memory is full, the transfer is refused) and
// fills it when it leaves FRAG_ACTIVE; a described one is then remembered
// by nonce for kEndedMemoryMs, a plain one (the newest of each peer) for its
// socket's resend window. At most kEndedTransfers of each kind.
inline constexpr std::size_t kEndedTransfers = 32768;
inline constexpr uint32_t kEndedMemoryMs = 2u * 60u * 1000u;
bool ended_reserve(const unsigned char *peer, bool described, uint32_t nonce);
void ended_remember(const n_frag *f) REQUIRES(f->mu);
// The last part stored of an ended (or running) transfer with this nonce,
// empty when it stored none; false when none is remembered.
bool ended_by_nonce(const unsigned char *peer, uint32_t nonce, PartSummary &out);
// The last part stored of the peer's newest ended transfer without a
// descriptor; false for none.
bool ended_plain(const unsigned char *peer, PartSummary &out);
std::size_t ended_size();
// Forgets everything remembered (for tests and fuzzing).
void ended_clear();

// The sending side (frag_send.cpp): sends the part in flight again, counting
// a retry.
int sender_resend(n_frag *f) REQUIRES(f->mu);

// The nonce of a new transfer: a receiver of this library tells a new
// transfer from an old one by it, also when the sender restarted. Any
// thread may draw one; no two draws of a process are the same, and a child
// of fork() starts from a seed of its own (nonces_after_fork, from the fork
// handler, makes sure of it where the child has its parent's process id).
uint32_t transfer_nonce();
void nonces_after_fork();

// Received transfers written to files (frag_sink.cpp). sink_take gives a
// new receiver the file arranged for its peer on the socket with this serial,
// if any (false: out of memory). sink_write gathers a part; sink_complete
// writes out the rest and renames the file to its target (false when that
// fails: the file is gone then); sink_discard ends an unfinished file
// (removed, or renamed to the target when it keeps what was received).
// sink_load reads a finished file into frag_data on demand; arrangements for
// a closing socket are dropped; write_data_file is n_frag_get_data_file.
bool sink_take(n_frag *f, uint64_t serial) REQUIRES(f->mu);
bool sink_write(n_frag *f, const unsigned char *data, uint8_t len) REQUIRES(f->mu);
bool sink_complete(n_frag *f) REQUIRES(f->mu);
void sink_discard(n_frag *f) REQUIRES(f->mu);
void sink_load(n_frag *f) REQUIRES(f->mu);
void sinks_socket_closed(uint64_t serial);
int write_data_file(n_frag *f, const char *path) REQUIRES(f->mu);

// Serialises a packet into a frame and reads it back as a view; false when
// the packet does not make a frame of at most kMaxFrame bytes.
bool frag_view_of_packet(n_pkt *pkt, unsigned char (&buf)[kMaxFrame], FrameView &view);

}  // namespace nimbet
