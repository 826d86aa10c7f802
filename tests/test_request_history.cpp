// SPDX-License-Identifier: MIT
// Repeated requests on a stopped clock: a byte back after its sender's window is new; its resends are repeats.
#include <gtest/gtest.h>

#include "support/clock.h"
#include "support/parts.h"

using namespace nimbet::test;

namespace {

// Node b's peers resend a request for at most 10 x 163 ms.
constexpr uint32_t kWindow = 10 * 163;

class RequestHistory : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_option(b, SOCKET_AUTOACK, 1);
        n_socket_set_retry(b, 10, 163);
    }
    // Node a's request with sequence byte q reaches node b: whether b's
    // application gets it.
    bool delivered(unsigned char q)
    {
        const Handed h = hand_over(a, b, frame(ida, q, {payload({q}), cad(idb), cac(0, q)}));
        EXPECT_TRUE(h.arrived);
        if (h.packet == nullptr)
            return false;
        n_pkt_free(h.packet);
        return true;
    }

    StoppedClock clock;
};

TEST_F(RequestHistory, ByteBackAfterTheWindowIsANewRequestAndItsResendsAreRepeats)
{
    clock.at(0);
    EXPECT_TRUE(delivered(40));
    clock.at(kWindow);  // the last moment its sender may resend it
    EXPECT_FALSE(delivered(40));
    clock.at(kWindow + 1);
    EXPECT_TRUE(delivered(40));  // a new request (a restarted node's counter)
    clock.at(kWindow + 2);
    EXPECT_FALSE(delivered(40));  // resent
    clock.at(2 * kWindow + 1);
    EXPECT_FALSE(delivered(40));  // still within the new request's window
    EXPECT_EQ(3u, stats_of(b).duplicates);
    EXPECT_EQ(5u, stats_of(b).acks_sent);  // every copy is acknowledged
}

}  // namespace
