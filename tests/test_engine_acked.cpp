// SPDX-License-Identifier: MIT
// The acknowledged-send core on its own: what a reply settles, when a send is sent again or given up, on a clock given by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "engine/acked.h"
#include "frame.h"
#include "support/frames.h"

using namespace nimbet;
using namespace nimbet::engine;
using namespace nimbet::test;

namespace {

const NodeId kSelf = node_id(1);
const NodeId kPeer = node_id(2);
const NodeId kOther = node_id(3);

AckedSpec plain_spec(uint8_t q, int retry = 3, uint32_t timeout = 100)
{
    AckedSpec s{};
    std::memcpy(s.dest, kPeer.data(), kIdLen);
    std::memcpy(s.self, kSelf.data(), kIdLen);
    s.q = q;
    s.retry = retry;
    s.timeout = timeout;
    return s;
}

using Settled = std::vector<std::pair<uint64_t, Outcome>>;

Settled settle(AckedSends &sends, const Bytes &reply, uint32_t now)
{
    FrameView view;
    EXPECT_EQ(Reject::None, view_frame(reply.data(), reply.size(), view));
    Settled got;
    sends.settle(view, now, [&](AckedSend &s) { got.emplace_back(s.number, s.outcome); });
    return got;
}

using Due = std::vector<std::pair<uint64_t, engine::Due>>;

Due expire(AckedSends &sends, uint32_t now)
{
    Due got;
    sends.expire(now, [&](AckedSend &s, engine::Due d) { got.emplace_back(s.number, d); });
    return got;
}

// A reply settles the one send whose node sent it, whose byte it carries and
// whose requester its "CAD" names; a reply without "CAC" is malformed.
TEST(AckedCore, ReplySettlesOnlyTheSendItAnswers)
{
    AckedSends sends;
    sends.add(1, plain_spec(5), RttEstimator{}, 1000, SendShell{});
    sends.add(2, plain_spec(6), RttEstimator{}, 1000, SendShell{});

    EXPECT_TRUE(settle(sends, ack_frame(kOther, kSelf, 0, 5), 1010).empty()) << "another node's reply";
    EXPECT_TRUE(settle(sends, ack_frame(kPeer, kOther, 0, 5), 1010).empty()) << "a reply to another requester";
    EXPECT_TRUE(settle(sends, ack_frame(kPeer, kSelf, 0, 7), 1010).empty()) << "a reply to another byte";
    EXPECT_EQ((Settled{{1, Outcome::Acked}}), settle(sends, ack_frame(kPeer, kSelf, 0, 5), 1010));
    EXPECT_TRUE(settle(sends, ack_frame(kPeer, kSelf, 0, 5), 1011).empty()) << "settled twice";

    // Without "CAC" a reply may answer any send to its node, but still only
    // its node's, and only one whose requester it names.
    EXPECT_TRUE(settle(sends, frame(kOther, 1, {acm(), cad(kSelf)}), 1015).empty()) << "another node's";
    EXPECT_TRUE(settle(sends, frame(kPeer, 1, {acm(), cad(kOther)}), 1015).empty()) << "another requester's";
    const Bytes no_cac = frame(kPeer, 1, {acm(), cad(kSelf)});
    EXPECT_EQ((Settled{{2, Outcome::Malformed}}), settle(sends, no_cac, 1020));
}

// The plain rule: `retry` transmissions `timeout` ms apart, then given up;
// a settled send is never due again.
TEST(AckedCore, PlainRuleResendsTimeoutApartThenGivesUp)
{
    AckedSends sends;
    sends.add(1, plain_spec(5, 3, 100), RttEstimator{}, 1000, SendShell{});
    EXPECT_EQ(100, sends.next_ms(1000));
    EXPECT_TRUE(expire(sends, 1099).empty());
    for (const uint32_t at : {1100u, 1200u}) {
        EXPECT_EQ((Due{{1, engine::Due::Resend}}), expire(sends, at)) << at;
        sends.resent(*sends.find(1), at);
    }
    EXPECT_TRUE(expire(sends, 1299).empty());
    EXPECT_EQ((Due{{1, engine::Due::GiveUp}}), expire(sends, 1300));
    EXPECT_EQ(Outcome::TimedOut, sends.find(1)->outcome);
    EXPECT_EQ(-1, sends.next_ms(1300));

    sends.add(2, plain_spec(6, 3, 100), RttEstimator{}, 2000, SendShell{});
    ASSERT_EQ(1u, settle(sends, ack_frame(kPeer, kSelf, 0, 6), 2050).size());
    EXPECT_TRUE(expire(sends, 2100).empty());
    EXPECT_EQ(-1, sends.next_ms(2100));
}

// A first transmission that leaves later than its send was entered (a busy
// machine) starts the waits: neither a resend nor the give-up comes early.
TEST(AckedCore, WaitsCountFromTheFirstTransmission)
{
    for (const bool adaptive : {false, true}) {
        AckedSends sends;
        AckedSpec spec = plain_spec(5, 1, 10);
        spec.adaptive = adaptive;
        sends.add(1, spec, RttEstimator{}, 1000, SendShell{});
        sends.sent_first(*sends.find(1), 1007);
        EXPECT_EQ(10, sends.next_ms(1007)) << adaptive;
        EXPECT_TRUE(expire(sends, 1010).empty()) << adaptive;
        EXPECT_TRUE(expire(sends, 1016).empty()) << adaptive;
        EXPECT_EQ((Due{{1, engine::Due::GiveUp}}), expire(sends, 1017)) << adaptive;

        // Sent at once: still one deadline, due once.
        sends.add(2, plain_spec(6, 2, 10), RttEstimator{}, 2000, SendShell{});
        sends.sent_first(*sends.find(2), 2000);
        EXPECT_EQ((Due{{2, engine::Due::Resend}}), expire(sends, 2010)) << adaptive;
    }
}

}  // namespace
