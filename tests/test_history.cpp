// SPDX-License-Identifier: MIT
// The request history and request identifiers: repeats told from new requests however late, full memories that refuse.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <vector>

#include "history.h"
#include "socket.h"
#include "support/clock.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "support/peer.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);
const NodeId kC = node_id(3);
constexpr uint32_t kWindow = 1630;

// ---------------------------------------------------------------- the tables alone

Seen by_id(const NodeId &peer, uint32_t session, uint32_t counter, uint32_t now)
{
    return history_check_id(kB.data(), peer.data(), {session, counter}, kWindow, now);
}

Seen by_byte(const NodeId &peer, uint8_t seq, uint32_t now)
{
    return history_check_plain(kB.data(), peer.data(), seq, kWindow, now);
}

NodeId made_up(uint32_t n)
{
    NodeId id = node_id(9);
    id[4] = static_cast<unsigned char>(n >> 16);
    id[5] = static_cast<unsigned char>(n >> 8);
    id[6] = static_cast<unsigned char>(n);
    return id;
}

class History : public ::testing::Test {
protected:
    void TearDown() override { ack_history_clear(); }
};

// A copy held back while hundreds of newer requests went by is still a
// repeat; one beyond what the window of counters holds is refused, never
// taken as new.
TEST_F(History, CopyHeldBackBehindNewerRequestsIsARepeatOrRefused)
{
    ASSERT_EQ(Seen::New, by_id(kA, 7, 1, 0));
    for (uint32_t c = 2; c <= 511; ++c)
        ASSERT_EQ(Seen::New, by_id(kA, 7, c, c));
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 1, 600));      // 510 behind
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 300, 600));
    EXPECT_EQ(Seen::New, by_id(kA, 7, 2000, 601));       // a gap: the window moves
    EXPECT_EQ(Seen::Refused, by_id(kA, 7, 511, 602));    // now 1489 behind
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 2000, 603));
    EXPECT_EQ(Seen::New, by_id(kA, 7, 1999, 604));       // out of order, within the window
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 1999, 605));
    // Another session, another node, another receiving node: no repeats.
    EXPECT_EQ(Seen::New, by_id(kA, 8, 2000, 606));
    EXPECT_EQ(Seen::New, by_id(kC, 7, 2000, 606));
    EXPECT_EQ(Seen::New, history_check_id(kC.data(), kA.data(), {7, 2000}, kWindow, 606));
}

// A session is remembered for two minutes after its last request, however
// short the sender's window: a copy 100 s late is a repeat; after the
// memory it is new again.
TEST_F(History, SessionIsRememberedForTwoMinutesAfterItsLastRequest)
{
    ASSERT_EQ(Seen::New, by_id(kA, 7, 1, 1000));
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 1, 1000 + 100000));
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 1, 1000 + 100000 + kIdMemoryMs));
    EXPECT_EQ(Seen::New, by_id(kA, 7, 1, 1000 + 100000 + 2 * kIdMemoryMs + 1));
}

// Made-up identifiers fill the memory: then new sessions are refused (a
// request neither acknowledged nor delivered), while a session that is
// remembered keeps telling its repeats.
TEST_F(History, FullMemoryRefusesNewSessionsAndForgetsNothingEarly)
{
    ASSERT_EQ(Seen::New, by_id(kA, 7, 1, 0));
    for (uint32_t n = 1; n < kIdSessions; ++n)
        ASSERT_EQ(Seen::New, by_id(made_up(n), 1, 1, 10)) << n;
    EXPECT_EQ(Seen::Refused, by_id(made_up(kIdSessions), 1, 1, 20));
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 1, 30));
    EXPECT_EQ(Seen::New, by_id(kA, 7, 2, 40));
    // The made-up sessions are forgotten when their memory ends; kA's lives on.
    EXPECT_EQ(Seen::New, by_id(made_up(kIdSessions), 1, 1, 10 + kIdMemoryMs + 1));
    EXPECT_EQ(Seen::Repeat, by_id(kA, 7, 2, 10 + kIdMemoryMs + 1));
}

