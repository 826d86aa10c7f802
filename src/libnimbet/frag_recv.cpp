// SPDX-License-Identifier: MIT
// The receiving side of a transfer: which fragments start, continue, repeat or replace a transfer, and storing parts.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "ack.h"
#include "packet.h"
#include "recent.h"
#include "frag.h"
#include "trace.h"

using namespace nimbet;

namespace {

using engine::Decision;
using engine::Fragment;
using engine::Pace;
using engine::part_crc;
using engine::Verdict;

// Why a received file could not be written, as a reason that lasts (trace
// reasons are static texts): a full disk is told from other failures.
const char *write_failure(int sys)
{
    switch (sys) {
    case ENOSPC:
        return "file cannot be written: no space left on the device";
    case EDQUOT:
        return "file cannot be written: disk quota exceeded";
    case EIO:
        return "file cannot be written: input/output error";
    default:
        return "file cannot be written";
    }
}

// The ended transfers the receiver remembers (frag_ended.cpp), as the
// decisions read them.
class RememberedEnds final : public engine::EndedTransfers {
public:
    bool by_nonce(const unsigned char *peer, uint32_t nonce, PartSummary &out) const override
    {
        return ended_by_nonce(peer, nonce, out);
    }
    bool plain(const unsigned char *peer, PartSummary &out) const override { return ended_plain(peer, out); }
};

// What a fragment does to the peer's transfer f (null: none), decided on a
// copy of the fields the decision reads (engine/receive.h).
Decision decide(const n_frag *f, const Fragment &frag, const Pace &pace) REQUIRES(f->mu)
{
    static const RememberedEnds kEnds;
    if (f == nullptr)
        return engine::decide(nullptr, frag, pace, kEnds);
    const RecvWindow *w = f->recv_window.get();
    const engine::Receiver r{frag_state(f),
                             f->taken.load(),
                             f->described,
                             f->nonce,
                             f->part_index,
                             f->part_no,
                             f->heard,
                             f->rival,
                             f->rival_since,
                             f->rival_seen,
                             f->last,
                             w != nullptr ? std::span<const PartSummary>(w->recent) : std::span<const PartSummary>(),
                             f->data_type};
    return engine::decide(&r, frag, pace, kEnds);
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
// transfer with a descriptor the acknowledgement echoes its nonce and index,
// and in the window of `f` (when given) says how many parts are stored in
// order and which later ones are held.
int acknowledge(socket_record *reply, const AckRequest &req, const PartSummary &part, n_frag *f = nullptr)
{
    frag_assert_held_if_any(f);  // a transfer given is read under its lock
    RecvWindow *w = f != nullptr ? f->recv_window.get() : nullptr;
    if (w != nullptr)
        w->acks.sent();  // this one says all an owed one would
    if (reply == nullptr)
        return fail(kBadF);
    const auto flags = static_cast<uint8_t>(kDescEcho | kDescIndex | (part.window > 1 ? kDescWindow : 0) |
                                            (w != nullptr ? kDescStored | kDescHeld : 0));
    Descriptor echo{true, flags, part.nonce, 0, 0, part.index, part.window, 0};
    if (w != nullptr) {
        echo.stored = static_cast<uint32_t>(f->part_index);
        for (uint32_t i = 0; i + 1 < w->size && i < kHeldBytes * 8; ++i) {
            const uint64_t index = f->part_index + 1 + i;
            const HeldPart &h = w->held[index % w->size];
            if (h.held && h.index == index)
                echo.held[i / 8] = static_cast<uint8_t>(echo.held[i / 8] | (1u << (i % 8)));
        }
    }
    return ack_reply(reply, req, AckExtras{part.described ? &echo : nullptr});
}

// Makes a part the last one stored: its repeats are acknowledged again (in
// a window, those of the last `size` parts). A last part becomes it only once
// the data are complete and match.
void remember_stored(n_frag *f, const PartSummary &stored) REQUIRES(f->mu)
{
    f->last = stored;
    if (RecvWindow *w = f->recv_window.get())
        w->recent[stored.index % w->size] = stored;
}

// The last part arrived: checks it against the descriptor, then joins the
// data (or completes the file) and makes it the last part stored. False when
// the transfer was aborted instead: the last part stored is then the one
// before, the last one acknowledged, and a resend of this one is never
// taken for a repeat (which would report a failed transfer finished).
bool complete(n_frag *f, const Descriptor &d, const PartSummary &last) REQUIRES(f->mu)
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
            frag_abort(f, write_failure(errno));
            return false;
        }
    } else {
        // When the joined buffer cannot be allocated the parts stay in the
        // chunks and the data read as missing.
        f->frag_data = chunk_stack_collect(f->frag_obstack);
    }
    f->total_len = f->done_len;
    remember_stored(f, last);
    // Data written to a file are where the application asked for them.
    if (f->sink_path != nullptr)
        f->taken.store(true);
    frag_finish(f);
    return true;
}

