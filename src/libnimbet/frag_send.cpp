// SPDX-License-Identifier: MIT
// The sending side of a transfer: one part in flight at a time, or a window of them once the receiver accepted one.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
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

// Copies the bytes of the part at byte offset `at` into out, from the copy
// of the data or from the file being sent; its length, or -1 when the file
// cannot be read (the transfer is aborted then).
int part_bytes(n_frag *f, uint32_t at, unsigned char *out) REQUIRES(f->mu)
{
    const uint32_t left = f->total_len - at;
    const auto len = static_cast<uint8_t>(left < FRAG_PART_SIZE ? left : FRAG_PART_SIZE);
    if (f->frag_data != nullptr) {
        std::memcpy(out, f->frag_data + at, len);
    } else if (f->file >= 0 && len != 0) {
        const bool inside =
            f->window != nullptr && at >= f->window_pos && uint64_t{at} + len <= uint64_t{f->window_pos} + f->window_len;
        if (!inside) {
            if (const char *why = read_ahead(f, at, len)) {
                frag_abort(f, why);
                return -1;
            }
        }
        std::memcpy(out, f->window + (at - f->window_pos), len);
    }
    return len;
}

// Takes the next part's bytes into f->part. A file that cannot be read
// aborts the transfer.
bool load_part(n_frag *f) REQUIRES(f->mu)
{
    const int len = part_bytes(f, f->done_len, f->part);
    if (len < 0)
        return false;
    f->part_len = static_cast<uint8_t>(len);
    f->crc = crc32_update(f->crc, f->part, f->part_len);
    return true;
}

// One part as it goes out.
struct PartOut {
    uint64_t index;
    uint8_t seq;
    unsigned char control;
    const unsigned char *data;
    uint8_t len;
};

// Sends a part: the data tuple first (the receiver takes the transfer's type
// from it), then "CAD" naming the peer, then "CAC" with the control byte and
// the part counter; 48 + 11 + 5 bytes fill the 64-byte tuple area exactly.
// Every part of a transfer with a descriptor carries it behind the "CAC":
// the part index always, the length (and the window offered, if any) on the
// first part, the CRC-32 on the last.
int send_frame(n_frag *f, const PartOut &p, bool again) REQUIRES(f->mu)
{
    if (f->channel == nullptr)
        return fail(kBadF);
    const unsigned char cac[2] = {p.control, p.seq};
    Outgoing out = prepare(f->channel);
    FrameWriter w(out.stamp.loc, out.stamp.id, out.stamp.seq);
    w.tuple(f->data_type, p.data, p.len);
    w.tuple(kTypeCAD, f->id, kIdLen);
    w.tuple(kTypeCAC, cac, 2);
    if (f->described) {
        const bool first = p.index == 0;
        const auto flags = static_cast<uint8_t>(kDescIndex | (first ? kDescFirst : 0) |
                                                (cac_kind(p.control) == kKindLastFragment ? kDescLast : 0) |
                                                (first && f->window_size > 1 ? kDescWindow : 0));
        const Descriptor d{true, flags, f->nonce, f->total_len, f->crc, static_cast<uint32_t>(p.index), f->window_size};
        unsigned char desc[kDescMax];
        w.tuple(kTypeCAT, desc, write_descriptor(d, desc));
    }
    return transmit(f->channel, out, w.finish(), again ? N_TRACE_PART_RESENT : N_TRACE_PART_SENT);
}

