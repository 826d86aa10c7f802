// SPDX-License-Identifier: MIT
// The trace hook: never entered again while it runs, never under a lock, every event in before its call returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/expect.h"
#include "support/parts.h"

using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);
const unsigned char kType[2] = {0x12, 0x34};

// What the hook saw, one line per entry and per return, and how deeply it
// was ever entered.
struct Seen {
    std::vector<std::string> lines;
    int depth = 0;
    int deepest = 0;
    int fd = -1;  // the socket a frame is sent through from inside the hook
    bool sent_inside = false;

    void enter(const n_trace_info *info)
    {
        deepest = std::max(deepest, ++depth);
        lines.push_back(std::string("enter ") + n_trace_event_name(info->event));
    }
    void leave(const n_trace_info *info)
    {
        lines.push_back(std::string("leave ") + n_trace_event_name(info->event));
        --depth;
    }
    bool saw(const char *event) const
    {
        return std::find(lines.begin(), lines.end(), std::string("enter ") + event) != lines.end();
    }
};

void send_one(int fd)
{
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add(pkt, kType, kType, 2, 0);
    n_socket_send(fd, pkt);
    n_pkt_free(pkt);
}

// The hook sends a frame itself on the first event: the event that send
// raises reaches it once it has returned, not inside it.
TEST(TraceHook, IsNeverEnteredAgainWhileItRuns)
{
    const Deadline limit(5);
    Seen seen;
    seen.fd = open_node(kA);
    n_set_trace(
        [](const n_trace_info *info, void *user) {
            auto *s = static_cast<Seen *>(user);
            s->enter(info);
            if (!s->sent_inside) {
                s->sent_inside = true;
                send_one(s->fd);
            }
            s->leave(info);
        },
        &seen);
    send_one(seen.fd);
    n_set_trace(nullptr, nullptr);
    n_socket_close(seen.fd);
    EXPECT_EQ(1, seen.deepest);
    const std::vector<std::string> expected = {"enter sent", "leave sent", "enter sent", "leave sent"};
    EXPECT_EQ(expected, seen.lines);
}

// A hook that asks the library about the transfer and the socket on every
// event, while a transfer is received part by part in one thread: events
// raised while the library holds the transfer's lock wait until it is let
// go (a hook called under it would wait for it for ever: the deadline ends
// the test then), and reach the hook before the receive returns.
TEST(TraceHook, EventsRaisedUnderALockReachItBeforeTheCallReturns)
{
    const Deadline limit(5);
    const int a = open_node(kA);
    const int b = open_node(kB);
    n_socket_set_option(b, SOCKET_FRAG, 1);
    Seen seen;
    n_set_trace(
        [](const n_trace_info *info, void *user) {
            auto *s = static_cast<Seen *>(user);
            s->enter(info);
            int64_t done = 0;
            n_frag_get_status(kA.data(), FRAG_STATE_MASK);
            n_frag_get_progress(kA.data(), &done, nullptr);
            n_frag_get_frag(kA.data());
            n_socket_stats st{};
            n_socket_get_stats(info->fd, &st);
            s->leave(info);
        },
        &seen);
    const Handed first = hand_over(a, b, plain_part(kA, kB, 0, 2, {1, 2}));
    EXPECT_TRUE(seen.saw("part-stored"));
    EXPECT_TRUE(seen.saw("ack-sent"));
    const Handed last = hand_over(a, b, plain_part(kA, kB, 1, 4, {3}));
    EXPECT_TRUE(seen.saw("transfer-finished"));
    n_set_trace(nullptr, nullptr);
    EXPECT_TRUE(first.arrived && last.arrived);
    EXPECT_EQ(1, seen.deepest);
    EXPECT_EQ(FRAG_FINISHED, transfer_state(kA));
    n_socket_close(a);
    n_socket_close(b);
}

}  // namespace