// Why a part cannot be stored in f without breaking what the transfer
// announced or the receiver allows; null when it can.
const char *overflow(const n_frag *f, unsigned kind, uint64_t done) REQUIRES(f->mu)
{
    if (done > f->max_bytes)
        return "larger than the receiver's limit";
    if (f->described && (done > f->expected_total || (kind == kKindFragment && done == f->expected_total)))
        return "longer than the announced length";
    return nullptr;
}

// Stores the bytes of the part expected next in receiving transfer f; its
// summary in `stored`. 0, or -1 with the error number: the transfer is
// aborted when the part breaks a limit or the file cannot be written.
int store_bytes(n_frag *f, unsigned kind, const unsigned char *data, uint8_t len, uint8_t seq, PartSummary &stored)
    REQUIRES(f->mu)
{
    const uint64_t done = uint64_t{f->done_len} + len;
    if (const char *wrong = overflow(f, kind, done)) {
        frag_abort(f, wrong);
        return fail(kProto);
    }
    if (f->sink_path != nullptr) {
        if (!sink_write(f, data, len)) {
            frag_abort(f, write_failure(errno));
            return fail(kProto);
        }
    } else if (!chunk_stack_append(f->frag_obstack, data, len)) {
        return fail(kNoMem);
    }
    const uint32_t now = n_util_getmstime();
    f->crc = crc32_update(f->crc, data, len);
    f->done_len = static_cast<uint32_t>(done);
    f->retries = f->channel != nullptr ? socket_retry(f->channel) : 0;
    const bool first = f->part_index == 0;
    stored = PartSummary{f->described, f->nonce, static_cast<uint32_t>(f->part_index), seq, static_cast<uint8_t>(kind),
                         len, crc32_update(0, data, len), now,
                         static_cast<uint8_t>(first && f->window_size > 1 ? f->window_size : 0)};
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->part_index += 1;
    f->last_time = now;
    f->heard = now;
    frag_timer_moved(f);
    return 0;
}

// Whether the acknowledgement of `stored`, stored in order in f's window,
// waits for the next part (engine/window.h, AckPace): not for the first
// part (its acknowledgement accepts the window), nor the last, nor the one
// before the last (whose acknowledgement lets the last go), nor one that let
// held parts be stored (the sender learns at once that a gap is filled).
bool ack_waits(n_frag *f, const FrameView &view, const PartSummary &stored, bool released) REQUIRES(f->mu)
{
    RecvWindow *w = f->recv_window.get();
    if (w == nullptr || f->channel == nullptr)
        return false;
    const bool urgent = released || stored.index == 0 || stored.kind != kKindFragment ||
                        frag_state(f) != FRAG_ACTIVE || f->expected_total - f->done_len <= FRAG_PART_SIZE;
    const bool first_owed = w->acks.owed == 0;
    if (!w->acks.stored(urgent, stored.stored_at))
        return false;
    w->owed_part = stored;
    w->owed_req = KeptRequest(ack_request_of(view));
    if (first_owed)
        frag_timer_moved(f);
    return true;
}

// Stores the parts held ahead of their turn that are now next (each was
// acknowledged when it came).
void release_held(n_frag *f) REQUIRES(f->mu)
{
    RecvWindow *w = f->recv_window.get();
    while (w != nullptr && frag_state(f) == FRAG_ACTIVE) {
        HeldPart &h = w->held[f->part_index % w->size];
        if (!h.held || h.index != f->part_index)
            return;
        h.held = false;
        PartSummary stored{};
        if (store_bytes(f, kKindFragment, h.data, FRAG_PART_SIZE, h.seq, stored) != 0)
            return;
        remember_stored(f, stored);
    }
}