// Sends the part in flight of a transfer that sends one part at a time.
int send_part(n_frag *f, bool again) REQUIRES(f->mu)
{
    return send_frame(f, {f->part_index, f->part_no, part_control(f), f->part, f->part_len}, again);
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

// ------------------------------------------------------------------ the window

using engine::WindowPace;

uint64_t part_count(const n_frag *f) REQUIRES(f->mu)
{
    return f->total_len == 0 ? 1 : (uint64_t{f->total_len} + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE;
}

unsigned char window_control(const n_frag *f, uint64_t index) REQUIRES(f->mu)
{
    return static_cast<unsigned char>((index + 1 < part_count(f) ? kKindFragment : kKindLastFragment) << 1);
}

SentPart &sent(SendWindow &w, uint64_t index) { return w.slots[index % kMaxTransferWindow]; }

uint8_t part_length(const n_frag *f, uint64_t index) REQUIRES(f->mu)
{
    const uint64_t left = f->total_len - index * FRAG_PART_SIZE;
    return static_cast<uint8_t>(left < FRAG_PART_SIZE ? left : FRAG_PART_SIZE);
}

// Sends part `index` of a windowed transfer, for the first time or again.
// A part's bytes enter the CRC-32 when it first goes out: parts first go
// out in order, and the last one last.
int window_send(n_frag *f, uint64_t index, bool again) REQUIRES(f->mu)
{
    unsigned char data[FRAG_PART_SIZE];
    const int len = part_bytes(f, static_cast<uint32_t>(index * FRAG_PART_SIZE), data);
    if (len < 0)
        return -1;
    SentPart &s = sent(*f->send_window, index);
    const uint32_t now = n_util_getmstime();
    SendWindow &w = *f->send_window;
    if (again) {
        s.last_sent = now;
        s.sends += 1;
        s.later_acks = 0;
        s.tx = ++w.tx;
        if (s.waiting) {
            s.waiting = false;
            w.waiting -= 1;
            w.pace.sent_new();
        }
        if (f->channel != nullptr)
            count(f->channel->stats.retransmissions);
    } else {
        f->crc = crc32_update(f->crc, data, static_cast<std::size_t>(len));
        s = SentPart{now, now, 1, false, ++w.tx, 0, false};
        w.pace.sent_new();
    }
    const PartOut p{index, static_cast<uint8_t>(index), window_control(f, index), data, static_cast<uint8_t>(len)};
    return send_frame(f, p, again) < 0 ? -1 : 1;
}

// The timer of a windowed transfer runs from the earliest transmission of
// a part not acknowledged; its give-up rule is that of the first of them.
void window_rearm(n_frag *f) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    bool any = false;
    uint32_t earliest = 0;
    for (uint64_t i = w.base; i < w.next; ++i) {
        const SentPart &s = sent(w, i);
        if (s.acked || s.waiting)
            continue;
        if (!any || static_cast<int32_t>(s.last_sent - earliest) < 0)
            earliest = s.last_sent;
        any = true;
    }
    if (any)
        f->last_time = earliest;
    frag_timer_moved(f);
}

// Sends new parts while the window has room (engine/window.h), after the
// parts overdue when the timer ran out; -1 when one of those could not go.
// The last part waits until every other one is acknowledged: its
// acknowledgement says the whole data arrived and matched, so the receiver
// takes it only in its turn.
int window_fill(n_frag *f) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    // Parts overdue when the timer ran out go first.
    int result = 1;
    for (uint64_t i = w.base; w.waiting != 0 && i < w.next && w.pace.pipe < w.pace.cwnd; ++i)
        if (sent(w, i).waiting && frag_state(f) == FRAG_ACTIVE && window_send(f, i, true) < 0)
            result = -1;
    const uint64_t parts = part_count(f);
    while (frag_state(f) == FRAG_ACTIVE && w.next < parts && w.pace.has_room(w.next, w.base)) {
        if (w.next + 1 == parts && w.base != w.next)
            break;
        const uint64_t index = w.next++;
        window_send(f, index, false);  // a part that did not go out is the timer's to resend
    }
    if (frag_state(f) == FRAG_ACTIVE)
        window_rearm(f);
    return result;
}

// The first part not acknowledged changed: its retries and time budget
// are the transfer's.
void window_base_moved(n_frag *f) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    const SentPart &s = sent(w, w.base);
    const int32_t retry = f->channel != nullptr ? socket_retry(f->channel) : 0;
    f->retries = retry - static_cast<int32_t>(s.sends > 0 ? s.sends - 1 : 0);
    f->part_first_sent = s.first_sent;
    f->part_len = part_length(f, w.base);
}

