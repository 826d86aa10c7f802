// SPDX-License-Identifier: MIT
// Receiving a frame's bytes: the receive of a packet, handed out as the frame, its sender and its flags in one call.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "support/frames.h"
#include "support/nodes.h"

using namespace nimbet::test;

namespace {

class FrameReceive : public NodePair {
protected:
    void send_raw(const Bytes &f) { ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size()))); }

    // Waits until b has a datagram to read.
    void await_datagram()
    {
        timeval tv{1, 0};
        ASSERT_EQ(1, n_socket_select(b, &tv));
    }

    unsigned char buf[SOCKET_RECV_BUFFER]{};
};

TEST_F(FrameReceive, HandsOutTheFrameAsItCameWithItsSenderAndWhetherItWasAcknowledged)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    Tap tap;
    const Bytes request = frame(ida, 5, {payload({1, 2, 3}), cad(idb), cac(0, 9)});
    send_raw(request);
    sockaddr_in from{};
    uint32_t flags = 0;
    ASSERT_EQ(static_cast<int>(request.size()), n_socket_recv_frame(b, b, 1000, 0, buf, sizeof buf, &from, &flags));
    EXPECT_EQ(0, std::memcmp(buf, request.data(), request.size()));
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_EQ(htons(kNodePort), from.sin_port);
    EXPECT_EQ(127u, ntohl(from.sin_addr.s_addr) >> 24);
    EXPECT_NE(0u, flags & PACKET_ACK_SENT);
    EXPECT_EQ(1, acks_seen(tap.drain(50), idb, ida));

    // A frame for everybody is nobody's to acknowledge; sender and flags may be left out.
    const Bytes everybody = frame(ida, 6, {payload({4}), payload({5, 6})});
    send_raw(everybody);
    ASSERT_EQ(static_cast<int>(everybody.size()), n_socket_recv_frame(b, b, 1000, 0, buf, sizeof buf, nullptr, &flags));
    EXPECT_EQ(0, std::memcmp(buf, everybody.data(), everybody.size()));
    EXPECT_EQ(0u, flags & PACKET_ACK_SENT);
    send_raw(everybody);
    EXPECT_EQ(static_cast<int>(everybody.size()), n_socket_recv_frame(b, b, 1000, 0, buf, sizeof buf, nullptr, nullptr));
}

// The flags are those of the packet that a receive makes of the same frame:
// a request (acknowledged on receipt), a frame for everybody, and one whose
// "CAC" is too short to ask for anything.
TEST_F(FrameReceive, FlagsAreThoseOfThePacketOfTheSameFrame)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    const auto shapes = [&](unsigned char seq) {
        return std::vector<Bytes>{frame(ida, seq, {payload({1}), cad(idb), cac(0, seq)}), frame(ida, seq, {payload({2})}),
                                  frame(ida, seq, {payload({3}), WireTuple{0x66, 0x40, {0}}})};
    };
    for (std::size_t i = 0; i < shapes(0).size(); ++i) {
        const Bytes first = shapes(static_cast<unsigned char>(10 + i))[i];
        send_raw(first);
        uint32_t flags = 0;
        ASSERT_EQ(static_cast<int>(first.size()), n_socket_recv_frame(b, b, 1000, 0, buf, sizeof buf, nullptr, &flags));
        send_raw(shapes(static_cast<unsigned char>(20 + i))[i]);
        n_pkt *pkt = n_socket_recv_timeout(b, b, 1000);
        ASSERT_NE(nullptr, pkt);
        EXPECT_EQ(pkt->flags, flags) << "shape " << i;
        EXPECT_EQ(i == 0, (flags & PACKET_ACK_REQUESTED) != 0) << "shape " << i;
        n_pkt_free(pkt);
    }
}

// Within one wait, frames the chain refuses are passed over, and a request
// among them is not acknowledged; what passes ends the wait.
TEST_F(FrameReceive, AChainPassesOverRefusedFramesWithinTheWaitAndLeavesThemUnacknowledged)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    Tap tap;
    const NodeId kC = node_id(3);
    send_raw(frame(ida, 1, {payload({1}), cad(idb), cac(0, 7)}));
    send_raw(frame(ida, 2, {payload({3})}));  // for everybody
    const Bytes from_c = frame(kC, 1, {payload({2}), cad(idb), cac(0, 7)});
    send_raw(from_c);
    const int chain = chain_passing_only(kC);
    ASSERT_EQ(static_cast<int>(from_c.size()), n_socket_recv_frame(b, b, 1000, chain, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(buf, from_c.data(), from_c.size()));
    const std::vector<Bytes> seen = tap.drain(50);
    EXPECT_EQ(0, acks_seen(seen, idb, ida));
    EXPECT_EQ(1, acks_seen(seen, idb, kC));

    // What waits now and is refused is taken: nothing passes, 11.
    send_raw(frame(ida, 3, {payload({4})}));
    await_datagram();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_recv_frame(b, b, 0, chain, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(N_EAGAIN, n_errno);
    timeval zero{0, 0};
    EXPECT_EQ(0, n_socket_select(b, &zero));
}

TEST_F(FrameReceive, ABufferTooShortIsRefusedBeforeAnythingIsRead)
{
    send_raw(frame(ida, 1, {payload({1})}));
    await_datagram();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_recv_frame(b, b, 0, 0, buf, SOCKET_RECV_BUFFER - 1, nullptr, nullptr));
    EXPECT_EQ(N_EINVAL, n_errno);
    EXPECT_EQ(-1, n_socket_recv_frame(b, b, 0, 0, nullptr, SOCKET_RECV_BUFFER, nullptr, nullptr));
    EXPECT_EQ(N_EINVAL, n_errno);
    timeval zero{0, 0};
    EXPECT_EQ(1, n_socket_select(b, &zero));  // still there
}

TEST_F(FrameReceive, FailsWithTheNumbersOfAReceiveAndOfTheFilter)
{
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_recv_frame(b, b, 0, 0, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(N_EAGAIN, n_errno);
    EXPECT_EQ(-1, n_socket_recv_frame(54321, 0, 0, 0, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(N_EBADF, n_errno);
    send_raw(frame(ida, 1, {payload({1})}));
    await_datagram();
    EXPECT_EQ(-1, n_socket_recv_frame(b, b, 0, 4711, buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(N_ENOENT, n_errno);
}

}  // namespace
