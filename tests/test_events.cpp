// SPDX-License-Identifier: MIT
// Acknowledged sends without blocking and the events of a socket: outcomes, transfers, frames kept across a wait.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "socket.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "support/peer.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);
const NodeId kC = node_id(3);

PacketPtr packet_with(unsigned char value)
{
    PacketPtr p(n_pkt_alloc());
    n_acl_add_str(p.get(), "val", &value, 1, 0);
    return p;
}

class Events : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = open_node(kA);
        n_socket_set_retry(a, 4, 50);
    }
    void TearDown() override { n_socket_close(a); }

    // Serves a as an event loop does (poll, receive, timers) until `want`
    // events came or `ms` passed; the events, oldest first.
    std::vector<n_event> events_of(int fd, std::size_t want, int ms = 3000)
    {
        std::vector<n_event> got;
        const uint32_t end = n_util_getmstime() + static_cast<uint32_t>(ms);
        while (got.size() < want && static_cast<int32_t>(n_util_getmstime() - end) < 0) {
            pollfd p{fd, POLLIN, 0};
            const int t = n_socket_next_timer(fd);
            poll(&p, 1, t < 0 || t > 10 ? 10 : t);
            while (n_pkt *pkt = n_socket_recv_timeout(fd, fd, 0))
                n_pkt_free(pkt);
            n_socket_serve_timers(fd);
            for (n_event ev; n_socket_next_event(fd, &ev, sizeof ev) == 1;)
                got.push_back(ev);
        }
        return got;
    }

    int a = -1;
};

// Started sends go on while the application receives; each outcome comes
// once, as an event with the send's number.
TEST_F(Events, AcknowledgedSendsStartedTogetherEachEndInAnEvent)
{
    PeerProcess peer(kB, SOCKET_AUTOACK);
    ASSERT_TRUE(peer.ready());
    std::vector<int64_t> numbers;
    for (unsigned char i = 0; i < 20; ++i) {
        const int64_t n = n_socket_send_acked_start(a, a, packet_with(i).get(), kB.data());
        ASSERT_GT(n, 0);
        numbers.push_back(n);
    }
    const std::vector<n_event> got = events_of(a, 20);
    ASSERT_EQ(20u, got.size());
    std::vector<int64_t> settled;
    for (const n_event &ev : got) {
        EXPECT_EQ(N_EVENT_ACKED, ev.kind);
        EXPECT_EQ(a, ev.fd);
        EXPECT_EQ(0, std::memcmp(ev.peer, kB.data(), 8));
        settled.push_back(static_cast<int64_t>(ev.request));
    }
    std::sort(settled.begin(), settled.end());
    EXPECT_EQ(numbers, settled);
    EXPECT_EQ(20, peer.stop());
}

// Nobody answers: the send is given up as the blocking call would give up
// (retry transmissions), and its event says why.
TEST_F(Events, UnansweredSendEndsNotAcknowledgedWithItsCause)
{
    n_socket_set_adaptive_retry(a, 0);
    Tap tap;
    const int64_t n = n_socket_send_acked_start(a, a, packet_with(1).get(), kB.data());
    ASSERT_GT(n, 0);
    const std::vector<n_event> got = events_of(a, 1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(N_EVENT_NOT_ACKED, got[0].kind);
    EXPECT_EQ(static_cast<uint64_t>(n), got[0].request);
    EXPECT_EQ(227, got[0].error);
    EXPECT_EQ(ETIMEDOUT, got[0].syserr);
    int requests = 0;
    for (const Bytes &f : tap.drain(30))
        requests += wire_source(f) == kA && wire_control(f).control == 0;
    EXPECT_EQ(4, requests);
    n_event none;
    EXPECT_EQ(0, n_socket_next_event(a, &none, sizeof none));
}

// Resends that cannot go out (no route) do not decide the outcome: the
// acknowledgement of the first transmission, coming later, settles the
// send, started or blocking.
TEST_F(Events, ResendsThatFailLeaveTheSendToItsAcknowledgement)
{
    const int b = open_node(kB);
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    n_socket_set_adaptive_retry(a, 0);
    const unsigned char loopback[4] = {127, 255, 255, 255}, unreachable[4] = {10, 99, 0, 1};
    // Started: the first copy waits unread at b while a's resends fail.
    const int64_t n = n_socket_send_acked_start(a, a, packet_with(1).get(), kB.data());
    ASSERT_GT(n, 0);
    ASSERT_EQ(0, n_socket_set_ipdest(a, unreachable));
    EXPECT_TRUE(events_of(a, 1, 120).empty());
    PacketPtr got(n_socket_recv_timeout(b, b, 100));
    ASSERT_NE(nullptr, got);
    std::vector<n_event> ended = events_of(a, 1);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(N_EVENT_ACKED, ended[0].kind);
    n_socket_stats stats{};
    ASSERT_EQ(0, n_socket_get_stats(a, &stats));
    EXPECT_GE(stats.retransmissions, 2u);

    // Blocking: the route goes once the first copy left.
    ASSERT_EQ(0, n_socket_set_ipdest(a, loopback));
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        n_socket_set_ipdest(a, unreachable);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PacketPtr late(n_socket_recv_timeout(b, b, 100));
        EXPECT_NE(nullptr, late);
    });
    EXPECT_EQ(1, n_socket_send_acked(a, a, packet_with(2).get(), kB.data()));
    reader.join();
    n_socket_close(b);
}

