// SPDX-License-Identifier: MIT
// Sending: frames as they arrive on a plain UDP socket, sequence numbers, header filling, destinations.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "socket.h"
#include "support/netns.h"
#include "support/udp_listener.h"

using namespace nimbet;
using nimbet::test::UdpListener;
using nimbet::test::create_veth;
using nimbet::test::require_only_own_interfaces;

namespace {

constexpr uint16_t kPort = 47101;
using Bytes = std::vector<unsigned char>;

n_pkt *packet_with(const Bytes &data)
{
    n_pkt *p = n_pkt_alloc();
    n_acl_add_str(p, "tmp", data.data(), static_cast<uint16_t>(data.size()), 0);
    return p;
}

Bytes slice(const Bytes &frame, std::size_t off, std::size_t len)
{
    return Bytes(frame.begin() + static_cast<long>(off), frame.begin() + static_cast<long>(off + len));
}

class Sending : public testing::Test {
protected:
    void SetUp() override
    {
        require_only_own_interfaces();
        fd_ = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.0.0.1"), kPort);
        ASSERT_GT(fd_, 0);
    }
    void TearDown() override { n_socket_close(fd_); }

    // Sends a packet and returns the frame as it arrived.
    Bytes send(n_pkt *p)
    {
        EXPECT_EQ(1, n_socket_send(fd_, p));
        return listener_.receive();
    }

    UdpListener listener_{kPort, INADDR_LOOPBACK};
    int fd_ = -1;
};

TEST_F(Sending, FrameHoldsHeaderTuplesAndCrc)
{
    unsigned char loc[44];
    for (int i = 0; i < 44; ++i)
        loc[i] = static_cast<unsigned char>(100 + i);
    n_socket_set_loc(fd_, loc);
    n_pkt *p = packet_with({0xAB, 0xCD});
    const Bytes frame = send(p);

    ASSERT_EQ(61u, frame.size());
    EXPECT_EQ(2, frame[0]);
    EXPECT_EQ(Bytes(loc, loc + 44), slice(frame, 1, 44));
    EXPECT_EQ((Bytes{1, 1, 1, 1, 127, 0, 0, 1}), slice(frame, 45, 8));
    EXPECT_EQ(n_socket_get_last_seq(fd_), frame[53]);
    const unsigned char *type = n_util_str2acl("tmp", nullptr);
    EXPECT_EQ((Bytes{type[0], type[1], 2, 0xAB, 0xCD}), slice(frame, 54, 5));
    EXPECT_EQ(1, n_util_crc16_check(frame.data(), static_cast<unsigned>(frame.size())));
    n_pkt_free(p);
}

TEST_F(Sending, FreshPacketsTakeTheNextSequenceNumbersWrappingAt256)
{
    const uint8_t start = n_socket_get_last_seq(fd_);
    n_pkt *a = packet_with({1});
    n_pkt *b = packet_with({2});
    EXPECT_EQ(static_cast<uint8_t>(start + 1), send(a).at(53));
    EXPECT_EQ(static_cast<uint8_t>(start + 2), send(b).at(53));
    EXPECT_EQ(static_cast<uint8_t>(start + 2), n_socket_get_last_seq(fd_));

    socket_acquire(fd_)->last_seq = 255;
    n_pkt *c = packet_with({3});
    EXPECT_EQ(0, send(c).at(53));
    for (n_pkt *p : {a, b, c})
        n_pkt_free(p);
}

TEST_F(Sending, CallerSetSequenceNumberServesOneSend)
{
    const uint8_t start = n_socket_get_last_seq(fd_);
    n_pkt *p = packet_with({1});
    n_pkt_set_seq(p, 7);
    EXPECT_EQ(7, send(p).at(53));
    EXPECT_EQ(start, n_socket_get_last_seq(fd_));
    EXPECT_EQ(static_cast<uint8_t>(start + 1), send(p).at(53));
    n_pkt_free(p);
}

TEST_F(Sending, FirstSendFixesLocationAndIdentifierOfAPacket)
{
    n_pkt *p = packet_with({1});
    const Bytes first = send(p);
    n_socket_set_id_str(fd_, "9.9.9.9.9.9.9.9");
    unsigned char loc[44];
    std::memset(loc, 7, sizeof loc);
    n_socket_set_loc(fd_, loc);
    const Bytes again = send(p);
    EXPECT_EQ(slice(first, 1, 52), slice(again, 1, 52));

    // A received packet counts as unset and takes the socket's current values.
    n_pkt *received = n_pkt_alloc();
    ASSERT_EQ(0, n_pkt_parse(received, again.data(), static_cast<unsigned>(again.size())));
    const Bytes resent = send(received);
    EXPECT_EQ(Bytes(loc, loc + 44), slice(resent, 1, 44));
    EXPECT_EQ(Bytes(8, 9), slice(resent, 45, 8));
    n_pkt_free(p);
    n_pkt_free(received);
}

TEST_F(Sending, LongTupleAreaOfAnAssembledPacketIsSentWhole)
{
    // Tuples added as oversize and one removed again: an ordinary packet with
    // a 406-byte tuple area, larger than any frame built by plain adds.
    n_pkt *p = n_pkt_alloc();
    Bytes big(200);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, n_acl_add_str(p, "big", big.data(), 200, 1));
    n_acl *removed = n_acl_first(p);
    ASSERT_EQ(0, n_acl_remove_tuple(p, removed));
    std::free(removed);
    const Bytes frame = send(p);
    ASSERT_EQ(56u + 406u, frame.size());
    EXPECT_EQ(big, slice(frame, 54 + 3, 200));
    EXPECT_EQ(big, slice(frame, 54 + 206, 200));
    EXPECT_EQ(1, n_util_crc16_check(frame.data(), static_cast<unsigned>(frame.size())));
    n_pkt_free(p);
}