// The timer ran out: the parts whose acknowledgement is overdue leave the
// pipe and go again as the window, started again at two parts, allows (the
// part first not acknowledged when none is overdue, as asked by the
// application). A peer that went silent gets two parts per timeout, not
// the whole window each time. Each timeout of the first part not
// acknowledged counts a retry of the transfer.
int window_resend(n_frag *f) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    const uint32_t now = n_util_getmstime();
    const uint32_t timeout = f->channel != nullptr ? socket_timeout_ms(f->channel) : 0;
    const uint32_t wait = f->adaptive ? std::max(f->rtt.rto_ms(timeout), 1u) - 1 : timeout;
    bool any = false;
    int result = 1;
    for (uint64_t i = w.base; i < w.next && frag_state(f) == FRAG_ACTIVE; ++i) {
        SentPart &s = sent(w, i);
        if (s.acked || s.waiting || now - s.last_sent <= wait)
            continue;
        if (!any)
            w.pace.timed_out(i, w.next);
        any = true;
        if (i == w.base && (f->retries > 0 || !f->adaptive))
            f->retries -= 1;
        s.waiting = true;
        w.waiting += 1;
        w.pace.left_pipe();
    }
    if (any) {
        result = window_fill(f);
    } else if (frag_state(f) == FRAG_ACTIVE) {
        if (f->retries > 0 || !f->adaptive)
            f->retries -= 1;
        result = window_send(f, w.base, true);
    }
    f->rtt.timed_out();
    if (frag_state(f) == FRAG_ACTIVE)
        window_rearm(f);
    return result;
}

// A part still not acknowledged after enough acknowledgements of parts sent
// after its latest transmission (WindowPace::lost_after) is taken for lost
// and sent again at once; a resend that is lost too is found the same way.
// `acked_tx` is the transmission that the acknowledgement answered.
void window_hurry(n_frag *f, uint64_t acked_tx) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    for (uint64_t i = w.base; i < w.next && frag_state(f) == FRAG_ACTIVE; ++i) {
        SentPart &s = sent(w, i);
        if (s.acked || s.waiting || s.tx >= acked_tx)
            continue;
        if (++s.later_acks < WindowPace::lost_after(w.tx - s.tx))
            continue;
        w.pace.lost(i, w.next);
        if (i == w.base && f->retries > 0)
            f->retries -= 1;
        window_send(f, i, true);
    }
}

// Marks a part acknowledged; a round-trip sample when it went out once
// (Karn's rule).
void window_acked(n_frag *f, SentPart &s, bool sample) REQUIRES(f->mu)
{
    s.acked = true;
    if (s.waiting) {  // out of the pipe already
        s.waiting = false;
        f->send_window->waiting -= 1;
    } else {
        f->send_window->pace.arrived();
    }
    if (sample && f->adaptive && s.sends == 1 && f->channel != nullptr) {
        f->rtt.sample(n_util_getmstime() - s.first_sent);
        remember_round_trip(f->channel, f->id, f->rtt);
    }
}

// An acknowledgement of a windowed transfer: it names its part by index,
// and how many parts the receiver stored in order. One for a part never
// sent is forged and ignored; one that tells nothing new is a duplicate.
void window_on_ack(socket_record *rec, n_frag *f, const FrameView &view, const Descriptor &d) REQUIRES(f->mu)
{
    SendWindow &w = *f->send_window;
    const uint64_t stored = d.has(kDescStored) ? d.stored : 0;
    if (!d.has(kDescIndex) || d.index >= w.next || stored > w.next) {
        count(rec->stats.stray_fragments);
        trace_emit(N_TRACE_IGNORED, rec->fd, view.bytes, view.len, view.from, "acknowledgement of a part not sent");
        return;
    }
    SentPart &s = sent(w, d.index);
    const uint64_t acked_tx = s.tx;
    const auto control = static_cast<unsigned char>(view.cac.data[0] & ~kCacReply);
    const bool consistent = view.cac.data[1] == static_cast<uint8_t>(d.index) && control == window_control(f, d.index);
    uint32_t newly = 0;  // parts this acknowledgement tells arrived
    if (consistent && d.index >= w.base && !s.acked) {
        window_acked(f, s, true);
        newly += 1;
    }
    // The count never stands for the last part: only that part's own
    // acknowledgement says that the whole data arrived and matched.
    const uint64_t counted = std::min(stored, part_count(f) - 1);
    for (uint64_t i = w.base; consistent && i < counted; ++i) {
        if (!sent(w, i).acked) {
            window_acked(f, sent(w, i), false);
            newly += 1;
        }
    }
    // The parts held beyond those, up to the last part (excluded) and to
    // the parts sent.
    for (uint64_t i = 0; consistent && d.has(kDescHeld) && d.has(kDescStored) && i < kHeldBytes * 8; ++i) {
        const uint64_t index = stored + 1 + i;
        if (index >= w.next || index + 1 >= part_count(f))
            break;
        if ((d.held[i / 8] >> (i % 8) & 1) != 0 && index >= w.base && !sent(w, index).acked) {
            window_acked(f, sent(w, index), false);
            newly += 1;
        }
    }
    if (newly == 0) {
        count(rec->stats.duplicates);
        trace_emit(N_TRACE_DUPLICATE, rec->fd, view.bytes, view.len, view.from);
        return;
    }
    trace_emit(N_TRACE_ACK_RECEIVED, rec->fd, view.bytes, view.len, view.from);
    f->rtt.backoff = 0;
    // One that names many held parts at once, after a repair, counts for
    // all of them.
    w.pace.grow(newly);
    const uint64_t before = w.base;
    while (w.base < w.next && sent(w, w.base).acked) {
        f->done_len += part_length(f, w.base);
        f->part_no = static_cast<uint8_t>(f->part_no + 1);
        f->part_index += 1;
        w.base += 1;
    }
    if (w.base == part_count(f)) {
        f->part_len = 0;
        frag_finish(f);
        return;
    }
    if (w.base != before)
        window_base_moved(f);
    // New parts first: their acknowledgements, when they come, tell a lost
    // part sooner than the timer, and a part counts as lost early only when
    // no new part could go.
    window_fill(f);
    window_hurry(f, acked_tx);
    if (frag_state(f) == FRAG_ACTIVE)
        window_rearm(f);
}

