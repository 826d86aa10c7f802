// SPDX-License-Identifier: MIT
// Addressed sending and acknowledged sending: the frames on the wire, the wait for the acknowledgement, refusals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/time.h>

#include <cerrno>
#include <vector>

#include "frag.h"
#include "socket.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/nodes.h"
#include "support/peer.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);
const NodeId kC = node_id(3);
const unsigned char kType[2] = {0x12, 0x34};

// A packet with one small data tuple.
PacketPtr data_packet()
{
    PacketPtr p(n_pkt_alloc());
    const unsigned char d[3] = {7, 8, 9};
    n_acl_add(p.get(), kType, d, 3, 0);
    return p;
}

int count_tuples(n_pkt *p, const unsigned char *type)
{
    int n = 0;
    for (n_acl *t = n_acl_first(p); t != nullptr; t = n_acl_next(p, t))
        n += same_type(t->type, type);
    return n;
}

Bytes tuple_data(n_pkt *p, const unsigned char *type)
{
    n_acl *t = nullptr;
    if (n_acl_findfirst(p, type, &t) < 0)
        return {};
    return Bytes(t->data, t->data + t->len);
}

class Addressed : public ::testing::Test {
protected:
    void SetUp() override { a = open_node(kA); }
    void TearDown() override { n_socket_close(a); }

    // Frames that node a put on the wire (its requests and parts).
    std::vector<Bytes> frames_from_a(int ms = 30)
    {
        std::vector<Bytes> out;
        for (Bytes &f : tap.drain(ms))
            if (wire_source(f) == kA)
                out.push_back(std::move(f));
        return out;
    }

    int a = -1;
    Tap tap;
};

// ---------------------------------------------------------------- addressed

TEST_F(Addressed, FrameCarriesTheCallersTuplesThenCadAndReachesOnlyThatNode)
{
    const int b = open_node(kB);
    const int c = open_node(kC);
    PacketPtr p = data_packet();
    ASSERT_EQ(1, n_socket_send_addressed(a, p.get(), kB.data()));
    const auto frames = frames_from_a();
    ASSERT_EQ(1u, frames.size());
    const Bytes &f = frames[0];
    ASSERT_EQ(56u + 6 + 11, f.size());
    EXPECT_EQ((Bytes{0x12, 0x34, 3, 7, 8, 9, 0x6C, 0x80, 8}), Bytes(f.begin() + 54, f.begin() + 63));
    EXPECT_EQ(Bytes(kB.begin(), kB.end()), Bytes(f.begin() + 63, f.begin() + 71));
    EXPECT_EQ(-1, wire_control(f).control);

    timeval tv{1, 0};
    ASSERT_EQ(1, n_socket_select(b, &tv));
    PacketPtr got(n_socket_recv(b, b));
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(0, n_pkt_get_ack(got.get()));
    ASSERT_EQ(1, n_socket_select(c, &tv));
    EXPECT_EQ(nullptr, n_socket_recv(c, c));
    EXPECT_EQ(11, n_errno);
    n_socket_close(b);
    n_socket_close(c);
}

TEST_F(Addressed, EachCallAppendsAnotherCad)
{
    PacketPtr p = data_packet();
    n_socket_send_addressed(a, p.get(), kB.data());
    n_socket_send_addressed(a, p.get(), kC.data());
    EXPECT_EQ(2, count_tuples(p.get(), kTypeCAD));
}

TEST_F(Addressed, RefusesWhatItCannotAddress)
{
    PacketPtr p = data_packet();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_addressed(a, nullptr, kB.data()));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_addressed(a, p.get(), nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_addressed_str(a, p.get(), nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_addressed_str(a, p.get(), "1.2.3.x"));
    EXPECT_EQ(42, n_errno);
    EXPECT_EQ(0, count_tuples(p.get(), kTypeCAD));
    // A full tuple area takes no "CAD".
    PacketPtr full(n_pkt_alloc());
    const Bytes big(58, 1);
    ASSERT_EQ(0, n_acl_add(full.get(), kType, big.data(), static_cast<uint16_t>(big.size()), 0));
    EXPECT_EQ(-1, n_socket_send_addressed(a, full.get(), kB.data()));
    EXPECT_EQ(12, n_errno);
    EXPECT_TRUE(frames_from_a(10).empty());
}

TEST_F(Addressed, TextDestinationOfFewerNumbersIsPaddedWithZeros)
{
    PacketPtr p = data_packet();
    ASSERT_EQ(1, n_socket_send_addressed_str(a, p.get(), "1.2.3"));
    EXPECT_EQ((Bytes{1, 2, 3, 0, 0, 0, 0, 0}), tuple_data(p.get(), kTypeCAD));
    PacketPtr q = data_packet();
    ASSERT_EQ(1, n_socket_send_addressed_str(a, q.get(), "9.8.7.6.5.4.3.2.1"));
    EXPECT_EQ((Bytes{9, 8, 7, 6, 5, 4, 3, 2}), tuple_data(q.get(), kTypeCAD));
}

