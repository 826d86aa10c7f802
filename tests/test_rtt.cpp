// SPDX-License-Identifier: MIT
// The round-trip estimate to the exact millisecond, and how a sending transfer feeds it and waits by it.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "rtt.h"
#include "support/clock.h"
#include "support/parts.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

// ---------------------------------------------------------------- the estimate alone

TEST(RoundTripEstimate, WaitsTheWholeTimeoutUntilTheFirstSample)
{
    RttEstimator e;
    EXPECT_EQ(163u, e.rto_ms(163));
    e.timed_out();
    EXPECT_EQ(163u, e.rto_ms(163));
    EXPECT_EQ(0u, e.srtt_ms());
}

struct Samples {
    std::vector<uint32_t> ms;
    uint32_t srtt;  // the smoothed round trip they leave, rounded
    uint32_t rto;   // the wait they leave, under a ceiling of 1000 ms
};

void PrintTo(const Samples &s, std::ostream *os)
{
    *os << "Ms";
    for (uint32_t ms : s.ms)
        *os << "_" << ms;
}

class RoundTripSamples : public testing::TestWithParam<Samples> {};

// The first sample is the round trip, with half of it as its deviation
// (wait: 3 x the sample); each later one moves the round trip by an eighth
// of the difference and the deviation a quarter of the way to it; the wait
// is the round trip, rounded up, plus four deviations.
TEST_P(RoundTripSamples, GiveTheEstimateAndTheWait)
{
    RttEstimator e;
    for (uint32_t ms : GetParam().ms)
        e.sample(ms);
    EXPECT_EQ(GetParam().srtt, e.srtt_ms());
    EXPECT_EQ(GetParam().rto, e.rto_ms(1000));
}

INSTANTIATE_TEST_SUITE_P(Exact, RoundTripSamples,
                         testing::Values(Samples{{100}, 100, 300},         // 100 + 4 x 50
                                         Samples{{100, 20}, 90, 320},      // 100 - 80/8; 50 - 50/4 + 80/4
                                         Samples{{100, 20, 90}, 90, 263},  // deviation 57.5 - 57.5/4, in quarters
                                         Samples{{100, 180}, 110, 340},    // later and longer
                                         Samples{{10, 13}, 10, 29}),       // 10.375 rounds to 10, up to 11
                         testing::PrintToStringParamName());

TEST(RoundTripEstimate, EachTimeoutInARowDoublesTheWaitUntilTheNextSample)
{
    RttEstimator e;
    e.sample(100);
    ASSERT_EQ(300u, e.rto_ms(1000));
    e.timed_out();
    EXPECT_EQ(600u, e.rto_ms(1000));
    e.timed_out();
    EXPECT_EQ(1000u, e.rto_ms(1000));  // 1200, held at the ceiling
    EXPECT_EQ(1200u, e.rto_ms(UINT32_MAX));
    for (int i = 0; i < 30; ++i)
        e.timed_out();
    EXPECT_EQ(300u << 16, e.rto_ms(UINT32_MAX));  // doubled 16 times at most
    e.sample(100);
    EXPECT_EQ(250u, e.rto_ms(UINT32_MAX));  // 100 + 4 x 37.5: the doubling is over
}

TEST(RoundTripEstimate, WaitStaysBetweenTheFloorAndTheTimeout)
{
    RttEstimator e;
    e.sample(0);
    EXPECT_EQ(kMinRtoMs, e.rto_ms(163));
    EXPECT_EQ(2u, e.rto_ms(2));  // a timeout below the floor wins
    e.sample(1);
    EXPECT_EQ(kMinRtoMs, e.rto_ms(163));
    RttEstimator slow;
    slow.sample(1000);
    EXPECT_EQ(163u, slow.rto_ms(163));
    RttEstimator absurd;
    absurd.sample(UINT32_MAX);  // held at about 17 minutes: no overflow
    EXPECT_EQ(1u << 20, absurd.srtt_ms());
}

// ---------------------------------------------------------------- a sending transfer

const unsigned char kType[2] = {0x12, 0x34};

// Node a sends 150 bytes (parts of 45, 45, 45 and 15 bytes) to node b,
// resending after the measured round trip, at most after 1000 ms. Node b's
// socket only carries the acknowledgements made by hand; the clock moves
// only when the test says so.
class RoundTripOfATransfer : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_retry(a, 10, 1000);
        n_socket_set_transfer_check(a, 0);
        ASSERT_EQ(0, n_socket_set_adaptive_retry(a, 1));
        const Bytes data = random_bytes(150, 1);
        ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), idb.data(), kType));
    }
    void after(uint32_t ms) { clock_.advance(ms); }
    // Node b acknowledges part `seq` (one of those before the last).
    void acknowledge(unsigned char seq)
    {
        const Handed h = hand_over(b, a, ack_frame(idb, ida, 2, seq));
        ASSERT_TRUE(h.arrived);
        if (h.packet != nullptr)
            n_pkt_free(h.packet);
    }
    void resend_due()
    {
        ASSERT_EQ(0, n_socket_next_timer(a));
        n_socket_serve_timers(a);
    }
    int64_t acknowledged() const
    {
        int64_t done = 0;
        n_frag_get_progress(idb.data(), &done, nullptr);
        return done;
    }

private:
    StoppedClock clock_;
};

// A part sent twice gives no sample when acknowledged (either copy may be
// the one answered); a part sent once does. A resend waits twice as long as
// the one before, and an acknowledgement, even of a resent part, ends that.
TEST_F(RoundTripOfATransfer, OnlyPartsSentOnceAreMeasuredAndTimeoutsBackOffUntilAnAnswer)
{
    EXPECT_EQ(1000, n_socket_next_timer(a));  // no estimate yet
    after(1001);
    resend_due();
    after(10);
    acknowledge(0);
    ASSERT_EQ(45, acknowledged());
    EXPECT_EQ(0u, stats_of(a).rtt_ms);  // part 0 went out twice: no sample

    after(30);
    acknowledge(1);
    ASSERT_EQ(90, acknowledged());
    EXPECT_EQ(30u, stats_of(a).rtt_ms);
    EXPECT_EQ(90u, stats_of(a).rto_ms);
    EXPECT_EQ(90, n_socket_next_timer(a));

    after(90);
    resend_due();
    EXPECT_EQ(180, n_socket_next_timer(a));
    after(180);
    resend_due();
    EXPECT_EQ(360, n_socket_next_timer(a));

    after(5);
    acknowledge(2);
    ASSERT_EQ(135, acknowledged());
    EXPECT_EQ(30u, stats_of(a).rtt_ms);  // part 2 went out three times: no sample
    EXPECT_EQ(90, n_socket_next_timer(a));
}

}  // namespace