// Stores the part a fragment carries in receiving transfer f, and
// acknowledges it. 0, or -1 with the error number (nothing acknowledged).
int take_part(n_frag *f, const FrameView &view, const Descriptor &d) REQUIRES(f->mu)
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

    PartSummary stored{};
    if (store_bytes(f, kind, part.data, part.len, view.cac.len >= 2 ? view.cac.data[1] : f->part_no, stored) != 0)
        return -1;
    if (f->channel != nullptr)
        trace_part(N_TRACE_PART_STORED, f->channel, view);
    if (kind != kKindLastFragment)
        remember_stored(f, stored);
    else if (!complete(f, d, stored))
        return fail(kProto);
    const uint64_t next = f->part_index;
    release_held(f);
    if (ack_waits(f, view, stored, f->part_index != next))
        return 0;
    return acknowledge(f->channel, ack_request_of(view), stored, f);
}

// Holds a part of the window that arrived ahead of its turn, and
// acknowledges it; true when it was acknowledged. Only a whole part that
// is not the last is held (the last goes out once every other part is
// acknowledged, and is checked against the whole data when stored); a
// second copy with other bytes is ignored.
bool hold(n_frag *f, socket_record *arrival, const Fragment &frag) REQUIRES(f->mu)
{
    RecvWindow &w = *f->recv_window;
    const TupleAt part = find_tuple(frag.view, f->data_type);
    const uint64_t end = (uint64_t{frag.d.index} + 1) * FRAG_PART_SIZE;
    if (frag.kind != kKindFragment || !part || part.len != FRAG_PART_SIZE || frag.seq != static_cast<uint8_t>(frag.d.index) ||
        end >= f->expected_total || end > f->max_bytes) {
        ignore(arrival, frag.view, "not the part expected");
        return false;
    }
    HeldPart &h = w.held[frag.d.index % w.size];
    const uint32_t crc = part_crc(part);
    if (h.held && h.index == frag.d.index) {
        if (h.crc != crc) {
            ignore(arrival, frag.view, "differs from the part held");
            return false;
        }
        count(arrival->stats.duplicates);
        trace_part(N_TRACE_DUPLICATE, arrival, frag.view);
    } else {
        h.held = true;
        h.index = frag.d.index;
        h.seq = frag.seq;
        h.crc = crc;
        std::memcpy(h.data, part.data, FRAG_PART_SIZE);
        if (f->channel != nullptr)
            trace_part(N_TRACE_PART_STORED, f->channel, frag.view);
    }
    f->retries = f->channel != nullptr ? socket_retry(f->channel) : 0;
    f->last_time = frag.now;
    frag_timer_moved(f);
    const PartSummary summary{true, f->nonce, frag.d.index, frag.seq, kKindFragment, FRAG_PART_SIZE, crc, frag.now, 0};
    return acknowledge(f->channel, ack_request_of(frag.view), summary, f) == 0;
}

// The window a receiver accepts for a transfer that offers one: its own
// setting at most, and no more than its limit of bytes per transfer allows
// beside the announced length (the parts held cost window x part size).
// Without memory for it, parts come one at a time.
void accept_window(n_frag *f, const Descriptor &d, uint8_t own) REQUIRES(f->mu)
{
    if (!d.has(kDescWindow) || d.has(kDescLast) || d.window < 2 || own < 2)
        return;
    uint64_t size = std::min<uint64_t>({d.window, own, kMaxTransferWindow});
    const uint64_t room = f->max_bytes > d.total ? (uint64_t{f->max_bytes} - d.total) / FRAG_PART_SIZE : 0;
    size = std::min(size, room);
    if (size < 2)
        return;
    try {
        auto w = std::make_unique<RecvWindow>();
        w->size = static_cast<uint32_t>(size);
        w->held.resize(size);
        w->recent.resize(size);
        f->recv_window = std::move(w);
        f->window_size = static_cast<uint8_t>(size);
    } catch (const std::bad_alloc &) {
        f->recv_window.reset();
    }
}

// Receiving transfers that hold (or will hold) data for a socket, weighed
// without their locks: under way, or finished and not yet taken; the oldest
// of those let go (aborted, or finished and taken) kept for it go when there
// are many. The transfer that a new one may take the place of on a full
// table: one under way for more than two timeouts that stores parts slower
// than kSteadyParts per timeout on average, or none for its sender's whole
// window (trickling, or stalled); of those the one silent longest. A live
// sender, even one that loses a fifth of its parts, goes faster than that.
struct Table {
    int held = 0;
    FragRef evictable;
};