TEST_F(Addressed, OversizePacketStartsATransferOfItsTuple)
{
    PacketPtr p(n_pkt_alloc());
    const Bytes big(200, 0x44);
    ASSERT_EQ(0, n_acl_add(p.get(), kType, big.data(), static_cast<uint16_t>(big.size()), 1));
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_addressed(a, p.get(), nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_TRUE(frames_from_a(10).empty());

    ASSERT_EQ(1, n_socket_send_addressed(a, p.get(), kB.data()));
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kB.data(), 0xffff));
    const auto frames = frames_from_a();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(kType[0], frames[0][54]);
    EXPECT_EQ(45, frames[0][56]);
    EXPECT_EQ(2, wire_control(frames[0]).control);
    // Nothing was appended, and no option changed.
    EXPECT_EQ(0, count_tuples(p.get(), kTypeCAD));
    EXPECT_EQ(0, n_socket_get_option(a, SOCKET_FRAG));
}

// ---------------------------------------------------------------- acknowledged

class AckedSend : public Addressed {
protected:
    void SetUp() override
    {
        Addressed::SetUp();
        n_socket_set_retry(a, 3, 40);
    }

    // Puts a frame into a's receive queue, as if node kB had sent it.
    void queue_for_a(const Bytes &f)
    {
        if (b < 0)
            b = open_node(kB);
        ASSERT_EQ(1, n_socket_send_raw(b, f.data(), static_cast<int>(f.size())));
        timeval tv{1, 0};
        ASSERT_EQ(1, n_socket_select(a, &tv));
    }

    // a's requests on the wire: the "CAC" of each.
    std::vector<WireControl> requests_from_a(int ms = 30)
    {
        std::vector<WireControl> out;
        for (const Bytes &f : frames_from_a(ms))
            out.push_back(wire_control(f));
        return out;
    }

    void TearDown() override
    {
        if (b >= 0)
            n_socket_close(b);
        Addressed::TearDown();
    }

    int b = -1;
};

TEST_F(AckedSend, SucceedsAtTheFirstTransmissionWhenThePeerAnswers)
{
    PeerProcess peer(kB, SOCKET_AUTOACK);
    ASSERT_TRUE(peer.ready());
    n_socket_set_option(a, SOCKET_BLOCKING, 1);
    PacketPtr p = data_packet();
    EXPECT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(1, n_socket_get_blocking(a));
    EXPECT_EQ(1, peer.stop());
    const auto requests = requests_from_a();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0, requests[0].control);
}

TEST_F(AckedSend, SameSocketThatNeverReceivedIsBoundOnItsPortFirst)
{
    PeerProcess peer(kB, SOCKET_AUTOACK);
    ASSERT_TRUE(peer.ready());
    const int fresh = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.255.255.255"), kNodePort);
    ASSERT_GT(fresh, 0);
    n_socket_set_id(fresh, kC.data());
    n_socket_set_retry(fresh, 3, 200);
    PacketPtr p = data_packet();
    EXPECT_EQ(1, n_socket_send_acked(fresh, fresh, p.get(), kB.data()));
    EXPECT_EQ(SOCKET_BOUND, n_socket_get_option(fresh, SOCKET_BOUND));
    EXPECT_EQ(1, peer.stop());
    n_socket_close(fresh);
}

TEST_F(AckedSend, SamePacketSentTwiceIsAcknowledgedBothTimes)
{
    PeerProcess peer(kB, SOCKET_AUTOACK);
    ASSERT_TRUE(peer.ready());
    // Resends only after 200 ms, so that a slow peer (under the sanitizers)
    // adds no copy to the two requests counted below.
    n_socket_set_adaptive_retry(a, 0);
    n_socket_set_retry(a, 3, 200);
    PacketPtr p = data_packet();
    EXPECT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(1, count_tuples(p.get(), kTypeCAC));
    EXPECT_EQ(2, peer.stop());
    const auto requests = requests_from_a();
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(requests[0].seq, requests[1].seq);
}

