// SPDX-License-Identifier: MIT
// The receiver's decisions on their own: which part is stored, held, acknowledged again, starts or replaces a transfer.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "engine/receive.h"
#include "support/parts.h"

using namespace nimbet;
using namespace nimbet::test;
using engine::Decision;
using engine::PartSummary;
using engine::Receiver;
using engine::Verdict;

namespace {

const NodeId kPeer = node_id(1);
const NodeId kSelf = node_id(2);
const unsigned char kType[2] = {0x12, 0x34};
constexpr uint32_t kNonce = 77;
const engine::Pace kPace{1630, 163};  // 10 tries of 163 ms

// A part as the receiver reads it off the wire.
class Arrived {
public:
    explicit Arrived(Bytes bytes) : bytes_(std::move(bytes))
    {
        EXPECT_EQ(Reject::None, view_frame(bytes_.data(), bytes_.size(), view_));
    }
    engine::Fragment at(uint32_t now) const
    {
        const Descriptor d = read_descriptor(view_);
        return {view_, static_cast<uint8_t>(cac_kind(view_.cac.data[0])), view_.cac.data[1], d,
                d.has(kDescFirst) && (!d.has(kDescIndex) || d.index == 0), now};
    }

private:
    Bytes bytes_;
    FrameView view_;
};

Bytes bytes_of(uint32_t index) { return random_bytes(FRAG_PART_SIZE, index + 1); }

// What a receiver keeps of part `index` of transfer kNonce stored at `at`.
PartSummary summary(uint32_t index, uint32_t at, bool described = true)
{
    const Bytes b = bytes_of(index);
    return {described, described ? kNonce : 0, index, static_cast<uint8_t>(index), 1,
            static_cast<uint8_t>(b.size()), crc32_update(0, b.data(), b.size()), at, 0};
}

Arrived described(uint32_t index, uint32_t nonce = kNonce, uint8_t flags = 0, const Bytes &data = {})
{
    return Arrived(described_part(kPeer, kSelf, nonce, index, 2, data.empty() ? bytes_of(index) : data, flags,
                                  (flags & kDescFirst) != 0 ? 100 * FRAG_PART_SIZE : 0));
}

Arrived plain(uint8_t seq, const Bytes &data) { return Arrived(plain_part(kPeer, kSelf, seq, 2, data)); }

// A memory of ended transfers holding at most one of each kind.
class Ends final : public engine::EndedTransfers {
public:
    std::optional<PartSummary> by_nonce_last, plain_last;
    bool by_nonce(const unsigned char *, uint32_t nonce, PartSummary &out) const override
    {
        if (!by_nonce_last || by_nonce_last->nonce != nonce)
            return false;
        out = *by_nonce_last;
        return true;
    }
    bool plain(const unsigned char *, PartSummary &out) const override
    {
        if (!plain_last)
            return false;
        out = *plain_last;
        return true;
    }
};

// A receiving transfer of kNonce with 5 parts stored, the last at time 1000,
// heard of at 1000, in a window of 4 parts.
struct Transfer {
    std::vector<PartSummary> recent{summary(4, 1000), summary(1, 900), summary(2, 950), summary(3, 990)};
    Receiver r{FRAG_ACTIVE, false, true, kNonce, 5, 5, 1000, 0, 0, 0, summary(4, 1000), recent, kType};
};

Decision decide(const Receiver *r, const Arrived &a, uint32_t now, const Ends &ends = {})
{
    return engine::decide(r, a.at(now), kPace, ends);
}

// A part of the transfer is stored in its turn, held when it comes ahead
// of it within the window, acknowledged again when it repeats one of the
// window's last parts stored (the same bytes), and ignored otherwise.
TEST(ReceiveCore, DescribedPartIsStoredHeldOrAcknowledgedAgainByItsIndex)
{
    Transfer t;
    EXPECT_EQ(Verdict::Store, decide(&t.r, described(5), 1001).verdict);
    EXPECT_EQ(Verdict::Hold, decide(&t.r, described(8), 1001).verdict);
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, described(9), 1001).verdict) << "beyond the window";
    const Decision again = decide(&t.r, described(2), 1001);
    EXPECT_EQ(Verdict::Reack, again.verdict);
    EXPECT_EQ(2u, again.repeated.index);
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, described(2, kNonce, 0, bytes_of(7)), 1001).verdict) << "other bytes";
    EXPECT_EQ(Verdict::Reack, decide(&t.r, described(4), 1001).verdict) << "the last part stored";

    t.recent.clear();  // one part at a time: only the last part stored repeats
    t.r.recent = t.recent;
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, described(6), 1001).verdict);
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, described(2), 1001).verdict);
    EXPECT_EQ(Verdict::Reack, decide(&t.r, described(4), 1001).verdict);
    t.r.state = FRAG_FINISHED;
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, described(5), 1001).verdict) << "finished data never change";
}

