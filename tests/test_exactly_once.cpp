// SPDX-License-Identifier: MIT
// Acknowledged frames through the fault relay: each delivered once, and none acknowledged that was not delivered.
#include <gtest/gtest.h>

#include "support/netns.h"
#include "support/relay.h"

using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);

// Requests held back in the network 5 to 80 ms while their sender resends
// (its measured round trip is far shorter): the late original is a repeat.
TEST(ExactlyOnce, HeldBackRequestsAreDeliveredOnce)
{
    const int a = relay_node(kA, true, 10, 163);
    const int b = relay_node(kB, false, 10, 163);
    FaultRelay relay({.hold = 0.10, .hold_min_ms = 5, .hold_max_ms = 80}, {}, 7);
    const AckedRun r = run_acked(a, b, kB, 300, 100);
    EXPECT_EQ(0, r.twice);
    EXPECT_EQ(0, r.lost);
    EXPECT_EQ(300, r.acked);
    EXPECT_EQ(300, r.delivered);
    n_socket_close(a);
    n_socket_close(b);
}

// A sender that retries longer than the receiver's own settings say (20
// retries against 10): once the two have agreed on request identifiers (the
// first frame), its resends after the receiver's window are still repeats.
// (Before that, and with nodes that know only the sequence byte, the
// receiver's window is all it has.)
TEST(ExactlyOnce, SenderRetryingLongerThanTheReceiverThinksIsDeliveredOnce)
{
    const int a = relay_node(kA, true, 20, 163);
    const int b = relay_node(kB, false, 10, 100);
    // After the first, 14 acknowledgements are lost: the second frame is sent
    // for about 1.3 s, longer than b's window of 1 s.
    FaultRelay relay({}, {}, 7, {DropRule{false, 1, -1, 2, -1, 14}});
    const AckedRun r = run_acked(a, b, kB, 2, 50);
    EXPECT_EQ(2, r.acked);
    EXPECT_EQ(2, r.delivered);
    EXPECT_EQ(0, r.twice);
    n_socket_close(a);
    n_socket_close(b);
}

}  // namespace