constexpr uint64_t kSteadyParts = 2;

bool let_go(const n_frag *f)
{
    return frag_state(f) == FRAG_ABORTED || (frag_state(f) == FRAG_FINISHED && f->taken.load());
}

Table weigh_receivers(uint64_t serial, int max_let_go, uint32_t now, const Pace &pace)
{
    Table t;
    int gone = 0;
    FragRef oldest_gone;
    for (FragRef &f : frag_snapshot()) {
        if (!frag_receiving(f.get()) || f->arrival != serial)
            continue;
        const uint32_t last = f->last_time.load(std::memory_order_relaxed);
        if (let_go(f.get())) {
            ++gone;
            if (!oldest_gone || static_cast<int32_t>(last - oldest_gone->last_time) < 0)
                oldest_gone = f;
            continue;
        }
        ++t.held;
        if (frag_state(f.get()) != FRAG_ACTIVE)
            continue;
        const uint64_t age = now - f->started;
        const bool slow = age > 2u * pace.timeout && f->part_index * uint64_t{pace.timeout} < kSteadyParts * age;
        const bool stalled = now - last > pace.window;
        if ((slow || stalled) && (!t.evictable || static_cast<int32_t>(last - t.evictable->last_time) < 0))
            t.evictable = f;
    }
    if (gone > max_let_go && oldest_gone) {
        const FragLock lock(oldest_gone.get());
        if (lock.live && let_go(oldest_gone.get()))
            frag_unregister(oldest_gone.get());
    }
    return t;
}

// How often the same first part came (the same peer and nonce, or bytes
// without a descriptor), and since when: a sender that is alive resends a
// first part that was not acknowledged; made-up and one-shot first parts come
// once. A hint only, kept under frag_mutex: what it forgets costs a newcomer
// a resend or two, never anything remembered for safety.
struct Knock {
    uint32_t since = 0;
    uint32_t times = 0;
};

struct KnockKey {
    NodeKey peer;
    uint32_t rival;
    bool operator==(const KnockKey &o) const = default;
};

struct KnockKeyHash {
    std::size_t operator()(const KnockKey &k) const { return NodeKeyHash{}(k.peer) * 131u ^ k.rival; }
};

RecentTable<KnockKey, Knock, KnockKeyHash> g_knocks GUARDED_BY(frag_mutex())(4096, 10u * 1000u);

Knock knock(const Fragment &frag, const Pace &pace)
{
    const uint32_t rival = frag.d.present ? frag.d.nonce : part_crc(frag.view.first);
    const ScopedLock lock(frag_mutex());
    Knock &k = g_knocks.touch({NodeKey::of(frag.view.srcid()), rival}, frag.now);
    if (k.times == 0 || frag.now - k.since > pace.window) {
        k.since = frag.now;
        k.times = 0;
    }
    k.times += 1;
    return k;
}

// Room for one more receiving transfer on the socket; null when there is,
// else why not. The last quarter of the table goes only to first parts that
// came more than once (their sender resends them), so one-shot fakes cannot
// fill it; a full table evicts a slow transfer only for a first part that
// keeps coming (three times over two timeouts), so fresh fakes evict
// nothing. A sender that resends as a live one does gets in; the hostile
// load is what is refused.
const char *make_room(socket_record *arrival, int max_transfers, const Fragment &frag, const Pace &pace)
{
    Table t = weigh_receivers(arrival->serial, 4 * max_transfers, frag.now, pace);
    const int reserve = max_transfers >= 4 ? max_transfers / 4 : 1;
    if (t.held < max_transfers - reserve)
        return nullptr;
    const Knock k = knock(frag, pace);
    if (t.held < max_transfers)
        return k.times >= 2 ? nullptr : "table nearly full: a first part must come again";
    if (!t.evictable || k.times < 3 || frag.now - k.since < 2u * pace.timeout)
        return "too many transfers at once";
    const FragLock lock(t.evictable.get());
    if (!lock.live || frag_state(t.evictable.get()) != FRAG_ACTIVE)
        return nullptr;  // it ended meanwhile: room all the same
    count(arrival->stats.transfers_evicted);
    frag_abort(t.evictable.get(), "evicted by a new transfer: too slow");
    return nullptr;
}

