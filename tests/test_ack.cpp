// SPDX-License-Identifier: MIT
// Acknowledgement replies: the frame on the wire, the reply bit per kind, refusals that send nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "ack.h"
#include "socket.h"
#include "support/netns.h"
#include "support/udp_listener.h"

using namespace nimbet;
using nimbet::test::UdpListener;
using nimbet::test::require_only_own_interfaces;

namespace {

constexpr uint16_t kPort = 47201;
using Bytes = std::vector<unsigned char>;

const Bytes kRequester = {1, 1, 1, 1, 10, 0, 0, 5};   // A: source of the request
const Bytes kAddressed = {1, 1, 1, 1, 10, 0, 0, 99};  // B: the node it addressed

// A received-looking request: source A, then the given "CAD" and "CAC" data
// (an empty vector leaves that tuple out).
n_pkt *request(const Bytes &cad, const Bytes &cac)
{
    n_pkt *p = n_pkt_alloc();
    n_pkt_set_srcid(p, kRequester.data());
    if (!cad.empty())
        n_acl_add(p, kTypeCAD, cad.data(), static_cast<uint16_t>(cad.size()), 0);
    if (!cac.empty())
        n_acl_add(p, kTypeCAC, cac.data(), static_cast<uint16_t>(cac.size()), 0);
    return p;
}

Bytes tuple_data(n_pkt *p, const unsigned char *type)
{
    n_acl *t = nullptr;
    if (n_acl_findfirst(p, type, &t) < 0)
        return {};
    return Bytes(t->data, t->data + t->len);
}

class AckReply : public testing::Test {
protected:
    void SetUp() override
    {
        require_only_own_interfaces();
        fd_ = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.0.0.1"), kPort);
        ASSERT_GT(fd_, 0);
        for (int i = 0; i < 44; ++i)
            loc_[i] = static_cast<unsigned char>(200 - i);
        n_socket_set_loc(fd_, loc_);
    }
    void TearDown() override { n_socket_close(fd_); }

    UdpListener listener_{kPort, INADDR_LOOPBACK};
    unsigned char loc_[44];
    int fd_ = -1;
};

TEST_F(AckReply, FrameIsSeventyFiveBytesNamingTheRequester)
{
    n_pkt *req = request(kAddressed, {0x00, 0x2A});
    ASSERT_EQ(0, send_ack_reply(fd_, req));
    const Bytes frame = listener_.receive();

    Bytes expected = {2};
    expected.insert(expected.end(), loc_, loc_ + 44);
    expected.insert(expected.end(), kAddressed.begin(), kAddressed.end());
    expected.push_back(n_socket_get_last_seq(fd_));
    for (unsigned char b : {0xA5, 0x0E, 0x00, 0x66, 0x40, 0x02, 0x01, 0x2A, 0x6C, 0x80, 0x08})
        expected.push_back(b);
    expected.insert(expected.end(), kRequester.begin(), kRequester.end());
    ASSERT_EQ(75u, frame.size());
    EXPECT_EQ(expected, Bytes(frame.begin(), frame.end() - 2));
    EXPECT_EQ(1, n_util_crc16_check(frame.data(), 75));

    EXPECT_EQ(1, n_pkt_get_ack(req));
    EXPECT_EQ((Bytes{0x00, 0x2A}), tuple_data(req, kTypeCAC));
    EXPECT_EQ(2u, req->acl_count);
    n_pkt_free(req);
}

struct KindCase {
    unsigned char control;
    unsigned char answered;
};

class AckKinds : public AckReply, public testing::WithParamInterface<KindCase> {};

TEST_P(AckKinds, ReplySetsTheReplyBitAndKeepsKindAndSequence)
{
    n_pkt *req = request(kAddressed, {GetParam().control, 7});
    ASSERT_EQ(0, send_ack_reply(fd_, req));
    const Bytes frame = listener_.receive();
    ASSERT_EQ(75u, frame.size());
    EXPECT_EQ(GetParam().answered, frame[60]);
    EXPECT_EQ(7, frame[61]);
    n_pkt_free(req);
}

INSTANTIATE_TEST_SUITE_P(Controls, AckKinds,
                         testing::Values(KindCase{0, 1}, KindCase{2, 3}, KindCase{4, 5}, KindCase{1, 1}));

struct RefusedCase {
    const char *what;
    Bytes cad;
    Bytes cac;
};

void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.what; }

class AckRefusals : public AckReply, public testing::WithParamInterface<RefusedCase> {};

TEST_P(AckRefusals, RequestWithoutUsableControlTuplesGetsNoReply)
{
    n_pkt *req = request(GetParam().cad, GetParam().cac);
    const uint32_t tuples = req->acl_count;
    n_errno = 0;
    EXPECT_EQ(-1, send_ack_reply(fd_, req));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(0, n_pkt_get_ack(req));
    EXPECT_EQ(tuples, req->acl_count);
    EXPECT_TRUE(listener_.receive(100).empty());
    n_pkt_free(req);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AckRefusals,
    testing::Values(RefusedCase{"no CAD", {}, {0, 1}}, RefusedCase{"no CAC", kAddressed, {}},
                    RefusedCase{"CAD of 4 bytes", {10, 0, 0, 99}, {0, 1}},
                    RefusedCase{"CAC of 1 byte", kAddressed, {0}},
                    // The reply's tuples would not fit the 64-byte area of a frame.
                    RefusedCase{"CAC of 48 bytes", kAddressed, Bytes(48, 0)}));

TEST_F(AckReply, FailedSendLeavesTheRequestUnacknowledged)
{
    n_pkt *req = request(kAddressed, {0, 3});
    n_errno = 0;
    EXPECT_EQ(-1, send_ack_reply(999, req));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(0, n_pkt_get_ack(req));
    n_pkt_free(req);
}

}  // namespace