// A part of no transfer under way: a repeat of an ended transfer's last
// part is acknowledged again, another part of it ignored; only a first
// part starts a transfer, and a finished one not yet taken refuses it.
TEST(ReceiveCore, PartOfNoTransferUnderWayStartsOneOnlyWhenFirst)
{
    Ends ends;
    EXPECT_EQ(Verdict::Ignore, decide(nullptr, described(3, 5), 10).verdict);
    EXPECT_EQ(Verdict::Start, decide(nullptr, described(0, 5, kDescFirst), 10).verdict);
    ends.by_nonce_last = summary(3, 0);
    ends.by_nonce_last->nonce = 5;
    EXPECT_EQ(Verdict::Reack, decide(nullptr, described(3, 5), 10, ends).verdict);
    const Decision other = decide(nullptr, described(2, 5), 10, ends);
    EXPECT_EQ(Verdict::Ignore, other.verdict);
    EXPECT_STREQ("part of a transfer that ended", other.why);

    Transfer t;
    t.r.state = FRAG_FINISHED;
    EXPECT_EQ(Verdict::Refuse, decide(&t.r, described(0, 5, kDescFirst), 1001).verdict);
    t.r.taken = true;
    EXPECT_EQ(Verdict::Start, decide(&t.r, described(0, 5, kDescFirst), 1001).verdict);
    t.r.state = FRAG_ABORTED;
    t.r.taken = false;
    EXPECT_EQ(Verdict::Start, decide(&t.r, described(0, 5, kDescFirst), 1001).verdict);
}

// Another transfer's first part while one is under way is a rival; it
// replaces the transfer when nothing was heard of that one for as long as
// its sender could retry, or when it came three times over two timeouts
// while the transfer stayed silent (its sender restarted).
TEST(ReceiveCore, RivalReplacesASilentTransferOnlyWhenItsSenderIsGoneOrRestarted)
{
    Transfer t;
    const Arrived rival = described(0, 5, kDescFirst);
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1100).verdict);
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1000 + kPace.window).verdict);
    EXPECT_EQ(Verdict::Replace, decide(&t.r, rival, 1000 + kPace.window + 1).verdict) << "stalled";

    t.r.rival = 5;
    t.r.rival_since = 1100;
    t.r.rival_seen = 2;
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1100 + 2 * kPace.timeout - 1).verdict) << "within two timeouts";
    const Decision restarted = decide(&t.r, rival, 1100 + 2 * kPace.timeout);
    EXPECT_EQ(Verdict::Replace, restarted.verdict);
    EXPECT_STREQ("restarted by its sender", restarted.why);
    t.r.rival_seen = 1;
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1100 + 2 * kPace.timeout).verdict) << "seen twice only";
    t.r.rival_seen = 2;
    t.r.heard = 1200;
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1100 + 2 * kPace.timeout).verdict) << "the transfer spoke since";
    t.r.heard = 1000;
    t.r.rival = 6;
    EXPECT_EQ(Verdict::Rival, decide(&t.r, rival, 1100 + 2 * kPace.timeout).verdict) << "another rival";
}

// Without descriptors a part is known by its sequence byte: the one
// expected is stored; the last one stored again is a repeat while its
// sender may still resend it, and with other bytes a conflict.
TEST(ReceiveCore, PlainPartGoesBySequenceByteWithinTheSendersWindow)
{
    Transfer t;
    t.r.described = false;
    t.r.nonce = 0;
    t.r.recent = {};
    t.r.last = summary(4, 1000, false);
    EXPECT_EQ(Verdict::Store, decide(&t.r, plain(5, bytes_of(5)), 1001).verdict);
    EXPECT_EQ(Verdict::Reack, decide(&t.r, plain(4, bytes_of(4)), 1000 + kPace.window).verdict);
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, plain(4, bytes_of(4)), 1001 + kPace.window).verdict) << "too late";
    const Decision conflict = decide(&t.r, plain(4, bytes_of(9)), 1001);
    EXPECT_EQ(Verdict::Conflict, conflict.verdict);
    EXPECT_EQ(Verdict::Ignore, decide(&t.r, plain(0, bytes_of(0)), 1001).verdict) << "a part 0 while one is under way";

    Ends ends;
    ends.plain_last = summary(7, 1000, false);
    EXPECT_EQ(Verdict::Reack, decide(nullptr, plain(7, bytes_of(7)), 1001, ends).verdict);
    EXPECT_EQ(Verdict::Ignore, decide(nullptr, plain(6, bytes_of(6)), 1001, ends).verdict);
    EXPECT_EQ(Verdict::Start, decide(nullptr, plain(0, bytes_of(0)), 1001, ends).verdict);
}

}  // namespace