TEST_F(History, FullMemoryOfPlainRequestsRefusesNewPairsOnly)
{
    ASSERT_EQ(Seen::New, by_byte(kA, 40, 0));
    for (uint32_t n = 1; n < kPlainPairs; ++n)
        ASSERT_EQ(Seen::New, by_byte(made_up(n), 40, 10)) << n;
    EXPECT_EQ(Seen::Refused, by_byte(made_up(kPlainPairs), 40, 20));
    EXPECT_EQ(Seen::Repeat, by_byte(kA, 40, 30));
    // A pair is remembered for the window after its last request.
    EXPECT_EQ(Seen::Repeat, by_byte(kA, 40, kWindow));
    EXPECT_EQ(Seen::New, by_byte(made_up(kPlainPairs), 40, 10 + kWindow + 1));
}

// A resend arrives while its sender retries; the same byte after the
// window is a new request, and a resend of that one is a repeat again.
TEST_F(History, ByteAfterTheWindowIsNewAndItsResendARepeat)
{
    ASSERT_EQ(Seen::New, by_byte(kA, 40, 0));
    EXPECT_EQ(Seen::Repeat, by_byte(kA, 40, kWindow));
    EXPECT_EQ(Seen::New, by_byte(kA, 40, 2 * kWindow + 1));
    EXPECT_EQ(Seen::Repeat, by_byte(kA, 40, 2 * kWindow + 2));
}

// ---------------------------------------------------------------- on the wire

Bytes request_with_id(const NodeId &from, const NodeId &to, unsigned char q, uint32_t session, uint32_t counter,
                      unsigned char mark = 0)
{
    return frame(from, q, {payload({mark}), cad(to), cac(0, q), car(session, counter)});
}

Bytes plain_request(const NodeId &from, const NodeId &to, unsigned char q)
{
    return frame(from, q, {payload({0}), cad(to), cac(0, q)});
}

class RequestIds : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_option(b, SOCKET_AUTOACK, 1);
    }

    void put(const Bytes &f) { ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size()))); }

    // What b delivers of what waits (acknowledging through itself).
    int delivered(int ms = 100)
    {
        int n = 0;
        pump({b}, [] { return false; }, ms, [&n](int, n_pkt *) { ++n; });
        return n;
    }

    // The acknowledgements b put on the wire: the "CAR" of each, when it
    // carried one (empty: none).
    std::vector<std::pair<bool, Bytes>> acks_from_b(int ms = 30)
    {
        std::vector<std::pair<bool, Bytes>> acks;
        for (const Bytes &f : tap.drain(ms)) {
            const WireControl c = wire_control(f);
            if (wire_source(f) != kB || c.control != 1)
                continue;
            Bytes id;
            const bool has = wire_tuple(f, 0xC4, 0x00, id);
            acks.emplace_back(has, id);
        }
        return acks;
    }

    Tap tap;
};

// The acknowledgement carries the request's identifier back, and an empty
// one for a request without: the mark a sender learns from.
TEST_F(RequestIds, AcknowledgementCarriesTheIdentifierBackOrTheMark)
{
    put(request_with_id(kA, kB, 5, 0x01020304, 9));
    put(plain_request(kA, kB, 6));
    EXPECT_EQ(2, delivered());
    const auto acks = acks_from_b();
    ASSERT_EQ(2u, acks.size());
    EXPECT_TRUE(acks[0].first);
    EXPECT_EQ((Bytes{1, 2, 3, 4, 0, 0, 0, 9}), acks[0].second);
    EXPECT_TRUE(acks[1].first);
    EXPECT_TRUE(acks[1].second.empty());

    // Switched off: the acknowledgements are the plain ones, and a request
    // is taken by its sequence byte whatever identifier it carries.
    ASSERT_EQ(0, n_socket_set_request_ids(b, 0));
    put(request_with_id(kA, kB, 7, 0x01020304, 10));
    put(request_with_id(kA, kB, 7, 0x01020304, 11));
    EXPECT_EQ(1, delivered());
    for (const auto &ack : acks_from_b())
        EXPECT_FALSE(ack.first);
}