// The receiver accepted a window in its acknowledgement of the first part:
// from the second part on, parts fly `window` at a time at most. Without
// memory for it the transfer goes on one part at a time, which the
// receiver takes as well.
bool open_window(n_frag *f, uint8_t accepted) REQUIRES(f->mu)
{
    const uint32_t limit = std::min<uint32_t>({accepted, f->window_size, kMaxTransferWindow});
    if (limit < 2)
        return false;
    f->send_window.reset(new (std::nothrow) SendWindow{});
    if (!f->send_window)
        return false;
    SendWindow &w = *f->send_window;
    w.pace.open(limit, f->part_index);
    w.base = w.next = f->part_index;
    window_fill(f);
    if (frag_state(f) == FRAG_ACTIVE)
        window_base_moved(f);
    return true;
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
        // A window is offered for a described transfer of more than one part.
        f->window_size = f->described && len > FRAG_PART_SIZE ? rec->transfer_window : 1;
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
    if (f->send_window)
        return window_resend(f);
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
    const SentFrames first_part;
    return first_part.result(start_send(rec, id, data != nullptr ? data : kNone, -1, len, type));
}

int frag_start_send_file(socket_record *rec, const unsigned char *id, int file, uint32_t len,
                         const unsigned char *type)
{
    if (id == nullptr || type == nullptr || file < 0)
        return refuse_file(file, kInval);
    const SentFrames first_part;
    return first_part.result(start_send(rec, id, nullptr, file, len, type));
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
    if (f->send_window) {
        window_on_ack(rec, f.get(), view, d);
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
    if (frag_state(f.get()) != FRAG_ACTIVE)
        return;
    const bool accepted = f->part_index == 1 && f->window_size > 1 && d.has(kDescWindow) && d.has(kDescEcho);
    if (!accepted || !open_window(f.get(), d.window))
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
    const SentFrames part;
    return part.result(with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        if (frag_receiving(f))
            return fail(kProto);  // a receiving fragmentation sends no parts
        if (frag_state(f) == FRAG_ABORTED)
            return fail(kProto);  // its data are gone: nothing to send
        if (frag_state(f) == FRAG_FINISHED)
            return 1;
        return in_flight(f) ? sender_resend(f) : start_part(f);
    }));
} catch (...) {
    return failed_by_exception(n_frag_next_part);
}

int n_frag_acked(const unsigned char *id)
try {
    return with_frag(id, [](n_frag *f) {
        frag_assert_held(f);
        // Only a transfer under way advances: an acknowledgement can neither
        // revive an aborted transfer nor touch a receiving one.
        // A window acknowledges its parts by index only.
        if (frag_receiving(f) || frag_state(f) != FRAG_ACTIVE || f->send_window)
            return fail(kProto);
        advance(f);
        return 1;
    });
} catch (...) {
    return failed_by_exception(n_frag_acked);
}

}  // extern "C"