TEST_F(AckedSend, GivesUpAfterRetryTransmissionsTimeoutApart)
{
    n_socket_set_option(a, SOCKET_BLOCKING, 1);
    PacketPtr p = data_packet();
    const uint32_t start = n_util_getmstime();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, p.get(), kB.data()));
    const uint32_t took = n_util_getmstime() - start;
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(ETIMEDOUT, n_util_syserr());  // no reply, told apart from a malformed one
    EXPECT_GE(took, 3u * 40u);
    EXPECT_EQ(1, n_socket_get_blocking(a));
    const auto requests = requests_from_a();
    ASSERT_EQ(3u, requests.size());
    for (const WireControl &c : requests) {
        EXPECT_EQ(0, c.control);
        EXPECT_EQ(requests[0].seq, c.seq);  // repeats keep the sequence byte
    }
}

TEST_F(AckedSend, NoRetriesMeansNoTransmission)
{
    n_socket_set_retry(a, 0, 100);
    PacketPtr p = data_packet();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_TRUE(frames_from_a(10).empty());
}

TEST_F(AckedSend, NegativeTimeoutDoesNotWait)
{
    n_socket_set_retry(a, 3, -1);
    PacketPtr p = data_packet();
    const uint32_t start = n_util_getmstime();
    EXPECT_EQ(-1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_LT(n_util_getmstime() - start, 5000u);
    EXPECT_EQ(3u, requests_from_a().size());
}

TEST_F(AckedSend, CallerSequenceNumberBecomesTheCacSequence)
{
    n_socket_set_retry(a, 1, 10);
    const uint8_t before = socket_acquire(a)->ack_seq;
    PacketPtr p = data_packet();
    n_pkt_set_seq(p.get(), 9);
    n_socket_send_acked(a, a, p.get(), kB.data());
    EXPECT_EQ(static_cast<uint8_t>(before + 1), socket_acquire(a)->ack_seq);
    EXPECT_EQ((Bytes{0, 9}), tuple_data(p.get(), kTypeCAC));
    const auto requests = requests_from_a();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(9, requests[0].seq);
}

TEST_F(AckedSend, PacketsOwnCadNamesTheDestination)
{
    n_socket_set_retry(a, 1, 10);
    PacketPtr p = data_packet();
    n_acl_add(p.get(), kTypeCAD, kC.data(), 8, 0);
    n_socket_send_acked(a, a, p.get(), kB.data());
    EXPECT_EQ(1, count_tuples(p.get(), kTypeCAD));
    EXPECT_EQ(Bytes(kC.begin(), kC.end()), tuple_data(p.get(), kTypeCAD));

    PacketPtr short_cad = data_packet();
    n_acl_add(short_cad.get(), kTypeCAD, kC.data(), 4, 0);
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, short_cad.get(), kB.data()));
    EXPECT_EQ(22, n_errno);
}

TEST_F(AckedSend, RefusesUnknownSocketsMissingDestinationAndBadText)
{
    PacketPtr p = data_packet();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(12345, a, p.get(), kB.data()));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_acked(a, 12345, p.get(), kB.data()));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_acked(a, a, nullptr, kB.data()));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_acked_str(a, a, p.get(), nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_acked_str(a, a, p.get(), "1.2.3.x"));
    EXPECT_EQ(42, n_errno);
    EXPECT_TRUE(frames_from_a(10).empty());
}

// Frames that arrive while the send waits are not its to drop: the next
// receive returns them, in order, after the reply was found among them.
TEST_F(AckedSend, QueuedAcknowledgementIsFoundOthersAreKeptForTheNextReceive)
{
    n_socket_set_retry(a, 3, 40);
    PacketPtr p = data_packet();
    n_pkt_set_seq(p.get(), 9);
    for (unsigned char s = 0; s < 3; ++s)
        queue_for_a(frame(kC, s, {payload({s})}));  // for everybody
    queue_for_a(ack_frame(kB, kA, 0, 10));           // another sequence: passed over
    queue_for_a(frame(kB, 1, {acm(), cac(3, 9), cad(kA)}));  // another control byte: passed over
    queue_for_a(ack_frame(kB, kA, 0, 9));
    EXPECT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(1u, requests_from_a().size());
    int kept = 0;
    while (PacketPtr got{n_socket_recv_timeout(a, 0, 0)})
        ++kept;
    EXPECT_EQ(5, kept);
}

TEST_F(AckedSend, AcknowledgementWithoutCacEndsTheWaitAtOnce)
{
    n_socket_set_retry(a, 5, 40);
    queue_for_a(frame(kB, 1, {acm(), cad(kA)}));
    PacketPtr p = data_packet();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(EBADMSG, n_util_syserr());
    EXPECT_EQ(1u, requests_from_a().size());
}