TEST_F(Sending, OneRefusingDestinationDoesNotKeepTheFrameFromTheOthers)
{
    // No route leads to 10.99.0.1 in the namespace: that send fails at once.
    const unsigned char unreachable[4] = {10, 99, 0, 1};
    const unsigned char loopback[4] = {127, 0, 0, 1};
    SocketRef ref = socket_acquire(fd_);
    socket_record *rec = ref.get();
    set_destination_slot(rec, unreachable, 0);
    set_destination_slot(rec, loopback, 1);
    n_pkt *p = packet_with({1});
    EXPECT_EQ(60u, send(p).size());

    n_pkt_free(p);
}

TEST_F(Sending, RefusedSendKeepsItsCauseBesideTheLibraryNumber)
{
    const unsigned char unreachable[4] = {10, 99, 0, 1};
    ASSERT_EQ(0, n_socket_set_ipdest(fd_, unreachable));
    n_pkt *p = packet_with({1});
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send(fd_, p));
    EXPECT_EQ(N_EPROTO, n_errno);
    EXPECT_EQ(ENETUNREACH, n_util_syserr());
    EXPECT_EQ(-1, n_socket_send_raw(fd_, reinterpret_cast<const unsigned char *>("x"), 1));
    EXPECT_EQ(N_EPROTO, n_errno);
    EXPECT_EQ(ENETUNREACH, n_util_syserr());

    // A failure without a system cause never shows a stale one.
    EXPECT_EQ(-1, n_socket_send(fd_, nullptr));
    EXPECT_EQ(N_EINVAL, n_errno);
    EXPECT_EQ(0, n_util_syserr());

    SocketRef ref = socket_acquire(fd_);
    ref->num_interfaces = 0;
    EXPECT_EQ(-1, n_socket_send(fd_, p));
    EXPECT_EQ(N_ENOTFOUND, n_errno);
    n_pkt_free(p);
}

TEST_F(Sending, RefusalsSendNothing)
{
    n_pkt *p = packet_with({1});
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send(999, p));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send(fd_, nullptr));
    EXPECT_EQ(-1, n_socket_send_raw(fd_, nullptr, 4));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_raw(999, reinterpret_cast<const unsigned char *>("abcd"), 4));

    n_pkt *oversize = n_pkt_alloc();
    n_acl_add_str(oversize, "big", nullptr, 100, 1);
    EXPECT_EQ(-1, n_socket_send(fd_, oversize));
    EXPECT_EQ(227, n_errno);

    // Without tuples the header is filled and the number spent, but no frame goes out.
    n_pkt *empty = n_pkt_alloc();
    const uint8_t start = n_socket_get_last_seq(fd_);
    EXPECT_EQ(-1, n_socket_send(fd_, empty));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(static_cast<uint8_t>(start + 1), n_socket_get_last_seq(fd_));
    EXPECT_NE(0u, empty->flags & PACKET_SRCID_SET);

    EXPECT_TRUE(listener_.receive(100).empty());
    for (n_pkt *q : {p, oversize, empty})
        n_pkt_free(q);
}

TEST(Broadcast, DefaultSocketReachesEveryInterfaceOfTheNamespace)
{
    create_veth("nb0", "10.200.0.1/24", "nb1", "");
    require_only_own_interfaces();
    UdpListener listener(kPort);
    const int fd = n_socket_open(0, 0, kPort);
    ASSERT_GT(fd, 0);
    n_pkt *p = packet_with({5, 6});
    ASSERT_EQ(1, n_socket_send(fd, p));
    const Bytes a = listener.receive();
    const Bytes b = listener.receive();
    EXPECT_EQ(61u, a.size());
    EXPECT_EQ(a, b);
    n_pkt_free(p);
    n_socket_close(fd);
}

}  // namespace
