// The receiving side of a transfer: which fragments start, continue, repeat or replace a transfer, and storing parts.
#include <climits>
#include <cstdlib>
#include <cstring>

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
    const PartSummary *repeated = nullptr;  // for Reack
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
        if (frag_state(f) == FRAG_ACTIVE && frag.d.has(kDescIndex) && frag.d.index == f->parts)
            return {Verdict::Store};
        if (f->parts > 0 && repeats(f->last, frag, find_tuple(frag.view, f->data_type), pace))
            return {Verdict::Reack, nullptr, &f->last};
        return {Verdict::Ignore, "not the part expected"};
    }
    if (const PartSummary *ended = ended_by_nonce(peer, frag.d.nonce)) {
        if (repeats(*ended, frag, frag.view.first, pace))
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
        if (frag_state(f) != FRAG_ABORTED && f->parts > 0 &&
            repeats(f->last, frag, find_tuple(frag.view, f->data_type), pace))
            return {Verdict::Reack, nullptr, &f->last};
    }
    if (const PartSummary *ended = ended_plain(frag.view.srcid()); ended && repeats(*ended, frag, frag.view.first, pace))
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
    return ack_reply(reply, ack_request_of(view), part.described ? &echo : nullptr);
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
    f->retries = f->sock != nullptr ? socket_retry(f->sock) : 0;
    const PartSummary stored{f->described, f->nonce, static_cast<uint32_t>(f->parts),
                             view.cac.len >= 2 ? view.cac.data[1] : f->part_no, static_cast<uint8_t>(kind),
                             part.len, part_crc(part), now};
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->parts += 1;
    f->last_time = now;
    f->heard = now;
    if (f->sock != nullptr)
        trace_part(N_TRACE_PART_STORED, f->sock, view);
    if (kind != kKindLastFragment)
        f->last = stored;
    else if (!complete(f, d, stored))
        return fail(kProto);
    return acknowledge(f->sock, view, stored);
}

// Receiving transfers that hold (or will hold) data for a socket, and the
// aborted ones kept for it; the oldest aborted ones go when there are many.
int transfers_held(uint64_t serial, int max_aborted)
{
    int held = 0;
    int aborted = 0;
    n_frag *oldest = nullptr;
    for (n_frag *f : FragQueue::each(frag_list())) {
        if (!frag_receiving(f) || f->arrival != serial)
            continue;
        if (frag_state(f) != FRAG_ABORTED) {
            ++held;
        } else {
            ++aborted;
            if (oldest == nullptr || static_cast<int32_t>(f->ended - oldest->ended) < 0)
                oldest = f;
        }
    }
    if (aborted > max_aborted && oldest != nullptr)
        frag_remove(oldest);
    return held;
}

// The transfer on a full table that a new one may take the place of: one
// under way that stores parts slower than one per timeout on average, or
// that has stored none for a timeout (trickling, or stalled); of those the
// one silent longest. A sender that is alive and heard goes faster than
// that, so a steady transfer is never the one evicted. Null when none.
n_frag *eviction_candidate(uint64_t serial, uint32_t now, uint32_t timeout)
{
    n_frag *best = nullptr;
    for (n_frag *f : FragQueue::each(frag_list())) {
        if (!frag_receiving(f) || f->arrival != serial || frag_state(f) != FRAG_ACTIVE)
            continue;
        const uint64_t age = now - f->started;
        const bool slow = age > timeout && f->parts * uint64_t{timeout} < age;
        const bool idle = now - f->last_time > timeout;
        if ((slow || idle) && (best == nullptr || static_cast<int32_t>(f->last_time - best->last_time) < 0))
            best = f;
    }
    return best;
}

// Room for one more receiving transfer on the socket: true when the table
// has room or a slow transfer was evicted for it.
bool make_room(socket_record *arrival, int max_transfers, uint32_t now, uint32_t timeout)
{
    if (transfers_held(arrival->serial, 4 * max_transfers) < max_transfers)
        return true;
    n_frag *victim = eviction_candidate(arrival->serial, now, timeout);
    if (victim == nullptr)
        return false;
    count(arrival->stats.transfers_evicted);
    frag_abort(victim, "evicted by a new transfer: too slow");
    return true;
}