// Requests whose sequence bytes meet (a wrap, a restarted sender) are told
// apart by their identifiers; a late copy is a repeat after any number of
// newer requests. Without identifiers the same traffic loses or repeats.
TEST_F(RequestIds, IdentifiersTellApartWhatTheSequenceByteCannot)
{
    put(request_with_id(kA, kB, 5, 77, 1, 1));
    put(request_with_id(kA, kB, 5, 78, 1, 2));  // restarted sender: new session, same byte
    put(request_with_id(kA, kB, 5, 77, 2, 3));  // 256 requests later: same byte
    EXPECT_EQ(3, delivered());
    int taken = 0;
    for (uint32_t c = 3; c < 300; ++c) {
        put(request_with_id(kA, kB, static_cast<unsigned char>(c), 77, c));
        if (c % 50 == 0)
            taken += delivered(20);  // (the receive buffer holds a few hundred)
    }
    EXPECT_EQ(297, taken + delivered());
    put(request_with_id(kA, kB, 5, 77, 1, 1));  // the copy held back
    put(request_with_id(kA, kB, 5, 78, 1, 2));
    EXPECT_EQ(0, delivered());
}

TEST_F(RequestIds, QuietStartTakesNoRequestForOneWindow)
{
    ShiftedClock clock;
    const int c = open_node(kC);
    ASSERT_EQ(0, n_socket_set_quiet_start(c, 1));
    n_socket_set_option(c, SOCKET_AUTOACK, 1);
    n_socket_set_retry(c, 4, 100);
    int got = 0;
    put(plain_request(kA, kC, 1));
    pump({c}, [] { return false; }, 100, [&got](int, n_pkt *) { ++got; });
    EXPECT_EQ(0, got);
    n_socket_stats st{};
    n_socket_get_stats(c, &st);
    EXPECT_EQ(0u, st.acks_sent);
    EXPECT_EQ(1u, socket_acquire(c)->stats.requests_refused.load());
    clock.advance(400);
    put(plain_request(kA, kC, 1));
    pump({c}, [] { return false; }, 100, [&got](int, n_pkt *) { ++got; });
    EXPECT_EQ(1, got);
    n_socket_close(c);
}

// ---------------------------------------------------------------- the sender

class IdSender : public NodePair {
protected:
    // a's requests on the wire, in order: whether each carried an identifier.
    std::vector<bool> requests_with_ids(int ms = 30)
    {
        std::vector<bool> out;
        for (const Bytes &f : tap.drain(ms)) {
            const WireControl c = wire_control(f);
            Bytes id;
            if (wire_source(f) == kA && c.control == 0)
                out.push_back(wire_tuple(f, 0xC4, 0x00, id) && id.size() == 8);
        }
        return out;
    }

    PacketPtr packet()
    {
        PacketPtr p(n_pkt_alloc());
        const unsigned char d[1] = {1};
        const unsigned char t[2] = {0x12, 0x34};
        n_acl_add(p.get(), t, d, 1, 0);
        return p;
    }

    Tap tap;
};

// A sender adds identifiers to a peer only once that peer's acknowledgement
// said it takes them; a peer that never says so never sees one.
TEST_F(IdSender, AddsIdentifiersOnlyAfterThePeerSaidItTakesThem)
{
    // Requests are counted on the wire: no resend on a busy machine, where
    // an adaptive one would follow a peer descheduled for a few ms.
    n_socket_set_retry(a, 5, 300);
    n_socket_set_adaptive_retry(a, 0);
    {
        PeerProcess plain_peer(kB, SOCKET_AUTOACK | PeerProcess::kPlainPeer);
        ASSERT_TRUE(plain_peer.ready());
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(1, n_socket_send_acked(a, a, packet().get(), kB.data()));
        EXPECT_EQ(3, plain_peer.stop());
    }
    EXPECT_EQ((std::vector<bool>{false, false, false}), requests_with_ids());
    {
        PeerProcess peer(kB, SOCKET_AUTOACK);
        ASSERT_TRUE(peer.ready());
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(1, n_socket_send_acked(a, a, packet().get(), kB.data()));
        // A caller-set sequence byte chooses the repeat: no identifier.
        PacketPtr chosen = packet();
        n_pkt_set_seq(chosen.get(), 9);
        EXPECT_EQ(1, n_socket_send_acked(a, a, chosen.get(), kB.data()));
        EXPECT_EQ(4, peer.stop());
    }
    EXPECT_EQ((std::vector<bool>{false, true, true, false}), requests_with_ids());
}

}  // namespace