// Two failures that waiting cannot mend end the call before any wait, each
// with its system cause: a receiving socket the system will not bind, and a
// first transmission that nothing took.
TEST_F(AckedSend, FailsAtOnceWhenTheReplyCouldNeverBeHeard)
{
    const unsigned char elsewhere[4] = {10, 99, 0, 1};
    b = n_socket_open(htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK), kNodePort);
    ASSERT_EQ(0, n_socket_set_ipsrc(b, elsewhere));
    PacketPtr p = data_packet();
    EXPECT_EQ(-1, n_socket_send_acked(a, b, p.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(EADDRNOTAVAIL, n_util_syserr());
    EXPECT_TRUE(frames_from_a(10).empty());

    ASSERT_EQ(0, n_socket_set_ipdest(a, elsewhere));
    PacketPtr q = data_packet();
    EXPECT_EQ(-1, n_socket_send_acked(a, a, q.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(ENETUNREACH, n_util_syserr());
    n_socket_stats stats{};
    EXPECT_EQ(0, n_socket_get_stats(a, &stats));
    EXPECT_EQ(0u, stats.retransmissions);
}

TEST_F(AckedSend, WrongAcknowledgementsAreIgnoredUntilTheRetriesRunOut)
{
    PacketPtr p = data_packet();
    n_pkt_set_seq(p.get(), 9);
    queue_for_a(ack_frame(kB, kA, 0, 10));
    queue_for_a(ack_frame(kC, kA, 0, 9));  // right sequence, wrong node
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked_str(a, a, p.get(), "1.1.1.1.10.0.0.2"));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(3u, requests_from_a().size());
    timeval zero{0, 0};
    EXPECT_EQ(0, n_socket_select(a, &zero));  // everything that came was read (and kept for the next receive)
}

// With SOCKET_RECV_ALL a node hears acknowledgements meant for others: one
// from the addressed node with the right sequence byte that answers another
// node settles nothing (the addressed node may never have heard us).
TEST_F(AckedSend, AcknowledgementAnsweringAnotherNodeSettlesNothing)
{
    n_socket_set_option(a, SOCKET_RECV_ALL, 1);
    PacketPtr p = data_packet();
    n_pkt_set_seq(p.get(), 9);
    queue_for_a(ack_frame(kB, kC, 0, 9));
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, p.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(3u, requests_from_a().size());
    PacketPtr q = data_packet();
    n_pkt_set_seq(q.get(), 10);
    queue_for_a(ack_frame(kB, kA, 0, 10));
    EXPECT_EQ(1, n_socket_send_acked(a, a, q.get(), kB.data()));
}

// Once a peer said it takes request identifiers, a reply settles a request
// only when it carries that request's identifier back: a late reply to an
// earlier request with the same sequence byte does not.
TEST_F(AckedSend, ReplyCarryingAnotherIdentifierSettlesNothing)
{
    PacketPtr p = data_packet();
    n_pkt_set_seq(p.get(), 9);
    queue_for_a(frame(kB, 1, {acm(), cac(1, 9), {0xC4, 0x00, {}}, cad(kA)}));
    ASSERT_EQ(1, n_socket_send_acked(a, a, p.get(), kB.data()));
    requests_from_a();

    const auto q = static_cast<unsigned char>(socket_acquire(a)->ack_seq + 1);
    queue_for_a(frame(kB, 1, {acm(), cac(1, q), car(1, 1), cad(kA)}));
    PacketPtr r = data_packet();
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_acked(a, a, r.get(), kB.data()));
    EXPECT_EQ(227, n_errno);
    const std::vector<Bytes> sent = frames_from_a();
    ASSERT_GE(sent.size(), 3u);  // (resent as the measured round trip says)
    Bytes first;
    ASSERT_TRUE(wire_tuple(sent[0], 0xC4, 0x00, first));
    EXPECT_EQ(8u, first.size());
    for (const Bytes &f : sent) {
        Bytes id;
        EXPECT_TRUE(wire_tuple(f, 0xC4, 0x00, id) && id == first);  // every transmission, one identifier
    }
}

TEST_F(AckedSend, OversizePacketStartsATransferAndSwitchesFragmentsOn)
{
    b = open_node(kB);
    PacketPtr p(n_pkt_alloc());
    const Bytes big(100, 0x55);
    ASSERT_EQ(0, n_acl_add(p.get(), kType, big.data(), static_cast<uint16_t>(big.size()), 1));
    EXPECT_EQ(1, n_socket_send_acked(a, b, p.get(), kC.data()));
    EXPECT_EQ(SOCKET_FRAG, n_socket_get_option(b, SOCKET_FRAG));
    EXPECT_EQ(0, n_socket_get_option(a, SOCKET_FRAG));
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kC.data(), 0xffff));
    EXPECT_EQ(0, count_tuples(p.get(), kTypeCAC));
}

}  // namespace
