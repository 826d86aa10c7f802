// SPDX-License-Identifier: MIT
// The receiving side of a transfer: which fragments start, continue, repeat or replace a transfer, and storing parts.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "ack.h"
#include "frag.h"
#include "trace.h"

using namespace nimbet;

namespace {

// What a received fragment says, read once.
struct Fragment {
    const FrameView &view;
    uint8_t kind;
    uint8_t seq;
    Descriptor d;
    bool first;     // a described first part: the first-part flag and index 0
    uint32_t now;
};

// The receiving socket's view of time: how long its peer may still resend
// a part (retry x timeout), and one timeout.
struct Pace {
    uint32_t window;
    uint32_t timeout;
};

enum class Verdict {
    Store,    // the part expected next
    Reack,    // a stored part again: its acknowledgement was lost
    Start,    // the first part of a new transfer
    Replace,  // the first part of a new transfer that takes the place of one that stalled
    Rival,    // the first part of a new transfer while one from that peer is under way
    Refuse,   // a new transfer while the application still holds the last one
    Ignore,   // belongs to no transfer, or not the part expected
};

struct Decision {
    Verdict verdict;
    const char *why = nullptr;
    PartSummary repeated{};  // for Reack: the stored part it repeats
};

uint32_t part_crc(const TupleAt &part) { return crc32_update(0, part.data, part.len); }

// Whether a fragment repeats a stored part: the same sequence byte, kind and
// bytes, and in a described transfer the same nonce and index. A plain part
// (no descriptor) counts as a repeat only while its sender may still resend
// it: the same bytes later are a new message.
bool repeats(const PartSummary &p, const Fragment &frag, const TupleAt &part, const Pace &pace)
{
    if (!part || frag.seq != p.seq || frag.kind != p.kind || part.len != p.len)
        return false;
    if (p.described != frag.d.present)
        return false;
    if (p.described && (frag.d.nonce != p.nonce || !frag.d.has(kDescIndex) || frag.d.index != p.index))
        return false;
    if (!p.described && frag.now - p.stored_at > pace.window)
        return false;
    return part_crc(part) == p.crc;
}

// A transfer under way that nothing has been heard of for longer than its
// sender could still be retrying one part: the sender is gone.
bool stalled(const n_frag *f, const Fragment &frag, const Pace &pace) { return frag.now - f->heard > pace.window; }

// The first part of a new transfer keeps arriving while the transfer under
// way is silent: three sightings over two timeouts, none of the old one
// after the first. A sender that restarted retries its first part like
// that; a late or forged copy does not, and a live transfer is not silent.
bool rival_prevails(const n_frag *f, uint32_t rival, const Fragment &frag, const Pace &pace)
{
    const bool known = f->rival_seen > 0 && f->rival == rival;
    const uint32_t seen = known ? f->rival_seen + 1 : 1;
    const uint32_t since = known ? f->rival_since : frag.now;
    const bool silent = static_cast<int32_t>(f->heard - since) <= 0;
    return seen >= 3 && frag.now - since >= 2u * pace.timeout && silent;
}

// A first part from a peer whose transfer `f` (if any) is not this one.
Decision decide_newcomer(const n_frag *f, const Fragment &frag, const Pace &pace)
{
    if (f == nullptr || frag_state(f) == FRAG_ABORTED)
        return {Verdict::Start};
    if (frag_state(f) == FRAG_FINISHED)
        return {Verdict::Refuse, "previous transfer not yet taken"};
    // Between nodes without descriptors a part 0 is the next part or
    // nothing: an active transfer ends by its own timer.
    if (!f->described && !frag.d.present)
        return {Verdict::Ignore, "not the part expected"};
    if (stalled(f, frag, pace))
        return {Verdict::Replace, "stalled, replaced by a new transfer"};
    const uint32_t rival = frag.d.present ? frag.d.nonce : part_crc(frag.view.first);
    if (rival_prevails(f, rival, frag, pace))
        return {Verdict::Replace, "restarted by its sender"};
    return {Verdict::Rival, "a transfer from that node is under way"};
}

// A part with a descriptor: its nonce says which transfer it belongs to.
Decision decide_described(const n_frag *f, const Fragment &frag, const Pace &pace)
{
    const unsigned char *peer = frag.view.srcid();
    if (f != nullptr && f->described && frag.d.nonce == f->nonce) {
        if (frag_state(f) == FRAG_ACTIVE && frag.d.has(kDescIndex) && frag.d.index == f->part_index)
            return {Verdict::Store};
        if (f->part_index > 0 && repeats(f->last, frag, find_tuple(frag.view, f->data_type), pace))
            return {Verdict::Reack, nullptr, f->last};
        return {Verdict::Ignore, "not the part expected"};
    }
    if (PartSummary ended{}; ended_by_nonce(peer, frag.d.nonce, ended)) {
        if (repeats(ended, frag, frag.view.first, pace))
            return {Verdict::Reack, nullptr, ended};
        return {Verdict::Ignore, "part of a transfer that ended"};
    }
    // Only a first part starts a transfer: a late or repeated part of a
    // transfer that is gone would start one from its middle.
    if (!frag.first)
        return {Verdict::Ignore, "part of no transfer"};
    return decide_newcomer(f, frag, pace);
}

// A part without a descriptor, from a node that counts parts by the
// sequence byte alone (modulo 256).
Decision decide_plain(const n_frag *f, const Fragment &frag, const Pace &pace)
{
    if (f != nullptr && !f->described) {
        if (frag_state(f) == FRAG_ACTIVE && frag.seq == f->part_no)
            return {Verdict::Store};
        if (frag_state(f) != FRAG_ABORTED && f->part_index > 0 &&
            repeats(f->last, frag, find_tuple(frag.view, f->data_type), pace))
            return {Verdict::Reack, nullptr, f->last};
    }
    if (PartSummary ended{}; ended_plain(frag.view.srcid(), ended) && repeats(ended, frag, frag.view.first, pace))
        return {Verdict::Reack, nullptr, ended};
    if (frag.seq != 0)
        return {Verdict::Ignore, f != nullptr ? "not the part expected" : "part of no transfer"};
    return decide_newcomer(f, frag, pace);
}

void trace_part(n_trace_event e, socket_record *rec, const FrameView &view, const char *reason = nullptr)
{
    if (trace_enabled())
        trace_emit(e, rec->fd, view.bytes, view.len, view.from, reason);
}

void ignore(socket_record *arrival, const FrameView &view, const char *why)
{
    count(arrival->stats.stray_fragments);
    trace_part(N_TRACE_IGNORED, arrival, view, why);
}

void refuse(socket_record *arrival, const FrameView &view, const char *why)
{
    count(arrival->stats.transfers_refused);
    trace_part(N_TRACE_TRANSFER_REFUSED, arrival, view, why);
}

// Acknowledges a stored part (again) through the receiver's socket; in a
// transfer with a descriptor the acknowledgement echoes its nonce and index.
int acknowledge(socket_record *reply, const FrameView &view, const PartSummary &part)
{
    if (reply == nullptr)
        return fail(kBadF);
    const Descriptor echo{true, static_cast<uint8_t>(kDescEcho | kDescIndex), part.nonce, 0, 0, part.index};
    return ack_reply(reply, ack_request_of(view), AckExtras{part.described ? &echo : nullptr});
}

// The last part arrived: checks it against the descriptor, then joins the
// data (or completes the file) and makes it the last part stored. False when
// the transfer was aborted instead: the last part stored is then the one
// before, the last one acknowledged, and a resend of this one is never
// taken for a repeat (which would report a failed transfer finished).
bool complete(n_frag *f, const Descriptor &d, const PartSummary &last)
{
    if (f->described && f->done_len != f->expected_total) {
        frag_abort(f, "length differs from the announced one");
        return false;
    }
    if (f->described && !(d.has(kDescLast) && d.crc == f->crc)) {
        frag_abort(f, "CRC-32 of the data differs from the sender's");
        return false;
    }
    if (f->sink_path != nullptr) {
        if (!sink_complete(f)) {
            frag_abort(f, "file cannot be written");
            return false;
        }
    } else {
        // When the joined buffer cannot be allocated the parts stay in the
        // chunks and the data read as missing.
        f->frag_data = chunk_stack_collect(f->frag_obstack);
    }
    f->total_len = f->done_len;
    f->last = last;
    frag_finish(f);
    return true;
}

// Why a part cannot be stored in f without breaking what the transfer
// announced or the receiver allows; null when it can.
const char *overflow(const n_frag *f, unsigned kind, uint64_t done)
{
    if (done > f->max_bytes)
        return "larger than the receiver's limit";
    if (f->described && (done > f->expected_total || (kind == kKindFragment && done == f->expected_total)))
        return "longer than the announced length";
    return nullptr;
}

// Stores the part a fragment carries in receiving transfer f, and
// acknowledges it. 0, or -1 with the error number (nothing acknowledged).
int take_part(n_frag *f, const FrameView &view, const Descriptor &d)
{
    if (!frag_receiving(f))
        return fail(kInval);
    // Finished data never change and an aborted fragmentation stays empty.
    if (frag_state(f) != FRAG_ACTIVE)
        return fail(kProto);
    if (!view.cac || view.cac.len < 1)
        return fail(kInval);
    const unsigned kind = cac_kind(view.cac.data[0]);
    if (kind != kKindFragment && kind != kKindLastFragment)
        return fail(kInval);
    const TupleAt part = find_tuple(view, f->data_type);
    if (!part)
        return fail(kInval);

    const uint64_t done = uint64_t{f->done_len} + part.len;
    if (const char *wrong = overflow(f, kind, done)) {
        frag_abort(f, wrong);
        return fail(kProto);
    }
    if (f->sink_path != nullptr) {
        if (!sink_write(f, part.data, part.len)) {
            frag_abort(f, "file cannot be written");
            return fail(kProto);
        }
    } else if (!chunk_stack_append(f->frag_obstack, part.data, part.len)) {
        return fail(kNoMem);
    }
    const uint32_t now = n_util_getmstime();
    f->crc = crc32_update(f->crc, part.data, part.len);
    f->done_len = static_cast<uint32_t>(done);
    f->retries = f->channel != nullptr ? socket_retry(f->channel) : 0;
    const PartSummary stored{f->described, f->nonce, static_cast<uint32_t>(f->part_index),
                             view.cac.len >= 2 ? view.cac.data[1] : f->part_no, static_cast<uint8_t>(kind),
                             part.len, part_crc(part), now};
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->part_index += 1;
    f->last_time = now;
    f->heard = now;
    if (f->channel != nullptr)
        trace_part(N_TRACE_PART_STORED, f->channel, view);
    if (kind != kKindLastFragment)
        f->last = stored;
    else if (!complete(f, d, stored))
        return fail(kProto);
    return acknowledge(f->channel, view, stored);
}

// Receiving transfers that hold (or will hold) data for a socket, weighed
// without their locks; the oldest aborted ones kept for it go when there
// are many. The transfer that a new one may take the place of on a full
// table: one under way that stores parts slower than one per timeout on
// average, or that has stored none for a timeout (trickling, or stalled);
// of those the one silent longest. A sender that is alive and heard goes
// faster than that, so a steady transfer is never the one evicted.
struct Table {
    int held = 0;
    FragRef evictable;
};

Table weigh_receivers(uint64_t serial, int max_aborted, uint32_t now, uint32_t timeout)
{
    Table t;
    int aborted = 0;
    FragRef oldest_aborted;
    for (FragRef &f : frag_snapshot()) {
        if (!frag_receiving(f.get()) || f->arrival != serial)
            continue;
        const uint32_t last = f->last_time.load(std::memory_order_relaxed);
        if (frag_state(f.get()) == FRAG_ABORTED) {
            ++aborted;
            if (!oldest_aborted || static_cast<int32_t>(last - oldest_aborted->last_time) < 0)
                oldest_aborted = f;
            continue;
        }
        ++t.held;
        if (frag_state(f.get()) != FRAG_ACTIVE)
            continue;
        const uint64_t age = now - f->started;
        const bool slow = age > timeout && f->part_index * uint64_t{timeout} < age;
        const bool idle = now - last > timeout;
        if ((slow || idle) && (!t.evictable || static_cast<int32_t>(last - t.evictable->last_time) < 0))
            t.evictable = f;
    }
    if (aborted > max_aborted && oldest_aborted)
        frag_unregister(oldest_aborted.get());
    return t;
}

// Room for one more receiving transfer on the socket: true when the table
// has room or a slow transfer was evicted for it.
bool make_room(socket_record *arrival, int max_transfers, uint32_t now, uint32_t timeout)
{
    Table t = weigh_receivers(arrival->serial, 4 * max_transfers, now, timeout);
    if (t.held < max_transfers)
        return true;
    if (!t.evictable)
        return false;
    const FragLock lock(t.evictable.get());
    if (!lock.live || frag_state(t.evictable.get()) != FRAG_ACTIVE)
        return true;  // it ended meanwhile: room all the same
    count(arrival->stats.transfers_evicted);
    frag_abort(t.evictable.get(), "evicted by a new transfer: too slow");
    return true;
}

// The one place a receiving transfer is made: for the peer that sent
// `view`, acknowledging through `reply`, arrived on the socket with serial
// `arrival`, registered in place of `replacing` (or of nothing). Locked by
// the caller once made; empty when there is no memory, or when another
// transfer took the peer's name meanwhile (`raced`).
FragRef new_receiver(socket_record *reply, uint64_t arrival, const FrameView &view, const Descriptor &d,
                     const n_frag *replacing, uint32_t max_bytes, bool &raced)
{
    raced = false;
    FragRef f = frag_new(reply, view.srcid(), view.first.type, true);
    if (!f)
        return f;
    f->arrival = arrival;
    f->max_bytes = max_bytes;
    f->described = d.has(kDescFirst);
    f->nonce = d.nonce;
    f->expected_total = d.total;
    f->started = f->heard = n_util_getmstime();
    if (!frag_publish(f.get(), true, replacing)) {
        raced = true;
        f->mu.unlock();
        return {};
    }
    count(reply->stats.transfers_started);
    if (frag_socket_gone(f.get())) {
        f->mu.unlock();
        return {};
    }
    return f;
}

enum class Started { Acknowledged, Refused, Raced };

// A first part from a node that has no transfer with us, or one that
// `replacing` (aborted) held: a new receiving transfer, unless a limit
// refuses it. Called with no transfer lock held.
Started start(socket_record *arrival, socket_record *reply, const Fragment &frag, const Pace &pace,
              const n_frag *replacing)
{
    int max_transfers = 0;
    uint32_t max_bytes = 0;
    {
        std::lock_guard lock(arrival->mu);
        max_transfers = arrival->max_transfers;
        max_bytes = arrival->max_bytes;
    }
    const FrameView &view = frag.view;
    if (frag.d.has(kDescFirst) && frag.d.total > max_bytes) {
        refuse(arrival, view, "larger than the receiver's limit");
        return Started::Refused;
    }
    if (!make_room(arrival, max_transfers, frag.now, pace.timeout)) {
        refuse(arrival, view, "too many transfers at once");
        return Started::Refused;
    }
    bool raced = false;
    FragRef f = new_receiver(reply, arrival->serial, view, frag.d, replacing, max_bytes, raced);
    if (!f)
        return raced ? Started::Raced : Started::Refused;
    const FragLock lock(f.get(), std::adopt_lock);
    if (!sink_take(f.get(), arrival->serial)) {
        frag_abort(f.get(), "out of memory");
        return Started::Refused;
    }
    return take_part(f.get(), view, frag.d) == 0 ? Started::Acknowledged : Started::Refused;
}

// Acts on what was decided about a fragment of transfer f (null: none),
// under f's lock; true when it was acknowledged.
bool act(n_frag *f, const Decision &what, socket_record *arrival, socket_record *reply, const Fragment &frag)
{
    const FrameView &view = frag.view;
    const bool of_f = f != nullptr && f->described == frag.d.present && (!f->described || f->nonce == frag.d.nonce);
    if (of_f && what.verdict != Verdict::Rival)
        f->heard = frag.now;
    switch (what.verdict) {
    case Verdict::Store:
        return take_part(f, view, frag.d) == 0;
    case Verdict::Reack:
        count(arrival->stats.duplicates);
        trace_part(N_TRACE_DUPLICATE, arrival, view);
        return acknowledge(f != nullptr && f->channel != nullptr ? f->channel : reply, view, what.repeated) == 0;
    case Verdict::Rival: {
        const uint32_t rival = frag.d.present ? frag.d.nonce : part_crc(view.first);
        if (f->rival_seen == 0 || f->rival != rival) {
            f->rival = rival;
            f->rival_since = frag.now;
            f->rival_seen = 0;
        }
        f->rival_seen += 1;
        refuse(arrival, view, what.why);
        return false;
    }
    case Verdict::Refuse:
        refuse(arrival, view, what.why);
        return false;
    case Verdict::Ignore:
    case Verdict::Start:
    case Verdict::Replace:
        ignore(arrival, view, what.why);
        return false;
    }
    return false;
}

}  // namespace

