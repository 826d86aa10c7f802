// SPDX-License-Identifier: MIT
// The pace of a transfer's window on its own: room, growth, the response to a loss, when a part counts as lost.
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/window.h"

using nimbet::engine::AckPace;
using nimbet::engine::WindowPace;

namespace {

// Room is counted in parts not acknowledged, within the receiver's window
// from the first part not acknowledged.
TEST(WindowPaceCore, RoomCountsPartsNotAcknowledgedWithinTheReceiversWindow)
{
    WindowPace p;
    p.open(8, 10);
    EXPECT_TRUE(p.has_room(10, 10));
    p.sent_new();
    p.sent_new();
    EXPECT_FALSE(p.has_room(12, 10)) << "two in flight: the window starts at two";
    p.arrived();  // part 11 held beyond a lost part 10
    EXPECT_TRUE(p.has_room(12, 10));
    p.grow(100);
    EXPECT_EQ(4u, p.cwnd) << "two at most per acknowledgement";
    for (int i = 0; i < 10; ++i)
        p.grow(1);
    EXPECT_EQ(8u, p.cwnd) << "as wide as the receiver's window, no wider";
    EXPECT_FALSE(p.has_room(18, 10)) << "beyond the receiver's window";
    EXPECT_TRUE(p.has_room(17, 10));
}

// Growth by the parts acknowledged: at most two per acknowledgement below
// the threshold, one per half window of parts above it, never past the limit; a
// loss takes the window to 7/10 (not below 2), once per window in flight.
TEST(WindowPaceCore, GrowsByPartsAcknowledgedAndShrinksOncePerWindowOnALoss)
{
    WindowPace p;
    p.open(16, 0);
    p.grow(1);
    EXPECT_EQ(3u, p.cwnd);
    p.grow(5);
    EXPECT_EQ(5u, p.cwnd);
    for (int i = 0; i < 5; ++i)
        p.grow(1);
    EXPECT_EQ(10u, p.cwnd);

    p.lost(0, 20);
    EXPECT_EQ(7u, p.cwnd);
    EXPECT_EQ(7u, p.ssthresh);
    p.lost(5, 25);
    EXPECT_EQ(7u, p.cwnd) << "a second loss in the same window";
    p.grow(2);
    EXPECT_EQ(7u, p.cwnd);
    p.grow(1);
    EXPECT_EQ(8u, p.cwnd) << "half a window of parts acknowledged";
    p.grow(20);
    EXPECT_EQ(12u, p.cwnd);
    EXPECT_EQ(2u, p.credit);
    p.grow(1000);
    EXPECT_EQ(16u, p.cwnd);

    p.lost(20, 40);
    EXPECT_EQ(11u, p.cwnd) << "a loss past the recovery point";
    for (uint64_t at = 40; p.cwnd > 2; at += 10)
        p.lost(at, at + 10);
    p.lost(1000, 1010);
    EXPECT_EQ(2u, p.cwnd);
}

// A timeout is a loss that starts the window again at two parts; the
// overdue parts leave the pipe, so that two of them may go again.
TEST(WindowPaceCore, TimeoutStartsTheWindowAgainAtTwo)
{
    WindowPace p;
    p.open(16, 0);
    for (int i = 0; i < 4; ++i)
        p.grow(2);
    ASSERT_EQ(10u, p.cwnd);
    for (int i = 0; i < 10; ++i)
        p.sent_new();
    p.timed_out(0, 10);
    EXPECT_EQ(2u, p.cwnd);
    EXPECT_EQ(7u, p.ssthresh);
    EXPECT_FALSE(p.has_room(10, 0));
    for (int i = 0; i < 10; ++i)
        p.left_pipe();
    p.sent_new();
    p.sent_new();
    EXPECT_FALSE(p.has_room(10, 0));
    p.arrived();
    p.grow(1);
    EXPECT_EQ(3u, p.cwnd) << "slow start again, up to 7";
    p.timed_out(5, 10);
    EXPECT_EQ(2u, p.cwnd) << "every timeout starts again";
    EXPECT_EQ(7u, p.ssthresh) << "but cuts the threshold once per window";
}

// Three acknowledgements of later parts say a part was lost, or all of them
// when fewer parts went after it.
TEST(WindowPaceCore, PartIsLostAfterThreeLaterAcknowledgementsOrAllThatCanCome)
{
    EXPECT_EQ(1u, WindowPace::lost_after(1));
    EXPECT_EQ(2u, WindowPace::lost_after(2));
    EXPECT_EQ(3u, WindowPace::lost_after(3));
    EXPECT_EQ(3u, WindowPace::lost_after(64));
}

// A receiver acknowledges every second part stored in order; the first of
// two waits kDelayMs at most, on a clock given by hand (wrapping too), and
// an urgent part is answered at once with those owed.
TEST(AckPaceCore, EverySecondPartGoesAndAnOwedOneWaitsOneMillisecond)
{
    AckPace p;
    EXPECT_EQ(-1, p.left(5));
    const uint32_t t = UINT32_MAX;  // the clock wraps while one is owed
    EXPECT_TRUE(p.stored(false, t));
    EXPECT_FALSE(p.due(t));
    EXPECT_EQ(1, p.left(t));
    EXPECT_TRUE(p.due(t + 1));
    EXPECT_EQ(0, p.left(t + 5));
    EXPECT_FALSE(p.stored(false, t + 1)) << "the second part stored in order";
    EXPECT_EQ(0u, p.owed);
    EXPECT_FALSE(p.due(t + 100));

    EXPECT_TRUE(p.stored(false, 10));
    EXPECT_FALSE(p.stored(true, 10)) << "urgent";
    EXPECT_EQ(-1, p.left(10));
    EXPECT_FALSE(p.stored(true, 20));
    EXPECT_TRUE(p.stored(false, 30));
    p.sent();
    EXPECT_FALSE(p.due(40)) << "an acknowledgement went for another reason";
    EXPECT_TRUE(p.stored(false, 50)) << "counting starts again";
}

}  // namespace
