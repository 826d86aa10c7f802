// SPDX-License-Identifier: MIT
// The sending side of a transfer: one part in flight at a time, the next only once that one is acknowledged.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "frag.h"
#include "send.h"
#include "trace.h"

using namespace nimbet;

namespace {

// "CAC" control byte of the part that starts at done_len (the kind shifted
// past the reply bit): kind 1 (control byte 2) while more than one part's
// worth remains, else kind 2 (control byte 4, the last part).
unsigned char part_control(const n_frag *f) REQUIRES(f->mu)
{
    const unsigned kind = (f->total_len - f->done_len > FRAG_PART_SIZE) ? kKindFragment : kKindLastFragment;
    return static_cast<unsigned char>(kind << 1);
}

// A part is in flight from its first transmission to its acknowledgement;
// the whole of an empty transfer is its one empty part.
bool in_flight(const n_frag *f) REQUIRES(f->mu) { return f->part_len != 0 || f->total_len == 0; }

// Where the process is in its sequence of nonces: the position in the low
// 32 bits, and above them the process it was seeded for (0 before the first
// draw). A child of fork() finds its parent's there, and seeds anew rather
// than repeat its parent's nonces.
std::atomic<uint64_t> g_nonces{0};
// Odd, so that the position visits all 2^32 values before it repeats.
constexpr uint32_t kNonceStep = 0x9E3779B9u;

// Reads the file being sent ahead from offset `at`: as much of a window as
// the file still has, at least `need` bytes. Null, or why that failed.
const char *read_ahead(n_frag *f, uint32_t at, uint32_t need) REQUIRES(f->mu)
{
    if (f->window == nullptr && (f->window = static_cast<unsigned char *>(std::malloc(kFileWindow))) == nullptr)
        return "out of memory";
    const uint32_t want = std::min(kFileWindow, f->total_len - at);
    uint32_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(f->file, f->window + got, want - got, static_cast<off_t>(at) + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return "file read error";
        if (n == 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    f->window_pos = at;
    f->window_len = got;
    return got >= need ? nullptr : "file shorter than when the transfer started";
}

// Takes the next part's bytes into f->part: from the copy of the data, or
// from the file being sent. A file that cannot be read aborts the transfer.
bool load_part(n_frag *f) REQUIRES(f->mu)
{
    const uint32_t left = f->total_len - f->done_len;
    f->part_len = static_cast<uint8_t>(left < FRAG_PART_SIZE ? left : FRAG_PART_SIZE);
    if (f->frag_data != nullptr) {
        std::memcpy(f->part, f->frag_data + f->done_len, f->part_len);
    } else if (f->file >= 0 && f->part_len != 0) {
        const bool inside = f->window != nullptr && f->done_len >= f->window_pos &&
                            f->done_len + f->part_len <= f->window_pos + f->window_len;
        if (!inside) {
            if (const char *why = read_ahead(f, f->done_len, f->part_len)) {
                frag_abort(f, why);
                return false;
            }
        }
        std::memcpy(f->part, f->window + (f->done_len - f->window_pos), f->part_len);
    }
    f->crc = crc32_update(f->crc, f->part, f->part_len);
    return true;
}

// Sends the part in flight: the data tuple first (the receiver takes the
// transfer's type from it), then "CAD" naming the peer, then "CAC" with the
// control byte and the part counter; 48 + 11 + 5 bytes fill the 64-byte
// tuple area exactly. Every part of a transfer with a descriptor carries it
// behind the "CAC": the part index always, the length on the first part, the
// CRC-32 on the last.
int send_part(n_frag *f, bool again) REQUIRES(f->mu)
{
    if (f->channel == nullptr)
        return fail(kBadF);
    const unsigned char control = part_control(f);
    const unsigned char cac[2] = {control, f->part_no};
    Outgoing out = prepare(f->channel);
    FrameWriter w(out.stamp.loc, out.stamp.id, out.stamp.seq);
    w.tuple(f->data_type, f->part, f->part_len);
    w.tuple(kTypeCAD, f->id, kIdLen);
    w.tuple(kTypeCAC, cac, 2);
    if (f->described) {
        const auto flags =
            static_cast<uint8_t>(kDescIndex | (f->part_index == 0 ? kDescFirst : 0) | (cac_kind(control) == kKindLastFragment ? kDescLast : 0));
        const Descriptor d{true, flags, f->nonce, f->total_len, f->crc, static_cast<uint32_t>(f->part_index)};
        unsigned char desc[kDescMax];
        w.tuple(kTypeCAT, desc, write_descriptor(d, desc));
    }
    return transmit(f->channel, out, w.finish(), again ? N_TRACE_PART_RESENT : N_TRACE_PART_SENT);
}

// Starts a new part: its bytes, a fresh retry budget, and its transmission.
int start_part(n_frag *f) REQUIRES(f->mu)
{
    if (!load_part(f))
        return fail(kProto);
    f->retries = f->channel != nullptr ? socket_retry(f->channel) : 0;
    const uint64_t budget = uint64_t{static_cast<uint32_t>(f->retries > 0 ? f->retries : 0)} *
                            (f->channel != nullptr ? socket_timeout_ms(f->channel) : 0);
    f->budget = static_cast<uint32_t>(budget < UINT32_MAX / 2 ? budget : UINT32_MAX / 2);
    f->last_time = f->part_first_sent = n_util_getmstime();
    f->part_sends = 1;
    frag_timer_moved(f);
    return send_part(f, false) < 0 ? -1 : 1;
}

// An acknowledgement of the part in flight: a round-trip sample when the
// part went out once (Karn's rule), kept for the next transfers to the peer.
void measure(n_frag *f) REQUIRES(f->mu)
{
    // The peer answers again: the next part waits the estimate, not the
    // doubled one of a part that had to be resent.
    f->rtt.backoff = 0;
    if (!f->adaptive || f->part_sends != 1 || f->channel == nullptr)
        return;
    f->rtt.sample(n_util_getmstime() - f->part_first_sent);
    remember_round_trip(f->channel, f->id, f->rtt);
}

// The part in flight was acknowledged: count it, and finish or go on.
void advance(n_frag *f) REQUIRES(f->mu)
{
    f->done_len += f->part_len;
    f->part_len = 0;
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->part_index += 1;
    if (f->done_len == f->total_len)
        frag_finish(f);
}

// Closes a file that a refused transfer was to send.
int refuse_file(int file, int err)
{
    if (file >= 0)
        ::close(file);
    return fail(err);
}

// Registers a new sending transfer; the data come from `data` (copied) or,
// with a null `data`, from `file`, which the transfer owns in any case.
int start_send(socket_record *rec, const unsigned char *id, const unsigned char *data, int file, uint32_t len,
               const unsigned char *type)
{
    FragRef old = frag_acquire(id);
    if (old) {
        const FragLock lock(old.get());
        if (lock.live && frag_state(old.get()) != FRAG_ABORTED)
            return refuse_file(file, kAccess);
    }
    FragRef f = frag_new(rec, id, type, false);
    if (!f)
        return refuse_file(file, kNoMem);
    const FragLock lock(f.get(), std::adopt_lock);
    if (data != nullptr || file < 0) {
        f->frag_data = static_cast<unsigned char *>(std::malloc(len != 0 ? len : 1));
        if (f->frag_data == nullptr)
            return fail(kNoMem);
        if (len != 0)
            std::memcpy(f->frag_data, data, len);
    } else {
        f->file = file;
    }
    f->total_len = len;
    {
        const ScopedLock slock(rec->mu);
        f->described = rec->transfer_check;
        f->adaptive = rec->adaptive_retry;
    }
    f->rtt = known_round_trip(rec, id);
    f->nonce = transfer_nonce();
    // Another transfer to the same node registered meanwhile wins.
    if (!frag_publish(f.get(), false, old.get()))
        return fail(kAccess);
    count(rec->stats.transfers_started);
    if (frag_socket_gone(f.get()))
        return fail(kBadF);
    // Stays registered when the first part cannot go out: the timers send it
    // again.
    return start_part(f.get());
}

}  // namespace

namespace nimbet {

// Nonces need to differ, not to be secret: the position starts at a seed
// from the system's random source, every draw (from any thread) takes the
// next one, and a bijection of 32 bits mixes it. A process never draws one
// twice in 2^32 transfers.
uint32_t transfer_nonce()
{
    const uint64_t self = static_cast<uint32_t>(::getpid());
    uint64_t state = g_nonces.load(std::memory_order_relaxed);
    uint64_t next = 0;
    do {
        const uint32_t at =
            state >> 32 == self ? static_cast<uint32_t>(state) : static_cast<uint32_t>(system_random());
        next = self << 32 | static_cast<uint32_t>(at + kNonceStep);
    } while (!g_nonces.compare_exchange_weak(state, next, std::memory_order_relaxed));
    auto z = static_cast<uint32_t>(next);
    z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
    z = (z ^ (z >> 13)) * 0xC2B2AE35u;
    return z ^ (z >> 16);
}

void nonces_after_fork() { g_nonces.store(0, std::memory_order_relaxed); }

int sender_resend(n_frag *f)
{
    N_ASSERT(frag_held(f), "frag_held(f)");
    // With adaptive resends, once the retries are spent the budget of time
    // decides when to give up.
    if (f->retries > 0 || !f->adaptive)
        f->retries -= 1;
    f->part_sends += 1;
    f->rtt.timed_out();
    f->last_time = n_util_getmstime();
    frag_timer_moved(f);
    if (f->channel != nullptr)
        count(f->channel->stats.retransmissions);
    return send_part(f, true) < 0 ? -1 : 1;
}

int frag_start_send(socket_record *rec, const unsigned char *id, const unsigned char *data, uint32_t len,
                    const unsigned char *type)
{
    if (id == nullptr || type == nullptr || (data == nullptr && len != 0))
        return fail(kInval);
    static const unsigned char kNone[1] = {0};
    return start_send(rec, id, data != nullptr ? data : kNone, -1, len, type);
}

int frag_start_send_file(socket_record *rec, const unsigned char *id, int file, uint32_t len,
                         const unsigned char *type)
{
    if (id == nullptr || type == nullptr || file < 0)
        return refuse_file(file, kInval);
    return start_send(rec, id, nullptr, file, len, type);
}

void frag_on_ack(socket_record *rec, const FrameView &view)
{
    count(rec->stats.acks_received);
    const unsigned char control = view.cac.data[0];
    const uint8_t seq = view.cac.data[1];
    const Descriptor d = read_descriptor(view);
    FragRef f = frag_acquire(view.srcid());
    std::optional<FragLock> lock;
    if (f)
        lock.emplace(f.get());
    frag_assert_held_if_any(f.get());
    // Acknowledgements advance only our own transfers under way, and only for
    // the part in flight. The acknowledgement of the part before arrives
    // again when a duplicate of it, or of our part, went round: sending the
    // part in flight again for it would echo every duplicate for the rest of
    // the transfer. Lost parts are the timers' to resend.
    const bool ours = f && lock->live && !frag_receiving(f.get()) && frag_state(f.get()) == FRAG_ACTIVE;
    if (!ours || (f->described && d.present && d.nonce != f->nonce)) {
        count(rec->stats.stray_fragments);
        trace_emit(N_TRACE_IGNORED, rec->fd, view.bytes, view.len, view.from, "acknowledgement of no transfer");
        return;
    }
    const bool stale = f->described && d.has(kDescIndex) && d.index != f->part_index;
    if (!in_flight(f.get()) || stale || seq != f->part_no || (control & ~kCacReply) != part_control(f.get())) {
        count(rec->stats.duplicates);
        trace_emit(N_TRACE_DUPLICATE, rec->fd, view.bytes, view.len, view.from);
        return;
    }
    trace_emit(N_TRACE_ACK_RECEIVED, rec->fd, view.bytes, view.len, view.from);
    measure(f.get());
    advance(f.get());
    if (frag_state(f.get()) == FRAG_ACTIVE)
        start_part(f.get());
}

}  // namespace nimbet

extern "C" {

int n_frag_init_send(int fd, const unsigned char *id, const unsigned char *data, uint32_t len,
                     const unsigned char *type)
try {
    if (id == nullptr || type == nullptr || (data == nullptr && len != 0))
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec) {
        // A registered transfer is reported first, as the record would be
        // refused before the socket is ever needed.
        FragRef old = frag_acquire(id);
        if (!old)
            return fail(kInval);
        const FragLock lock(old.get());
        return fail(lock.live && frag_state(old.get()) != FRAG_ABORTED ? kAccess : kInval);
    }
    return frag_start_send(rec.get(), id, data, len, type);
} catch (...) {
    return failed_by_exception(n_frag_init_send);
}

int n_frag_next_part(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        if (frag_receiving(f))
            return fail(kProto);  // a receiving fragmentation sends no parts
        if (frag_state(f) == FRAG_ABORTED)
            return fail(kProto);  // its data are gone: nothing to send
        if (frag_state(f) == FRAG_FINISHED)
            return 1;
        return in_flight(f) ? sender_resend(f) : start_part(f);
    });
} catch (...) {
    return failed_by_exception(n_frag_next_part);
}

int n_frag_acked(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        // Only a transfer under way advances: an acknowledgement can neither
        // revive an aborted transfer nor touch a receiving one.
        if (frag_receiving(f) || frag_state(f) != FRAG_ACTIVE)
            return fail(kProto);
        advance(f);
        return 1;
    });
} catch (...) {
    return failed_by_exception(n_frag_acked);
}

}  // extern "C"