namespace nimbet {

bool frag_on_fragment(socket_record *arrival, socket_record *reply, const FrameView &view)
{
    const Pace pace{resend_window_ms(arrival), socket_timeout_ms(arrival)};
    const Descriptor d = read_descriptor(view);
    // A first part carries the first-part flag and, where it gives one, the
    // index 0 (a flag flipped on a later part names another index).
    const Fragment frag{view, static_cast<uint8_t>(cac_kind(view.cac.data[0])), view.cac.data[1], d,
                        d.has(kDescFirst) && (!d.has(kDescIndex) || d.index == 0), n_util_getmstime()};

    // The decision is taken under the lock of the peer's transfer; a new
    // transfer is made with no transfer lock held. Another thread may
    // register one for the peer in between: then the part is weighed again.
    for (int round = 0; round < 3; ++round) {
        FragRef f = frag_acquire(view.srcid());
        {
            std::optional<FragLock> lock;
            if (f) {
                lock.emplace(f.get());
                if (!lock->live)
                    continue;
            }
            if (f && !frag_receiving(f.get())) {
                ignore(arrival, view, "a transfer to that node is registered");
                return false;
            }
            const Decision what = d.present ? decide_described(f.get(), frag, pace) : decide_plain(f.get(), frag, pace);
            if (what.verdict != Verdict::Start && what.verdict != Verdict::Replace)
                return act(f.get(), what, arrival, reply, frag);
            if (what.verdict == Verdict::Replace)
                frag_abort(f.get(), what.why);
        }
        switch (start(arrival, reply, frag, pace, f.get())) {
        case Started::Acknowledged:
            return true;
        case Started::Refused:
            return false;
        case Started::Raced:
            break;
        }
    }
    return false;
}

}  // namespace nimbet

