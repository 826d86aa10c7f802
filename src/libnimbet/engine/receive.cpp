// SPDX-License-Identifier: MIT
// What a receiver does with a transfer's part, decided without I/O.
#include "engine/receive.h"

#include "nimbet/nimbet.h"

namespace nimbet::engine {

uint32_t part_crc(const TupleAt &part) { return crc32_update(0, part.data, part.len); }

namespace {

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

// A plain part (no descriptor) with the sequence byte and kind of the part
// stored last, within its sender's window, but other bytes: one of the two
// is a copy of the part 256 before, and the transfer cannot tell which.
bool conflicts(const PartSummary &p, const Fragment &frag, const TupleAt &part, const Pace &pace)
{
    if (!part || p.described || frag.d.present || frag.seq != p.seq || frag.kind != p.kind)
        return false;
    if (frag.now - p.stored_at > pace.window)
        return false;
    return part.len != p.len || part_crc(part) != p.crc;
}

// A transfer under way that nothing has been heard of for longer than its
// sender could still be retrying one part: the sender is gone.
bool stalled(const Receiver &f, const Fragment &frag, const Pace &pace) { return frag.now - f.heard > pace.window; }

// The first part of a new transfer keeps arriving while the transfer under
// way is silent: three sightings over two timeouts, none of the old one
// after the first. A sender that restarted retries its first part like
// that; a late or forged copy does not, and a live transfer is not silent.
bool rival_prevails(const Receiver &f, uint32_t rival, const Fragment &frag, const Pace &pace)
{
    const bool known = f.rival_seen > 0 && f.rival == rival;
    const uint32_t seen = known ? f.rival_seen + 1 : 1;
    const uint32_t since = known ? f.rival_since : frag.now;
    const bool silent = static_cast<int32_t>(f.heard - since) <= 0;
    return seen >= 3 && frag.now - since >= 2u * pace.timeout && silent;
}

// A first part from a peer whose transfer `f` (if any) is not this one.
Decision decide_newcomer(const Receiver *f, const Fragment &frag, const Pace &pace)
{
    if (f == nullptr || f->state == FRAG_ABORTED || (f->state == FRAG_FINISHED && f->taken))
        return {Verdict::Start};
    if (f->state == FRAG_FINISHED)
        return {Verdict::Refuse, "previous transfer not yet taken"};
    // Between nodes without descriptors a part 0 is the next part or
    // nothing: an active transfer ends by its own timer.
    if (!f->described && !frag.d.present)
        return {Verdict::Ignore, "not the part expected"};
    if (stalled(*f, frag, pace))
        return {Verdict::Replace, "stalled, replaced by a new transfer"};
    const uint32_t rival = frag.d.present ? frag.d.nonce : part_crc(frag.view.first);
    if (rival_prevails(*f, rival, frag, pace))
        return {Verdict::Replace, "restarted by its sender"};
    return {Verdict::Rival, "a transfer from that node is under way"};
}

// A part with a descriptor: its nonce says which transfer it belongs to.
Decision decide_described(const Receiver *f, const Fragment &frag, const Pace &pace, const EndedTransfers &ended)
{
    if (f != nullptr && f->described && frag.d.nonce == f->nonce) {
        if (f->state == FRAG_ACTIVE && frag.d.has(kDescIndex) && frag.d.index == f->part_index)
            return {Verdict::Store};
        if (const auto size = f->recent.size(); size != 0 && frag.d.has(kDescIndex)) {
            const uint64_t at = frag.d.index;
            if (f->state == FRAG_ACTIVE && at > f->part_index && at < f->part_index + size)
                return {Verdict::Hold};
            const PartSummary &p = f->recent[at % size];
            if (at < f->part_index && f->part_index - at <= size && p.index == at &&
                repeats(p, frag, find_tuple(frag.view, f->data_type), pace))
                return {Verdict::Reack, nullptr, p};
        }
        if (f->part_index > 0 && repeats(f->last, frag, find_tuple(frag.view, f->data_type), pace))
            return {Verdict::Reack, nullptr, f->last};
        return {Verdict::Ignore, "not the part expected"};
    }
    if (PartSummary last{}; ended.by_nonce(frag.view.srcid(), frag.d.nonce, last)) {
        if (repeats(last, frag, frag.view.first, pace))
            return {Verdict::Reack, nullptr, last};
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
Decision decide_plain(const Receiver *f, const Fragment &frag, const Pace &pace, const EndedTransfers &ended)
{
    if (f != nullptr && !f->described) {
        const TupleAt part = find_tuple(frag.view, f->data_type);
        if (f->state == FRAG_ACTIVE && frag.seq == f->part_no)
            return {Verdict::Store};
        if (f->state != FRAG_ABORTED && f->part_index > 0 && repeats(f->last, frag, part, pace))
            return {Verdict::Reack, nullptr, f->last};
        if (f->state == FRAG_ACTIVE && f->part_index > 0 && conflicts(f->last, frag, part, pace))
            return {Verdict::Conflict, "two different parts for one sequence byte"};
    }
    if (PartSummary last{}; ended.plain(frag.view.srcid(), last) && repeats(last, frag, frag.view.first, pace))
        return {Verdict::Reack, nullptr, last};
    if (frag.seq != 0)
        return {Verdict::Ignore, f != nullptr ? "not the part expected" : "part of no transfer"};
    return decide_newcomer(f, frag, pace);
}

}  // namespace

Decision decide(const Receiver *f, const Fragment &frag, const Pace &pace, const EndedTransfers &ended)
{
    return frag.d.present ? decide_described(f, frag, pace, ended) : decide_plain(f, frag, pace, ended);
}

}  // namespace nimbet::engine
