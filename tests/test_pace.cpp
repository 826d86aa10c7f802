// SPDX-License-Identifier: MIT
// Adaptive resends through the fault relay: bursts and blackouts survived with the default settings, no spurious resends.
#include <gtest/gtest.h>

#include "frag.h"
#include "frame.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "support/relay.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);  // sends
const NodeId kB = node_id(2);  // receives

// Two nodes with the default retry settings (10 x 163 ms), half a
// millisecond of delay each way through the relay: a LAN's round trip.
class Pace : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = relay_node(kA, true, 10, 163);
        b = relay_node(kB, false, 10, 163);
    }
    void TearDown() override
    {
        n_socket_close(a);
        n_socket_close(b);
    }
    TransferRun send(const Bytes &data, const FaultRelay &relay) { return run_transfer(a, b, kA, kB, data, relay, 60000); }

    static constexpr Faults kLan{.delay_us = 500};
    int a = -1;
    int b = -1;
};

// Eleven copies in a row of one part lost: eleven transmissions at the
// plain pace would have spent the sender's retries; resent after the
// measured round trip, backing off, they fit in its 1.63 s.
TEST_F(Pace, ElevenLossesInARowOfOnePartAreRiddenOut)
{
    FaultRelay relay(kLan, kLan, 41, {{.toward_b = true, .control = 2, .seq = -1, .nth = 1, .index = 150, .count = 11}});
    EXPECT_STREQ("identical", send(random_bytes(300 * 45, 41), relay).verdict());
}

// A second of silence both ways in the middle of a transfer: the sender
// keeps trying for retry x timeout, the receiver waits as long.
TEST_F(Pace, OneSecondBlackoutIsRiddenOut)
{
    FaultRelay relay(kLan, kLan, 42);
    const Bytes data = random_bytes(400 * 45, 42);
    const unsigned char type[2] = {0x12, 0x34};
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), type));
    pump({a, b}, [] {
        int64_t done = 0;
        n_frag_get_progress(kA.data(), &done, nullptr);
        return done >= 100 * 45;
    }, 20000);
    relay.blackout(1000);
    pump({a, b}, [] {
        return n_frag_get_status(kA.data(), FRAG_STATE_MASK) != FRAG_ACTIVE &&
               n_frag_get_status(kB.data(), FRAG_STATE_MASK) != FRAG_ACTIVE;
    }, 20000);
    Bytes got(data.size());
    EXPECT_EQ(static_cast<int64_t>(data.size()), n_frag_copy_data(kA.data(), got.data(), got.size()));
    EXPECT_EQ(data, got);
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(kB.data(), FRAG_STATE_MASK));
}

// Without loss nothing is sent twice but for the odd late reply: at most
// 10 % more data frames than parts (a loaded machine, the sanitizers, may be
// late to read a reply now and then; a timer that fires before the round
// trip would send each part twice), and the estimate follows the round trip.
TEST_F(Pace, CleanRunSendsEachPartOnce)
{
    FaultRelay relay(kLan, kLan, 43);
    const TransferRun run = send(random_bytes(400 * 45, 43), relay);
    EXPECT_STREQ("identical", run.verdict());
    EXPECT_LE(run.data_frames, 440);
    n_socket_stats st{};
    n_socket_get_stats(a, &st);
    EXPECT_GE(st.rtt_ms, 1u);
    EXPECT_LT(st.rto_ms, 163u);
}

}  // namespace
