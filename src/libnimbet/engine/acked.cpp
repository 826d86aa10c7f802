// SPDX-License-Identifier: MIT
// Acknowledged sends without I/O: their deadlines and what replies do to them.
#include "engine/acked.h"

#include <algorithm>

namespace nimbet::engine {

Outcome answer_to(const AckedSpec &spec, const FrameView &view)
{
    const bool names_us = view.cad && view.cad.len >= kIdLen && same_id(view.cad.data, spec.self);
    if (view.cad && !names_us)
        return Outcome::Pending;  // an acknowledgement for another node
    if (!view.cac)
        return Outcome::Malformed;
    if (!names_us || view.cac.len < 2 || view.cac.data[0] != kCacReply || view.cac.data[1] != spec.q)
        return Outcome::Pending;
    RequestId echoed;
    if (spec.has_id && view.car && !(read_request_id(view, echoed) && echoed == spec.id))
        return Outcome::Pending;  // the reply to another request with this byte
    return Outcome::Acked;
}

AckedSends::Key AckedSends::key_of(const unsigned char *dest, uint8_t q)
{
    return {NodeKeyHash{}(NodeKey::of(dest)) * 257u + q};
}

void AckedSends::add(uint64_t number, const AckedSpec &spec, const RttEstimator &rtt, uint32_t now, SendShell shell)
{
    AckedSend s;
    s.number = number;
    s.spec = spec;
    s.rtt = rtt;
    s.start = s.sent_at = now;
    s.shell = std::move(shell);
    const uint64_t whole = uint64_t{static_cast<uint32_t>(std::max(spec.retry, 0))} * spec.timeout;
    s.budget = static_cast<uint32_t>(std::min<uint64_t>(whole, UINT32_MAX / 2));
    // The deadline first: an entry whose send never came in is stale.
    schedule(s);
    const auto reply = by_reply_.emplace(key_of(spec.dest, spec.q), Key{number});
    try {
        sends_.insert_or_assign(Key{number}, std::move(s));
    } catch (...) {
        by_reply_.erase(reply);
        throw;
    }
}

void AckedSends::schedule(AckedSend &s)
{
    const uint32_t left = s.budget - std::min(s.budget, s.sent_at - s.start);
    const uint32_t patience = s.spec.adaptive ? std::min(s.rtt.rto_ms(s.spec.timeout), left) : s.spec.timeout;
    s.deadline = s.sent_at + patience;
    deadlines_.push(s.deadline, s.number);
}

void AckedSends::sent_first(AckedSend &s, uint32_t now)
{
    if (now == s.start)
        return;  // its deadline stands; a second entry for it would resend it twice
    s.start = s.sent_at = now;
    schedule(s);  // the entry of the earlier deadline goes stale
}

void AckedSends::resent(AckedSend &s, uint32_t now)
{
    s.sends += 1;
    s.sent_at = now;
    schedule(s);
}

int AckedSends::next_ms(uint32_t now)
{
    uint32_t at = 0;
    const bool any = deadlines_.earliest(at, [this](uint64_t n, uint32_t when) {
        const AckedSend *s = find(n);
        return s != nullptr && s->outcome == Outcome::Pending && s->deadline == when;
    });
    return any ? ms_until(now, at) : -1;
}

AckedSend *AckedSends::find(uint64_t number)
{
    auto it = sends_.find(Key{number});
    return it != sends_.end() ? &it->second : nullptr;
}

void AckedSends::take(uint64_t number)
{
    auto it = sends_.find(Key{number});
    if (it == sends_.end())
        return;
    auto range = by_reply_.equal_range(key_of(it->second.spec.dest, it->second.spec.q));
    for (auto r = range.first; r != range.second; ++r)
        if (r->second.v == number) {
            by_reply_.erase(r);
            break;
        }
    sends_.erase(it);
    if (sends_.empty())
        deadlines_.clear();
}

}  // namespace nimbet::engine
