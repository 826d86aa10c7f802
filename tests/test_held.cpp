// SPDX-License-Identifier: MIT
// Frames and trace events held back while a thread holds a library lock: when they go, in what order, and what the calls that sent them report.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cerrno>
#include <vector>

#include "frag.h"
#include "held.h"
#include "send.h"
#include "socket.h"
#include "support/nodes.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const unsigned char kType[2] = {0x12, 0x34};
const unsigned char kNowhere[4] = {10, 99, 0, 1};  // no route inside the test's namespace

// A bare frame from node a, with one tuple.
std::vector<unsigned char> one_frame(socket_record *rec, Outgoing &out)
{
    out = prepare(rec);
    FrameWriter w(out.stamp.loc, out.stamp.id, out.stamp.seq);
    const unsigned char d[1] = {7};
    w.tuple(kType, d, 1);
    const auto f = w.finish();
    return {f.begin(), f.end()};
}

std::vector<n_trace_event> g_seen;

class Held : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        g_seen.clear();
        n_set_trace([](const n_trace_info *info, void *) { g_seen.push_back(info->event); }, nullptr);
    }
    void TearDown() override
    {
        n_set_trace(nullptr, nullptr);
        NodePair::TearDown();
    }
    Tap tap;
};

// Under a hold a frame waits: nothing is on the wire until the last hold
// goes, and then the frame and the trace events go in the order raised.
TEST_F(Held, FrameWaitsForTheLastHoldAndKeepsItsPlaceAmongEvents)
{
    SocketRef rec = socket_acquire(a);
    Outgoing out;
    const auto frame = one_frame(rec.get(), out);
    {
        const OutputHold outer;
        {
            const OutputHold inner;
            trace_emit(N_TRACE_IGNORED, a, nullptr, 0, nullptr, "before");
            EXPECT_EQ(1, transmit(rec.get(), out, frame, N_TRACE_PART_SENT));
            trace_emit(N_TRACE_DUPLICATE, a, nullptr, 0, nullptr);
        }
        EXPECT_TRUE(tap.drain(20).empty()) << "sent under a hold";
        EXPECT_TRUE(g_seen.empty());
    }
    const auto wire = tap.drain(50);
    ASSERT_EQ(1u, wire.size());
    EXPECT_EQ(frame, wire[0]);
    EXPECT_EQ((std::vector<n_trace_event>{N_TRACE_IGNORED, N_TRACE_PART_SENT, N_TRACE_DUPLICATE}), g_seen);
}

// A held frame that nothing takes is reported to the call that sent it,
// with its cause, and leaves the thread's error numbers as they were; a
// frame whose socket closed before it could go is not sent.
TEST_F(Held, CallLearnsWhatBecameOfItsHeldFrames)
{
    SocketRef rec = socket_acquire(a);
    Outgoing out;
    auto frame = one_frame(rec.get(), out);
    ASSERT_EQ(0, n_socket_set_ipdest(a, kNowhere));
    Outgoing nowhere;
    frame = one_frame(rec.get(), nowhere);
    {
        const SentFrames report;
        {
            const OutputHold hold;
            EXPECT_EQ(1, transmit(rec.get(), nowhere, frame, N_TRACE_PART_SENT));
            n_errno = 5;
        }
        EXPECT_EQ(5, n_errno) << "a held frame's failure is its call's, not the thread's";
        EXPECT_FALSE(report.all_went());
        EXPECT_EQ(-1, report.result(1));
        EXPECT_EQ(227, n_errno);
        EXPECT_EQ(ENETUNREACH, n_util_syserr());
    }
    {
        const SentFrames report;
        {
            const OutputHold hold;
            EXPECT_EQ(1, transmit(rec.get(), out, frame, N_TRACE_PART_SENT));
        }
        EXPECT_TRUE(report.all_went());
        EXPECT_EQ(1, report.result(1));
    }

    const int c = open_node(node_id(3));
    SocketRef closing = socket_acquire(c);
    Outgoing from_c;
    const auto frame_c = one_frame(closing.get(), from_c);
    tap.drain(20);
    {
        const SentFrames report;
        {
            const OutputHold hold;
            EXPECT_EQ(1, transmit(closing.get(), from_c, frame_c, N_TRACE_PART_SENT));
            n_socket_close(c);
        }
        EXPECT_EQ(-1, report.result(1));
        EXPECT_EQ(9, n_errno);
    }
    EXPECT_TRUE(tap.drain(30).empty());
}

// The calls that send a transfer's part, or acknowledge one, report a part
// that could not go as before: the transfer stays, for the timers to send.
TEST_F(Held, TransferCallsReportAPartThatCouldNotGo)
{
    n_socket_set_transfer_check(a, 0);
    ASSERT_EQ(0, n_socket_set_ipdest(a, kNowhere));
    const std::vector<unsigned char> data(100, 0x5A);
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_send(a, idb.data(), data.data(), static_cast<uint32_t>(data.size()), kType));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(ENETUNREACH, n_util_syserr());
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(idb.data(), FRAG_STATE_MASK));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_next_part(idb.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_TRUE(tap.drain(20).empty());

    const unsigned char loopback[4] = {127, 255, 255, 255};
    ASSERT_EQ(0, n_socket_set_ipdest(a, loopback));
    EXPECT_EQ(1, n_frag_next_part(idb.data()));
    const auto wire = tap.drain(50);
    ASSERT_EQ(1u, wire.size());

    // b takes that part, acknowledging through a socket that reaches nobody.
    const int c = open_node(node_id(3));
    ASSERT_EQ(0, n_socket_set_ipdest(c, kNowhere));
    n_pkt *part = n_pkt_alloc();
    ASSERT_EQ(0, n_pkt_parse(part, wire[0].data(), wire[0].size()));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_recv(c, part));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(0, part->flags & PACKET_ACK_SENT);
    n_pkt_free(part);
    n_frag_delete(ida.data());
    n_socket_close(c);

    // A part received and delivered as it is says whether its
    // acknowledgement went: not through a socket that reaches nobody, then
    // (the part again) through one that does.
    n_socket_set_option(b, SOCKET_FRAG | SOCKET_RECV_ALL, 1);
    for (const bool reaches : {false, true}) {
        ASSERT_EQ(0, n_socket_set_ipdest(b, reaches ? loopback : kNowhere));
        ASSERT_EQ(1, n_frag_next_part(idb.data()));
        timeval tv{1, 0};
        ASSERT_EQ(1, n_socket_select(b, &tv));
        n_pkt *got = n_socket_recv(b, b);
        ASSERT_NE(nullptr, got);
        EXPECT_EQ(reaches ? PACKET_ACK_SENT : 0u, got->flags & PACKET_ACK_SENT) << reaches;
        n_pkt_free(got);
    }
}

}  // namespace