// A frame that arrives while a blocking acknowledged send waits is never
// lost: the next receive returns it, and the others after it, in order.
TEST_F(Events, FramesThatArriveDuringABlockingSendAreKeptInOrder)
{
    const int b = open_node(kB);
    for (unsigned char s = 0; s < 3; ++s) {
        const Bytes f = frame(kC, s, {payload({s})});
        ASSERT_EQ(1, n_socket_send_raw(b, f.data(), static_cast<int>(f.size())));
    }
    const Bytes reply = ack_frame(kB, kA, 0, 9);
    ASSERT_EQ(1, n_socket_send_raw(b, reply.data(), static_cast<int>(reply.size())));
    PacketPtr p = packet_with(1);
    n_pkt_set_seq(p.get(), 9);
    EXPECT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    for (unsigned char s = 0; s < 3; ++s) {
        PacketPtr got(n_socket_recv_timeout(a, 0, 100));
        ASSERT_NE(nullptr, got) << int(s);
        EXPECT_EQ(s, got->seq);
        EXPECT_EQ(0, std::memcmp(got->srcid, kC.data(), 8));
    }
    n_socket_close(b);
}

// Transfers tell the application that they started (receiver), finished
// (both) or were aborted (with the reason), without polling.
TEST_F(Events, TransfersTellTheirStartAndTheirEnd)
{
    const int b = open_node(kB);
    n_socket_set_option(a, SOCKET_FRAG, 1);
    n_socket_set_option(b, SOCKET_FRAG, 1);
    const Bytes data = random_bytes(100, 3);
    const unsigned char type[2] = {0x12, 0x34};
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), type));
    pump({a, b}, [] { return n_frag_get_status(kA.data(), FRAG_STATE_MASK) == FRAG_FINISHED; }, 3000);
    std::vector<n_event> at_b;
    for (n_event ev; n_socket_next_event(b, &ev, sizeof ev) == 1;)
        at_b.push_back(ev);
    ASSERT_EQ(2u, at_b.size());
    EXPECT_EQ(N_EVENT_TRANSFER_STARTED, at_b[0].kind);
    EXPECT_EQ(1, at_b[0].receiving);
    EXPECT_EQ(100, at_b[0].length);
    EXPECT_EQ(0, std::memcmp(at_b[0].peer, kA.data(), 8));
    EXPECT_EQ(0, std::memcmp(at_b[0].type, type, 2));
    EXPECT_EQ(N_EVENT_TRANSFER_FINISHED, at_b[1].kind);
    EXPECT_EQ(100, at_b[1].length);
    pump({a, b}, [] { return n_frag_get_status(kB.data(), FRAG_STATE_MASK) == FRAG_FINISHED; }, 3000);
    n_event at_a{};
    ASSERT_EQ(1, n_socket_next_event(a, &at_a, sizeof at_a));
    EXPECT_EQ(N_EVENT_TRANSFER_FINISHED, at_a.kind);
    EXPECT_EQ(0, at_a.receiving);

    n_frag_delete(kB.data());
    n_frag_delete(kA.data());
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), type));
    n_frag_abort(kB.data());
    n_event aborted{};
    ASSERT_EQ(1, n_socket_next_event(a, &aborted, sizeof aborted));
    EXPECT_EQ(N_EVENT_TRANSFER_ABORTED, aborted.kind);
    EXPECT_STREQ("aborted by the application", aborted.reason);
    n_socket_close(b);
}

// An older program's smaller n_event is filled only as far as it goes.
TEST_F(Events, TakingAnEventChecksItsArgumentsAndFillsOnlyTheSizeGiven)
{
    n_event ev;
    EXPECT_EQ(-1, n_socket_next_event(a, nullptr, sizeof ev));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_next_event(a, &ev, 4));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_next_event(54321, &ev, sizeof ev));
    EXPECT_EQ(9, n_errno);
    EXPECT_EQ(0, n_socket_next_event(a, &ev, sizeof ev));

    n_socket_set_retry(a, 1, 10);
    ASSERT_GT(n_socket_send_acked_start(a, a, packet_with(1).get(), kB.data()), 0);
    n_socket_set_retry(a, 4, 50);
    for (int i = 0; i < 100 && n_socket_next_timer(a) >= 0; ++i) {
        poll(nullptr, 0, 5);
        n_socket_serve_timers(a);
    }
    std::memset(&ev, 0x55, sizeof ev);
    ASSERT_EQ(1, n_socket_next_event(a, &ev, offsetof(n_event, peer)));
    EXPECT_EQ(N_EVENT_NOT_ACKED, ev.kind);
    EXPECT_EQ(0x55, ev.peer[0]);  // beyond the size given: untouched
}

}  // namespace