// A first part from a node that has no transfer with us: a new receiving
// transfer, unless a limit refuses it.
bool start(socket_record *arrival, socket_record *reply, const Fragment &frag, const Pace &pace)
{
    int max_transfers = 0;
    uint32_t max_bytes = 0;
    {
        std::lock_guard lock(arrival->mu);
        max_transfers = arrival->max_transfers;
        max_bytes = arrival->max_bytes;
    }
    const FrameView &view = frag.view;
    const bool described = frag.d.has(kDescFirst);
    if (described && frag.d.total > max_bytes) {
        refuse(arrival, view, "larger than the receiver's limit");
        return false;
    }
    if (!make_room(arrival, max_transfers, frag.now, pace.timeout)) {
        refuse(arrival, view, "too many transfers at once");
        return false;
    }
    n_frag *f = frag_new(reply, view.srcid(), view.first.type, true);
    if (f == nullptr)
        return false;
    f->arrival = arrival->serial;
    f->max_bytes = max_bytes;
    f->described = described;
    f->nonce = frag.d.nonce;
    f->expected_total = frag.d.total;
    f->started = frag.now;
    f->heard = frag.now;
    const bool sink = sink_take(f, arrival->serial);
    frag_register(f, true);
    count(reply->stats.transfers_started);
    if (!sink) {
        frag_abort(f, "out of memory");
        return false;
    }
    return take_part(f, view, frag.d) == 0;
}

// Acts on what was decided about a fragment; true when it was acknowledged.
bool act(n_frag *f, const Decision &what, socket_record *arrival, socket_record *reply, const Fragment &frag,
         const Pace &pace)
{
    const FrameView &view = frag.view;
    const bool of_f = f != nullptr && frag_receiving(f) && f->described == frag.d.present &&
                      (!f->described || f->nonce == frag.d.nonce);
    if (of_f && what.verdict != Verdict::Rival && what.verdict != Verdict::Replace)
        f->heard = frag.now;
    switch (what.verdict) {
    case Verdict::Store:
        return take_part(f, view, frag.d) == 0;
    case Verdict::Reack:
        count(arrival->stats.duplicates);
        trace_part(N_TRACE_DUPLICATE, arrival, view);
        return acknowledge(f != nullptr && f->sock != nullptr ? f->sock : reply, view, *what.repeated) == 0;
    case Verdict::Replace:
        frag_abort(f, what.why);
        frag_remove(f);
        return start(arrival, reply, frag, pace);
    case Verdict::Start:
        if (f != nullptr)
            frag_remove(f);
        return start(arrival, reply, frag, pace);
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

    std::lock_guard lock(frag_mutex());
    n_frag *f = frag_find(view.srcid());
    if (f != nullptr && !frag_receiving(f)) {
        ignore(arrival, view, "a transfer to that node is registered");
        return false;
    }
    const Decision what = d.present ? decide_described(f, frag, pace) : decide_plain(f, frag, pace);
    return act(f, what, arrival, reply, frag, pace);
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
    std::lock_guard lock(frag_mutex());
    if (n_frag *old = frag_find(pkt->srcid)) {
        if (frag_state(old) != FRAG_ABORTED)
            return fail(kAccess);
        n_frag *new_frag = old;
        N_ASSERT(!new_frag->frag_data && ChunkQueue::empty(new_frag->frag_obstack),
                 "!new_frag->frag_data && TAILQ_EMPTY(&new_frag->frag_obstack)");
        frag_remove(old);
    }
    const Descriptor d = read_descriptor(view);
    n_frag *f = frag_new(rec.get(), pkt->srcid, view.first.type, true);
    if (f == nullptr)
        return -1;
    f->arrival = rec->serial;
    {
        std::lock_guard slock(rec->mu);
        f->max_bytes = rec->max_bytes;
    }
    f->described = d.has(kDescFirst);
    f->nonce = d.nonce;
    f->expected_total = d.total;
    f->started = f->heard = n_util_getmstime();
    frag_register(f, true);
    count(rec->stats.transfers_started);
    const int stored = take_part(f, view, d);
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
