// SPDX-License-Identifier: MIT
// Deadlines of waits: receive timeouts that end before the deadline, polls cut for the system's allowance.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "deadline.h"
#include "socket.h"
#include "support/nodes.h"

using namespace nimbet;
using nimbet::test::NodePair;

namespace {

// The latest a blocking read given `timeout` ms ends, by the rules of the
// system's timers: the timeout rounded up to whole ticks, up to two ticks
// before the timer starts counting, and the step of the timer wheel's level
// (8^n ticks from 63 x 8^(n-1) ticks on), by which a long timer ends late.
int64_t latest_read_end(int timeout, int tick)
{
    const int64_t ticks = (static_cast<int64_t>(timeout) + tick - 1) / tick;
    int64_t step = 1;
    for (int64_t level_start = 63; ticks >= level_start; level_start *= 8)
        step *= 8;
    return (ticks + 2 + step - 1) * tick;
}

std::vector<int> wait_lengths()
{
    std::vector<int> ms;
    for (int i = 0; i <= 5000; ++i)
        ms.push_back(i);
    for (int i : {10000, 65535, 100000, 1000000, 60000000, INT_MAX - 1, INT_MAX})
        ms.push_back(i);
    return ms;
}

// The receive timeout set on the socket, in milliseconds (0: none).
int64_t receive_timeout_ms(int fd)
{
    timeval tv{};
    socklen_t len = sizeof tv;
    EXPECT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

}  // namespace

TEST(Deadline, ReadTimeoutEndsBeforeTheWaitHoweverLateTheSystemIs)
{
    for (const int tick : {1, 4, 10})
        for (const int ms : wait_lengths()) {
            const int timeout = read_timeout_for(ms, tick);
            if (timeout == 0) {
                // Refused only where a read could not end in time.
                EXPECT_LT(ms, 5 * tick) << ms << " ms, tick " << tick;
                continue;
            }
            EXPECT_GE(timeout, tick) << ms;
            EXPECT_LE(latest_read_end(timeout, tick), ms) << ms << " ms, tick " << tick;
            // A long wait is served mostly by the read itself.
            if (ms >= 200) {
                EXPECT_GE(timeout, ms / 2) << ms << " ms, tick " << tick;
            }
        }
}

TEST(Deadline, ReadTimeoutSetOnceServesAShrinkingWaitUntilItEndsTooLate)
{
    const int tick = 4;
    for (const int ms : {100, 1000, INT_MAX}) {
        const int set = read_timeout_to_set(ms, tick);
        ASSERT_TRUE(read_timeout_fits(set, ms, tick)) << ms;
        EXPECT_LE(set, read_timeout_for(ms, tick));
        // What is left of the wait after a datagram: the same timeout
        // serves while it still ends before the deadline.
        int left = ms;
        while (left > 0 && read_timeout_fits(set, left, tick))
            --left;
        EXPECT_GE(ms - left, kReadTimeoutSlack / 2) << ms;
        if (left > 0) {
            EXPECT_GT(set, read_timeout_for(left, tick)) << ms;
        }
    }
    EXPECT_TRUE(read_timeout_fits(0, -1, tick));
    EXPECT_FALSE(read_timeout_fits(0, 1000, tick));   // none set: the read would outlast the wait
    EXPECT_FALSE(read_timeout_fits(500, -1, tick));   // a wait without limit must not end
    EXPECT_FALSE(read_timeout_fits(read_timeout_for(1000, tick) + 1, 1000, tick));
    EXPECT_FALSE(read_timeout_fits(read_timeout_for(1000, tick) - kReadTimeoutSlack - 1, 1000, tick));
    EXPECT_EQ(0, read_timeout_to_set(-1, tick));
}

TEST(Deadline, PollIsCutShortByTheSystemsAllowanceOnlyWhereItMatters)
{
    constexpr int64_t kMs = 1000000;
    EXPECT_EQ(0, poll_span_ns(0));
    EXPECT_EQ(0, poll_span_ns(-5));
    for (const int64_t left : {kMs, 10 * kMs, 10 * kMs + 1, 999 * kMs, 86400000 * kMs, INT64_MAX / 2}) {
        const int64_t span = poll_span_ns(left);
        EXPECT_GT(span, 0) << left;
        if (left <= 10 * kMs) {
            EXPECT_EQ(left, span);  // late by the fixed slack of 50 µs at most: one poll
        } else {
            // A lower-priority thread's allowance of a two-hundredth: still on time.
            EXPECT_LE(span + span / 200, left) << left;
        }
    }
}

class WaitTimeout : public NodePair {
protected:
    // Sends one frame from a to b, so that a wait on b returns at once.
    void frame_to_b()
    {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, "tmp", reinterpret_cast<const unsigned char *>("1"), 1, 0);
        ASSERT_EQ(1, n_socket_send(a, pkt));
        n_pkt_free(pkt);
        timeval tv{1, 0};
        ASSERT_EQ(1, n_socket_select(b, &tv));
    }
};

// A blocking read serves a wait on a blocking socket that one thread reads:
// the receive timeout it sets ends before the wait's deadline, and is no
// timeout at all for a wait without limit. The longest wait there is set no
// bogus timeout either.
TEST_F(WaitTimeout, ReceiveTimeoutOfABlockingReadEndsBeforeTheWait)
{
    ASSERT_EQ(0, n_socket_set_option(b, SOCKET_BLOCKING, 1));
    for (const int ms : {200, 1000, 60000, INT_MAX}) {
        frame_to_b();
        PacketPtr got(n_socket_recv_timeout(b, 0, ms));
        ASSERT_NE(nullptr, got) << ms;
        const int64_t set = receive_timeout_ms(b);
        EXPECT_GT(set, 0) << ms;
        EXPECT_LE(latest_read_end(static_cast<int>(set), system_tick_ms()), ms) << ms;
        EXPECT_GE(set, ms / 2) << ms;
    }
    frame_to_b();
    PacketPtr got(n_socket_recv(b, 0));
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(0, receive_timeout_ms(b));
}