// Whether the application takes transfers with this first part: the
// socket's transfer filter (n_socket_set_transfer_filter) passes it.
bool wanted(socket_record *arrival, const FrameView &view)
{
    int filter = 0;
    {
        const ScopedLock lock(arrival->mu);
        filter = arrival->transfer_filter;
    }
    if (filter <= 0)
        return true;
    PacketPtr pkt(n_pkt_alloc());
    if (!pkt || parse_verified_frame(pkt.get(), {view.bytes, view.len}) != 0)
        return false;
    return n_filter_apply(filter, pkt.get()) == 1;
}

// The one place a receiving transfer is made: for the peer that sent
// `view`, acknowledging through `reply`, arrived on the socket with serial
// `arrival`, registered in place of `replacing` (or of nothing). Locked by
// the caller once made (who adopts the lock); empty with the error number
// when there is no memory (12), when another transfer took the peer's name
// meanwhile (`raced`, 13), or when the socket is closing (9: the transfer
// was registered and aborted at once).
FragRef new_receiver(socket_record *reply, uint64_t arrival, const FrameView &view, const Descriptor &d,
                     n_frag *replacing, uint32_t max_bytes, bool &raced)
{
    raced = false;
    // The new record is locked from the start: what it reports (an abort
    // for a closing socket) reaches the hook once that lock is let go.
    const OutputHold hold;
    FragRef f = frag_new(reply, view.srcid(), view.first.type, true);
    if (!f)
        return f;
    frag_assert_held(f.get());
    f->arrival = arrival;
    f->max_bytes = max_bytes;
    f->described = d.has(kDescFirst);
    f->nonce = d.nonce;
    f->expected_total = d.total;
    f->started = f->heard = n_util_getmstime();
    bool published = false;
    try {
        published = frag_publish(f.get(), true, replacing);
    } catch (...) {
        frag_unlock(f.get());
        throw;
    }
    if (!published) {
        raced = true;
        frag_unlock(f.get());
        return fail(kAccess), FragRef();
    }
    count(reply->stats.transfers_started);
    queue_transfer_event(reply, N_EVENT_TRANSFER_STARTED, f->id, true, f->data_type,
                         f->described ? static_cast<int64_t>(f->expected_total) : -1, nullptr);
    if (frag_socket_gone(f.get())) {
        frag_unlock(f.get());
        return fail(kBadF), FragRef();
    }
    return f;
}

enum class Started { Acknowledged, Refused, Raced };