extern "C" {

int n_frag_init_recv(int fd, n_pkt *pkt)
{
    if (pkt == nullptr)
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec)
        return fail(kInval);
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (!frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    FragRef old = frag_acquire(pkt->srcid);
    bool gone = false;
    if (old) {
        const FragLock lock(old.get());
        if (lock.live && frag_state(old.get()) != FRAG_ABORTED)
            return fail(kAccess);
        n_frag *new_frag = old.get();
        N_ASSERT(!new_frag->frag_data && ChunkQueue::empty(new_frag->frag_obstack),
                 "!new_frag->frag_data && TAILQ_EMPTY(&new_frag->frag_obstack)");
        gone = !lock.live;
    }
    if (gone)
        old.reset();  // deleted meanwhile: nothing to replace
    uint32_t max_bytes = 0;
    {
        std::lock_guard slock(rec->mu);
        max_bytes = rec->max_bytes;
    }
    bool raced = false;
    FragRef f = new_receiver(rec.get(), rec->serial, view, read_descriptor(view), old.get(), max_bytes, raced);
    if (!f)
        return fail(raced ? kAccess : kNoMem);
    const FragLock lock(f.get(), std::adopt_lock);
    const int stored = take_part(f.get(), view, read_descriptor(view));
    if (stored == 0)
        pkt->flags |= PACKET_ACK_SENT;
    return stored;
}

int n_frag_append(const unsigned char *id, n_pkt *pkt)
{
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (pkt == nullptr || !frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    return with_frag(id, [&](n_frag *f) {
        const int stored = take_part(f, view, read_descriptor(view));
        if (stored == 0)
            pkt->flags |= PACKET_ACK_SENT;
        return stored;
    });
}

int n_frag_get_data_file(const unsigned char *id, const char *path)
{
    if (path == nullptr)
        return fail(kInval);
    return with_frag(id, [path](n_frag *f) { return write_data_file(f, path); });
}

}  // extern "C"