// A first part from a node that has no transfer with us, or one that
// `replacing` (aborted) held: a new receiving transfer, unless a limit
// refuses it. Called with no transfer lock held.
Started start(socket_record *arrival, socket_record *reply, const Fragment &frag, const Pace &pace,
              n_frag *replacing)
{
    int max_transfers = 0;
    uint32_t max_bytes = 0;
    uint8_t window = 1;
    {
        const ScopedLock lock(arrival->mu);
        max_transfers = arrival->max_transfers;
        max_bytes = arrival->max_bytes;
        window = arrival->transfer_window;
    }
    const FrameView &view = frag.view;
    const char *why = nullptr;
    if (socket_quiet(arrival, frag.now))
        why = "quiet after the start";
    else if (frag.d.has(kDescFirst) && frag.d.total > max_bytes)
        why = "larger than the receiver's limit";
    else if (!wanted(arrival, view))
        why = "refused by the transfer filter";
    else
        why = make_room(arrival, max_transfers, frag, pace);
    if (why == nullptr && !ended_reserve(view.srcid(), frag.d.has(kDescFirst), frag.d.nonce))
        why = "memory of ended transfers full";
    if (why != nullptr) {
        refuse(arrival, view, why);
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
    accept_window(f.get(), frag.d, window);
    return take_part(f.get(), view, frag.d) == 0 ? Started::Acknowledged : Started::Refused;
}

// Acts on what was decided about a fragment of transfer f (null: none),
// under f's lock; true when it was acknowledged.
bool act(n_frag *f, const Decision &what, socket_record *arrival, socket_record *reply, const Fragment &frag)
    REQUIRES(f->mu)
{
    const FrameView &view = frag.view;
    const bool of_f = f != nullptr && f->described == frag.d.present && (!f->described || f->nonce == frag.d.nonce);
    if (of_f && what.verdict != Verdict::Rival)
        f->heard = frag.now;
    switch (what.verdict) {
    case Verdict::Store:
        return take_part(f, view, frag.d) == 0;
    case Verdict::Hold:
        return hold(f, arrival, frag);
    case Verdict::Reack:
        count(arrival->stats.duplicates);
        trace_part(N_TRACE_DUPLICATE, arrival, view);
        return acknowledge(f != nullptr && f->channel != nullptr ? f->channel : reply, ack_request_of(view), what.repeated,
                           of_f ? f : nullptr) == 0;
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
    case Verdict::Conflict:
        frag_abort(f, what.why);
        ignore(arrival, view, what.why);
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

namespace {

// What a fragment does, and its acknowledgement: true when one was sent or
// held back to go once the transfer's lock is let go.
bool decide_fragment(socket_record *arrival, socket_record *reply, const FrameView &view)
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
            frag_assert_held_if_any(f.get());
            if (f && !frag_receiving(f.get())) {
                ignore(arrival, view, "a transfer to that node is registered");
                return false;
            }
            const Decision what = decide(f.get(), frag, pace);
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

}  // namespace

void frag_send_owed_ack(n_frag *f, uint32_t now)
{
    RecvWindow *w = f->recv_window.get();
    if (w != nullptr && w->acks.due(now))
        acknowledge(f->channel, w->owed_req.request(), w->owed_part, f);
}

// Acknowledgements go once no transfer lock is held: a fragment counts as
// acknowledged when its acknowledgement went.
bool frag_on_fragment(socket_record *arrival, socket_record *reply, const FrameView &view)
{
    const SentFrames ack;
    return decide_fragment(arrival, reply, view) && ack.all_went();
}

}  // namespace nimbet

extern "C" {

int n_frag_init_recv(int fd, n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec)
        return fail(kInval);
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (!frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    const SentFrames ack;
    FragRef old = frag_acquire(pkt->srcid);
    bool gone = false;
    if (old) {
        const FragLock lock(old.get());
        if (lock.live && frag_state(old.get()) != FRAG_ABORTED)
            return fail(kAccess);
        n_frag *new_frag = old.get();
        frag_assert_held(new_frag);
        N_ASSERT(!new_frag->frag_data && ChunkQueue::empty(new_frag->frag_obstack),
                 "!new_frag->frag_data && TAILQ_EMPTY(&new_frag->frag_obstack)");
        gone = !lock.live;
    }
    if (gone)
        old.reset();  // deleted meanwhile: nothing to replace
    uint32_t max_bytes = 0;
    {
        const ScopedLock slock(rec->mu);
        max_bytes = rec->max_bytes;
    }
    bool raced = false;
    FragRef f = new_receiver(rec.get(), rec->serial, view, read_descriptor(view), old.get(), max_bytes, raced);
    if (!f)
        return -1;
    int stored = -1;
    {
        const FragLock lock(f.get(), std::adopt_lock);
        stored = take_part(f.get(), view, read_descriptor(view));
    }
    stored = ack.result(stored);
    if (stored == 0)
        pkt->flags |= PACKET_ACK_SENT;
    return stored;
} catch (...) {
    return failed_by_exception(n_frag_init_recv);
}

int n_frag_append(const unsigned char *id, n_pkt *pkt)
try {
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (pkt == nullptr || !frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    const SentFrames ack;
    const int stored = ack.result(with_frag(id, [&](n_frag *f) {
        frag_assert_held(f);
        return take_part(f, view, read_descriptor(view));
    }));
    if (stored == 0)
        pkt->flags |= PACKET_ACK_SENT;
    return stored;
} catch (...) {
    return failed_by_exception(n_frag_append);
}

int n_frag_get_data_file(const unsigned char *id, const char *path)
try {
    if (path == nullptr)
        return fail(kInval);
    return with_frag(id, [path](n_frag *f) {
        frag_assert_held(f);
        const int written = write_data_file(f, path);
        if (written >= 0 && frag_receiving(f) && frag_state(f) == FRAG_FINISHED)
            f->taken.store(true);
        return written;
    });
} catch (...) {
    return failed_by_exception(n_frag_get_data_file);
}

}  // extern "C"
