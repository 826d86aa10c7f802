// SPDX-License-Identifier: MIT
// Transfers that never lie: faulty networks, restarts, stray and hostile fragments, the descriptor, limits, files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "frag.h"
#include "frame.h"
#include "support/clock.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "support/parts.h"
#include "support/relay.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);  // sends
const NodeId kB = node_id(2);  // receives
const unsigned char kType[2] = {0x12, 0x34};

int state(const NodeId &id) { return n_frag_get_status(id.data(), FRAG_STATE_MASK); }

// ---------------------------------------------------------------- through the fault relay

// Shorter timeouts than the defaults keep the runs short (the soak runs the
// defaults); 15 x 40 ms still rides out a loaded machine, sanitizers
// included.
class FaultyNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = relay_node(kA, true, 15, 40);
        b = relay_node(kB, false, 15, 40);
    }
    void TearDown() override
    {
        n_socket_close(a);
        n_socket_close(b);
    }
    TransferRun send(const Bytes &data, const FaultRelay &relay)
    {
        return run_transfer(a, b, kA, kB, data, relay, 60000);
    }

    int a = -1;
    int b = -1;
};

TEST_F(FaultyNetwork, LossDuplicationAndReorderingStillDeliverTheExactBytes)
{
    const Faults rough{.drop = 0.05, .duplicate = 0.02, .reorder = 0.02};
    FaultRelay relay(rough, rough, 7);
    EXPECT_STREQ("identical", send(random_bytes(32 * 1024, 1), relay).verdict());
}

// Once 256 parts are stored the part counter is 0 again: when the
// acknowledgement of the 256th part (sequence byte 255) is lost, the
// receiver must still know the resent part as the one before its counter.
TEST_F(FaultyNetwork, LostAcknowledgementOfPart256IsAnsweredAfterTheWrap)
{
    FaultRelay relay({}, {}, 1, {{.toward_b = false, .control = 3, .seq = 255, .nth = 1}});
    EXPECT_STREQ("identical", send(random_bytes(300 * 45, 2), relay).verdict());
}

// A repeated acknowledgement makes nobody send anything: duplicates are not
// echoed back and forth for the rest of the transfer.
TEST_F(FaultyNetwork, DuplicatesAreNotEchoed)
{
    const Faults dup{.duplicate = 0.2};
    FaultRelay relay(dup, dup, 3);
    const TransferRun run = send(random_bytes(200 * 45, 3), relay);
    EXPECT_STREQ("identical", run.verdict());
    // An echo goes on for the rest of the transfer (12,000 to 26,000 frames
    // when duplicate acknowledgements are answered); a slow run (under the
    // sanitizers) may add resends of its own: each timer that runs out
    // resends every part in flight, up to a window of 64 of them.
    EXPECT_LE(run.data_frames, 3 * 200);
}

// Stale copies, some exactly 256 parts old with the same sequence byte as
// the part in flight, and frames whose data were altered with a matching
// CRC-16: the receiver never holds wrong data and the sender never reports
// a transfer that did not arrive whole.
TEST_F(FaultyNetwork, StaleAndForgedCopiesNeverMakeWrongData)
{
    const Faults bad{.drop = 0.02, .stale = 0.03, .forge = 0.02};
    for (uint32_t seed : {11u, 12u, 13u}) {
        FaultRelay relay(bad, bad, seed);
        const TransferRun run = send(random_bytes(600 * 45, seed), relay);
        const std::string verdict = run.verdict();
        EXPECT_TRUE(verdict == "identical" || verdict == "clean abort") << verdict << " with seed " << seed;
    }
}

TEST_F(FaultyNetwork, BackToBackTransfersStayApart)
{
    const Faults bad{.drop = 0.03, .duplicate = 0.03, .stale = 0.03};
    FaultRelay relay(bad, bad, 5);
    for (uint32_t round = 0; round < 3; ++round)
        EXPECT_STREQ("identical", send(random_bytes(5000 + round, round), relay).verdict()) << round;
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));  // no ghost transfer appeared
}

// A sender that starts over (a new process with the same identifier) is
// heard at once: its first part replaces the stalled transfer, long before
// the receiver would have given up on the old one.
TEST_F(FaultyNetwork, RestartedSenderIsHeardAtOnce)
{
    n_socket_set_retry(b, 50, 100);  // the receiver would wait 5.6 s for the old transfer,
    n_socket_set_retry(a, 10, 50);   // the new sender gives up after 0.5 s
    FaultRelay relay({}, {}, 9);
    const Bytes first = random_bytes(20000, 4);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, first.data(), static_cast<int>(first.size()), kB.data(), kType));
    pump({a, b}, [] {
        int64_t done = 0;
        n_frag_get_progress(kA.data(), &done, nullptr);
        return done > 5000;
    }, 10000);
    // The old process is gone: its transfer with it.
    n_frag_abort(kB.data());
    n_frag_delete(kB.data());
    EXPECT_STREQ("identical", send(random_bytes(3000, 5), relay).verdict());
}

// Sixty small transfers back to back (one part, or five) while 15 % of the
// datagrams bring a late copy of an older one along: every transfer arrives
// once, none twice, none is cut off by a late first part.
TEST_F(FaultyNetwork, LateCopiesNeitherRepeatNorCutOffSmallTransfers)
{
    const Faults late{.stale = 0.15};
    for (uint32_t seed : {21u, 22u, 23u}) {
        FaultRelay relay(late, late, seed);
        for (uint32_t t = 0; t < 60; ++t)
            ASSERT_STREQ("identical", send(random_bytes(t % 2 ? 200 : 40, seed * 100 + t), relay).verdict())
                << seed << " " << t;
        pump({a, b}, [] { return false; }, 50);
        EXPECT_EQ(nullptr, n_frag_get_frag(kA.data())) << seed;
    }
}

// A receiver that lost its transfer (restarted, or its application gave
// up) never delivers the rest as a transfer of its own, even from part 256
// on, whose sequence byte is 0 again: the sender gives up, and says so.
TEST_F(FaultyNetwork, ReceiverThatLostItsTransferNeverDeliversTheTail)
{
    FaultRelay relay({}, {}, 31);
    const Bytes data = random_bytes(300 * 45, 31);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));
    pump({a, b}, [] {
        int64_t done = 0;
        n_frag_get_progress(kA.data(), &done, nullptr);
        return done >= 50 * 45;
    }, 10000);
    n_frag_abort(kA.data());
    n_frag_delete(kA.data());
    ended_clear();  // a restarted receiver remembers nothing
    bool delivered = false;
    pump({a, b}, [&] {
        delivered = delivered || state(kA) == FRAG_FINISHED;
        return state(kB) != FRAG_ACTIVE;
    }, 10000);
    EXPECT_EQ(FRAG_ABORTED, state(kB));
    EXPECT_FALSE(delivered);
}

// ---------------------------------------------------------------- stray, late and hostile fragments

// The descriptor of a part as a tuple.
WireTuple cat(const Descriptor &d)
{
    Bytes data(kDescMax);
    data.resize(write_descriptor(d, data.data()));
    return {kTypeCAT[0], kTypeCAT[1], data};
}

class StrayFragments : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_option(b, SOCKET_FRAG, 1);
    }
    // A part from kA to kB as a peer sends it.
    static Bytes part(unsigned char seq, unsigned char control, const Bytes &data, std::vector<WireTuple> extra = {})
    {
        std::vector<WireTuple> t{payload(data), cad(node_id(2)), cac(control, seq)};
        t.insert(t.end(), extra.begin(), extra.end());
        return frame(node_id(1), seq, t);
    }
    // A part with a descriptor: its index gives the sequence byte.
    static Bytes described(uint32_t nonce, uint32_t index, unsigned char control, const Bytes &data,
                           uint8_t flags = 0, uint32_t total = 0, uint32_t crc = 0)
    {
        return part(static_cast<unsigned char>(index), control, data,
                    {cat({true, static_cast<uint8_t>(flags | kDescIndex), nonce, total, crc, index})});
    }
    // A whole transfer in one described part.
    static Bytes single(uint32_t nonce, const Bytes &data)
    {
        return described(nonce, 0, 4, data, kDescFirst | kDescLast, static_cast<uint32_t>(data.size()),
                         crc32_update(0, data.data(), data.size()));
    }
    // A plain first part from another node, addressed to node b.
    Bytes first_from(unsigned char node, const Bytes &data) const
    {
        return frame(node_id(node), 0, {payload(data), cad(idb), cac(2, 0)});
    }
    // Puts bytes on the wire from node a; node b takes them.
    void put(const Bytes &f) { ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size()))); }
    void deliver(const Bytes &f)
    {
        put(f);
        pump({b}, [] { return false; }, 30);
    }
    std::vector<WireControl> acks() { return frames_from(tap, idb, wire_control); }
    n_socket_stats stats() { return stats_of(b); }
    Tap tap;
};

TEST_F(StrayFragments, LatePartsAfterDeletionStartNothing)
{
    deliver(part(0, 2, {1, 2, 3}));
    deliver(part(1, 4, {4, 5}));
    ASSERT_EQ(FRAG_FINISHED, state(kA));
    tap.drain(20);
    ASSERT_EQ(1, n_frag_delete(kA.data()));

    // A late copy of the last part: acknowledged again, not a new transfer.
    deliver(part(1, 4, {4, 5}));
    const auto again = acks();
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(5, again[0].control);
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));
    // A late middle part: ignored and counted, no acknowledgement.
    deliver(part(1, 2, {9, 9}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));
    EXPECT_EQ(1u, stats().stray_fragments);
    EXPECT_EQ(1u, stats().duplicates);
}

// A new transfer while the application still holds the last one is not
// acknowledged (so its sender tries again later), and never taken for a
// repeat of the old one's last part.
TEST_F(StrayFragments, NewTransferWaitsUntilTheLastOneIsTaken)
{
    deliver(part(0, 4, {7}));
    ASSERT_EQ(FRAG_FINISHED, state(kA));
    tap.drain(20);
    deliver(part(0, 4, {8}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(1u, stats().transfers_refused);
    unsigned char got = 0;
    EXPECT_EQ(1, n_frag_copy_data(kA.data(), &got, 1));
    EXPECT_EQ(7, got);
    n_frag_delete(kA.data());
    deliver(part(0, 4, {8}));
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(1, n_frag_copy_data(kA.data(), &got, 1));
    EXPECT_EQ(8, got);
}

// Late copies of transfers that ended (finished, or aborted) are known by
// their nonce: acknowledged again when they repeat the last part stored,
// never a transfer of their own. A later part of a lost transfer whose
// sequence byte is 0 again (part 256) starts nothing without the
// first-part flag.
TEST_F(StrayFragments, LateCopiesOfEndedTransfersStartNothing)
{
    for (uint32_t nonce : {100u, 101u}) {
        deliver(single(nonce, {static_cast<unsigned char>(nonce)}));
        ASSERT_EQ(FRAG_FINISHED, state(kA));
        n_frag_delete(kA.data());
    }
    deliver(described(102, 0, 2, {5}, kDescFirst, 90));
    n_frag_abort(kA.data());
    n_frag_delete(kA.data());
    tap.drain(20);

    deliver(single(100, {100}));
    deliver(single(101, {101}));
    deliver(described(102, 0, 2, {5}, kDescFirst, 90));
    EXPECT_EQ(3u, acks().size());
    EXPECT_EQ(3u, stats().duplicates);
    deliver(described(102, 1, 2, {6}));
    deliver(described(103, 256, 2, {7}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(2u, stats().stray_fragments);
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));
}

// A first part of another transfer (forged, or a late copy) is refused
// while the transfer under way is heard; once nothing of it came for its
// sender's whole patience (retry x timeout), a new transfer takes over.
TEST_F(StrayFragments, LiveTransferIsReplacedOnlyOnceItStalls)
{
    ShiftedClock clock;
    deliver(described(200, 0, 2, {1}, kDescFirst, 100));
    deliver(described(200, 1, 2, {2}));
    tap.drain(20);
    deliver(described(201, 0, 2, {9}, kDescFirst, 100));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(1u, stats().transfers_refused);
    deliver(described(200, 2, 2, {3}));
    EXPECT_EQ(1u, acks().size());

    clock.advance(10 * 163 + 1);
    deliver(single(202, {8}));
    unsigned char got = 0;
    EXPECT_EQ(1, n_frag_copy_data(kA.data(), &got, 1));
    EXPECT_EQ(8, got);
}

// A sender that restarted retries its new first part while the old
// transfer is silent: it gets through after two timeouts, long before the
// old transfer would stall.
TEST_F(StrayFragments, RestartedSenderGetsThroughAfterTwoTimeouts)
{
    ShiftedClock clock;
    deliver(described(300, 0, 2, {1}, kDescFirst, 100));
    tap.drain(20);
    for (int sighting = 0; sighting < 2; ++sighting) {
        deliver(single(301, {5}));
        EXPECT_TRUE(acks().empty()) << sighting;
        clock.advance(163);
    }
    deliver(single(301, {5}));
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(FRAG_FINISHED, state(kA));
}

// Between nodes without descriptors the same bytes again are a resend while
// their sender may still retry, and a new message after that: delivered
// then, or (while the application holds the last one) refused until taken.
TEST_F(StrayFragments, RepeatedPlainMessageIsNewOnceItsSenderCannotBeResending)
{
    ShiftedClock clock;
    deliver(part(0, 4, {7}));
    n_frag_delete(kA.data());
    tap.drain(20);
    deliver(part(0, 4, {7}));
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));

    clock.advance(10 * 163 + 1);
    deliver(part(0, 4, {7}));
    EXPECT_EQ(FRAG_FINISHED, state(kA));
    tap.drain(20);
    clock.advance(10 * 163 + 1);
    deliver(part(0, 4, {7}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(1u, stats().transfers_refused);
}

// The last quarter of a table goes only to a first part that comes again
// (a live sender resends it); a full table evicts, for a first part that
// keeps coming, a transfer that stores parts slower than two per timeout;
// steady ones are never evicted.
TEST_F(StrayFragments, SlowTransferMakesRoomForANewOneThatKeepsComing)
{
    ShiftedClock clock;
    ASSERT_EQ(0, n_socket_set_frag_limits(b, 2, 1000));
    deliver(first_from(50, {1}));
    deliver(first_from(51, {1}));
    EXPECT_EQ(-1, state(node_id(51)));  // the last place: once is not enough
    deliver(first_from(51, {1}));
    EXPECT_EQ(FRAG_ACTIVE, state(node_id(51)));
    deliver(first_from(52, {1}));
    for (unsigned char seq = 1; seq <= 8; ++seq) {
        clock.advance(50);
        deliver(frame(node_id(50), seq, {payload({2}), cad(idb), cac(2, seq)}));  // node 50 goes on
        if (seq % 3 == 0)
            deliver(first_from(52, {1}));  // node 52 resends
    }
    EXPECT_EQ(1u, stats().transfers_evicted);
    EXPECT_EQ(FRAG_ACTIVE, state(node_id(50)));
    EXPECT_EQ(FRAG_ABORTED, state(node_id(51)));
    EXPECT_EQ(FRAG_ACTIVE, state(node_id(52)));
}

// A transfer without descriptor cannot tell a part from the one 256 before
// it, which has the same sequence byte: when two different parts come for
// the byte of the part stored last, the transfer aborts rather than deliver
// what may be the wrong one.
TEST_F(StrayFragments, PlainTransferAbortsOnTwoDifferentPartsForOneByte)
{
    deliver(part(0, 2, {1}));
    deliver(part(1, 2, {2}));
    tap.drain(20);
    deliver(part(1, 2, {2}));  // a resend: acknowledged again
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(FRAG_ACTIVE, state(kA));
    deliver(part(1, 2, {9}));  // another part under that byte
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(FRAG_ABORTED, state(kA));
}

// Only what the application takes is acknowledged: a first part that the
// socket's transfer filter refuses starts nothing and is not acknowledged.
TEST_F(StrayFragments, TransferTheFilterRefusesIsNotAcknowledged)
{
    const int chain = n_filter_create(nullptr);
    const NodeId other = node_id(7);
    ASSERT_EQ(chain, n_filter_add(chain, FILTER_TYPE_ID, other.data()));
    ASSERT_EQ(0, n_socket_set_transfer_filter(b, chain));
    deliver(single(600, {1}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(-1, state(kA));
    EXPECT_EQ(1u, stats().transfers_refused);
    ASSERT_EQ(0, n_socket_set_transfer_filter(b, 0));
    deliver(single(600, {1}));
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(FRAG_FINISHED, state(kA));
    EXPECT_EQ(-1, n_socket_set_transfer_filter(b, -1));
}

// Many small transfers back to back, each taken as it finishes: late copies
// of the first ones (after hundreds of others) start nothing, and are
// acknowledged again when they repeat a transfer's last part.
TEST_F(StrayFragments, LateCopiesAfterHundredsOfTransfersStartNothing)
{
    std::vector<Bytes> sent;
    for (uint32_t nonce = 1000; nonce < 1300; ++nonce) {
        sent.push_back(single(nonce, {static_cast<unsigned char>(nonce)}));
        put(sent.back());
        pump({b}, [&] { return state(kA) == FRAG_FINISHED; }, 500);
        n_frag_delete(kA.data());  // as an application does once it took the data
    }
    ASSERT_EQ(300u, stats().transfers_finished);
    tap.drain(50);
    for (int i = 0; i < 100; ++i) {
        put(sent[static_cast<std::size_t>(i)]);
        if (i % 25 == 24)
            pump({b}, [] { return false; }, 10);
    }
    pump({b}, [] { return false; }, 30);
    EXPECT_EQ(300u, stats().transfers_finished);
    EXPECT_EQ(-1, state(kA));
    EXPECT_EQ(100u, acks().size());
}

// The memory of ended transfers forgets nothing early: when it is full, new
// transfers are refused.
TEST(EndedTransfers, FullMemoryRefusesNewTransfersAndForgetsNothingEarly)
{
    ManualClock clock;
    const NodeId peer = node_id(9);
    for (uint32_t nonce = 0; nonce < kEndedTransfers; ++nonce)
        ASSERT_TRUE(ended_reserve(peer.data(), true, nonce)) << nonce;
    EXPECT_FALSE(ended_reserve(peer.data(), true, kEndedTransfers));
    PartSummary s{};
    EXPECT_TRUE(ended_by_nonce(peer.data(), 0, s));
    clock.advance(3600u * 1000u);  // transfers under way keep their place
    EXPECT_FALSE(ended_reserve(peer.data(), true, kEndedTransfers));
    ended_clear();
}


// queue before its timers may give up on their transfer.
TEST_F(StrayFragments, WaitingPartsAreReadBeforeTheTimersGiveUp)
{
    ShiftedClock clock;
    deliver(part(0, 2, {1}));
    put(part(1, 2, {2}));
    ASSERT_EQ(1, n_socket_select(b, nullptr));
    clock.advance(60000);
    EXPECT_EQ(0, n_socket_serve_timers(b));
    EXPECT_EQ(FRAG_ACTIVE, state(kA));
    pump({b}, [] { return false; }, 30);
    int64_t done = 0;
    EXPECT_EQ(FRAG_ACTIVE | FRAG_RECEIVING, n_frag_get_progress(kA.data(), &done, nullptr));
    EXPECT_EQ(2, done);
}

// Sixteen fakes hold the default table, each kept alive with one part every
// 150 ms (a little more than one per timeout): a steady sender still gets in
// within its first retries.
TEST_F(StrayFragments, TricklingFakesDoNotKeepASteadySenderOut)
{
    ManualClock clock;
    for (int round = 0; round < 2; ++round)  // (the last places take a first part that came twice)
        for (unsigned char n = 0; n < 16; ++n)
            put(first_from(static_cast<unsigned char>(60 + n), {n}));
    pump({b}, [] { return false; }, 50);
    ASSERT_EQ(16u, stats().transfers_started);
    const Bytes legit = single(400, {42});
    int tries = 0;
    // The fakes trickle for 1.5 s before the sender comes, and go on.
    for (int ms = 0; ms <= 3500 && state(kA) != FRAG_FINISHED; ms += 50) {
        clock.advance(50);
        for (unsigned char n = static_cast<unsigned char>((ms / 50) % 3); n < 16; n += 3) {
            const unsigned char seq = static_cast<unsigned char>(1 + ms / 150);
            put(frame(node_id(static_cast<unsigned char>(60 + n)), seq, {payload({n}), cad(idb), cac(2, seq)}));
        }
        pump({b}, [] { return false; }, 5);
        if (ms >= 1500 && (ms - 1500) % 163 < 50) {  // the sender's retries
            put(legit);
            ++tries;
        }
        pump({b}, [] { return false; }, 5);
    }
    EXPECT_EQ(FRAG_FINISHED, state(kA));
    EXPECT_LE(tries, 4);
    EXPECT_EQ(1u, stats().transfers_evicted);
}

// A fresh first part every 10 ms (each from a new node) evicts nothing: a
// slow but live transfer among fifteen fakes runs to its end.
TEST_F(StrayFragments, FreshFirstPartsEvictNothing)
{
    ShiftedClock clock;
    for (int round = 0; round < 2; ++round)
        for (unsigned char n = 0; n < 15; ++n)
            put(first_from(static_cast<unsigned char>(60 + n), {n}));
    pump({b}, [] { return false; }, 50);
    deliver(part(0, 2, {0}));
    deliver(part(0, 2, {0}));
    ASSERT_EQ(FRAG_ACTIVE, state(kA));
    unsigned char fresh = 100;
    for (unsigned char seq = 1; seq <= 40; ++seq) {
        for (int i = 0; i < 10; ++i) {
            clock.advance(10);
            put(first_from(fresh++, {1}));
        }
        deliver(part(seq, seq == 40 ? 4 : 2, {seq}));  // one part per 100 ms: slow, but live
    }
    EXPECT_EQ(FRAG_FINISHED, state(kA));
    EXPECT_EQ(0u, stats().transfers_evicted);
}

// One-shot sources take at most three quarters of the table, finished and
// untaken or not: a sender that resends its first part gets in.
TEST_F(StrayFragments, OneShotSourcesLeaveRoomForASenderThatResends)
{
    ASSERT_EQ(0, n_socket_set_frag_limits(b, 4, 1000));
    for (unsigned char n = 10; n < 110; ++n) {
        Bytes f = part(0, 4, {n});  // single-part transfers: finished at once, never taken
        f[52] = n;  // source identifier 1.1.1.1.10.0.0.n
        n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
        put(f);
    }
    pump({b}, [] { return false; }, 200);
    int held = 0;
    for (const FragRef &f : frag_snapshot())
        held += frag_receiving(f.get()) ? 1 : 0;
    EXPECT_EQ(3, held);
    EXPECT_EQ(97u, stats().transfers_refused);
    const Bytes legit = single(500, {42});
    deliver(legit);
    EXPECT_EQ(-1, state(kA));
    deliver(legit);
    EXPECT_EQ(FRAG_FINISHED, state(kA));
}

// A transfer of exactly the receiver's byte limit finishes; one byte more is
// refused at its first part when a descriptor announces it, and aborted at
// the part that goes beyond when nothing does.
TEST_F(StrayFragments, TransferOfTheByteLimitFinishesOneByteMoreDoesNot)
{
    ASSERT_EQ(0, n_socket_set_frag_limits(b, 4, 50));
    for (uint32_t len : {50u, 51u}) {
        SCOPED_TRACE(len);
        const Bytes data = random_bytes(len, len);
        const Bytes head(data.begin(), data.begin() + 45), tail(data.begin() + 45, data.end());
        const uint32_t crc = crc32_update(0, data.data(), len);
        deliver(part(0, 2, head, {cat({true, kDescFirst | kDescIndex, len, len, 0, 0})}));
        deliver(part(1, 4, tail, {cat({true, kDescLast | kDescIndex, len, 0, crc, 1})}));
        EXPECT_EQ(len == 50 ? FRAG_FINISHED : -1, state(kA));
        n_frag_delete(kA.data());
        deliver(part(0, 2, head));
        deliver(part(1, 4, tail));
        EXPECT_EQ(len == 50 ? FRAG_FINISHED : FRAG_ABORTED, state(kA));
        n_frag_delete(kA.data());
    }
    EXPECT_EQ(1u, stats().transfers_refused);
}

// ---------------------------------------------------------------- the transfer descriptor

// Every part carries its index (and the first the length, the last the
// CRC-32); every acknowledgement echoes the nonce and the index it answers.
TEST_F(StrayFragments, EveryPartCarriesTheDescriptorAndAcknowledgementsEchoIt)
{
    n_socket_set_transfer_window(a, 1);  // the frames of one part at a time
    const Bytes data = random_bytes(100, 6);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));
    std::vector<Bytes> parts, replies;
    pump({a, b}, [&] {
        for (Bytes &f : tap.drain(1))
            (wire_source(f) == ida ? parts : replies).push_back(std::move(f));
        return state(kB) == FRAG_FINISHED && replies.size() == 3;
    }, 5000);
    ASSERT_EQ(3u, parts.size());
    ASSERT_EQ(3u, replies.size());
    const uint8_t flags[3] = {kDescFirst | kDescIndex, kDescIndex, kDescLast | kDescIndex};
    Descriptor d[3];
    for (uint32_t i = 0; i < 3; ++i) {
        FrameView v;
        ASSERT_EQ(Reject::None, view_frame(parts[i].data(), parts[i].size(), v));
        d[i] = read_descriptor(v);
        EXPECT_TRUE(d[i].present && d[i].flags == flags[i] && d[i].index == i && d[i].nonce == d[0].nonce) << i;
        ASSERT_EQ(Reject::None, view_frame(replies[i].data(), replies[i].size(), v));
        const Descriptor echo = read_descriptor(v);
        EXPECT_TRUE(echo.present && echo.flags == (kDescEcho | kDescIndex) && echo.nonce == d[0].nonce &&
                    echo.index == i)
            << i;
    }
    EXPECT_EQ(100u, d[0].total);
    EXPECT_EQ(crc32_update(0, data.data(), data.size()), d[2].crc);
}

// A part 256 parts old carries the sequence byte of the part expected: its
// index tells it apart, and it is neither stored nor acknowledged.
TEST_F(StrayFragments, APartOf256PartsAgoIsNotTakenForTheCurrentOne)
{
    deliver(part(0, 2, {1}, {cat({true, kDescFirst | kDescIndex, 5, 1000, 0, 0})}));
    tap.drain(20);
    deliver(part(1, 2, {9}, {cat({true, kDescIndex, 5, 0, 0, 257})}));
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(1u, stats().stray_fragments);
    deliver(part(1, 2, {2}, {cat({true, kDescIndex, 5, 0, 0, 1})}));
    ASSERT_EQ(1u, acks().size());
    int64_t done = 0;
    n_frag_get_progress(kA.data(), &done, nullptr);
    EXPECT_EQ(2, done);
}

// Data that break what the descriptor promised abort the transfer at the
// part that shows it (not acknowledged) and are never delivered: a CRC-32
// that differs, a last part short of the announced length, and a part before
// the last that already reaches it.
// An acknowledgement with the sequence byte of the part in flight advances
// the sender only when it echoes this transfer's nonce and that part's index:
// not the one of 256 parts ago, nor one of another transfer.
TEST_F(StrayFragments, SenderTakesNoAcknowledgementOf256PartsAgoOrOfAnotherTransfer)
{
    const Bytes data = random_bytes(300 * 45, 9);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), static_cast<uint32_t>(data.size()), kType));
    for (int i = 0; i < 256; ++i) {
        n_frag_acked(idb.data());
        n_frag_next_part(idb.data());
    }
    const uint32_t nonce = n_frag_get_frag(idb.data())->nonce;
    // The acknowledgement of sequence byte 0 reaches a; what a has acknowledged then.
    const auto acknowledged_after = [&](uint32_t echoed_nonce, uint32_t index) {
        const Descriptor echo{true, kDescEcho | kDescIndex, echoed_nonce, 0, 0, index};
        put(frame(idb, 1, {acm(), cac(3, 0), cat(echo), cad(ida)}));
        pump({a}, [] { return false; }, 30);
        int64_t done = 0;
        n_frag_get_progress(idb.data(), &done, nullptr);
        return done;
    };
    EXPECT_EQ(256 * 45, acknowledged_after(nonce, 0));
    EXPECT_EQ(256 * 45, acknowledged_after(nonce + 1, 256));
    EXPECT_EQ(257 * 45, acknowledged_after(nonce, 256));
}

TEST_F(StrayFragments, DataThatBreakTheDescriptorAreNeverDelivered)
{
    const uint32_t crc = crc32_update(0, Bytes{1, 2, 3, 4}.data(), 4);
    struct Case {
        const char *name;
        uint32_t announced;
        unsigned char control;  // of the second part
        uint8_t flags;
        uint32_t crc;
    };
    const Case cases[] = {{"checksum differs", 4, 4, kDescLast, crc ^ 1},
                          {"last part short of the length", 5, 4, kDescLast, crc},
                          {"part before the last reaches the length", 4, 2, 0, 0}};
    uint32_t nonce = 77;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        deliver(part(0, 2, {1, 2}, {cat({true, kDescFirst | kDescIndex, ++nonce, c.announced, 0, 0})}));
        tap.drain(20);
        const Descriptor second{true, static_cast<uint8_t>(c.flags | kDescIndex), nonce, 0, c.crc, 1};
        deliver(part(1, c.control, {3, 4}, {cat(second)}));
        EXPECT_TRUE(acks().empty());
        EXPECT_EQ(FRAG_ABORTED, state(kA));
        unsigned char *out = reinterpret_cast<unsigned char *>(1);
        n_frag_get_data(kA.data(), &out);
        EXPECT_EQ(nullptr, out);
    }
}

// ---------------------------------------------------------------- files

std::string temp_path(const std::string &name) { return ::testing::TempDir() + name; }

TEST_F(StrayFragments, FilesUpToFourGibibytesAreCountedWhole)
{
    const std::string path = temp_path("sparse_3g.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const uint64_t three_gib = 3ull << 30;
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(three_gib)));  // sparse: nothing is written
    ::close(fd);
    ASSERT_EQ(1, n_socket_send_file(a, a, path.c_str(), kB.data(), kType));
    int64_t done = -1, total = -1;
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_progress(kB.data(), &done, &total));
    EXPECT_EQ(0, done);
    EXPECT_EQ(static_cast<int64_t>(three_gib), total);
    EXPECT_EQ(INT32_MAX, n_frag_get_data_length(kB.data()));  // saturated, never negative
    FrameView v;
    const Bytes first = tap.next();
    ASSERT_EQ(Reject::None, view_frame(first.data(), first.size(), v));
    EXPECT_EQ(static_cast<uint32_t>(three_gib), read_descriptor(v).total);
    std::remove(path.c_str());
}

TEST_F(StrayFragments, FileThatShrinksAbortsTheTransfer)
{
    const std::string path = temp_path("shrinks.bin");
    // Larger than the block read ahead, so that the shrinking shows.
    std::ofstream(path, std::ios::binary) << std::string(200000, 'x');
    ASSERT_EQ(1, n_socket_send_file(a, a, path.c_str(), kB.data(), kType));
    ASSERT_EQ(0, truncate(path.c_str(), 50));
    pump({a, b}, [] { return state(kB) != FRAG_ACTIVE; }, 20000);
    EXPECT_EQ(FRAG_ABORTED, state(kB));
    std::remove(path.c_str());
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A received file never changes what the library did not create: a symbolic
// link (or any file) at OUTFILE.part stays as it is, and the transfer goes
// through a fresh name beside it.
TEST_F(StrayFragments, ReceivedFileNeverTouchesWhatItDidNotCreate)
{
    const std::string dir = temp_path("sink_" + std::to_string(getpid()) + "/");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string victim = dir + "victim", out = dir + "out.bin";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, symlink(victim.c_str(), (out + ".part").c_str()));
    ASSERT_EQ(0, n_frag_recv_file(b, kA.data(), out.c_str()));
    EXPECT_EQ(0, ::access((out + ".part.1").c_str(), F_OK));
    deliver(part(0, 2, {'a', 'b'}));
    deliver(part(1, 4, {'c'}));
    EXPECT_EQ(FRAG_FINISHED, state(kA));
    EXPECT_EQ("abc", slurp(out));
    EXPECT_EQ("keep", slurp(victim));
    EXPECT_EQ("keep", slurp(out + ".part"));  // still the link
    EXPECT_NE(0, ::access((out + ".part.1").c_str(), F_OK));
    n_frag_delete(kA.data());

    // Aborted: the temporary file goes, or with FRAG_FILE_KEEP_PARTIAL what
    // was received becomes the target.
    for (int flags : {0, FRAG_FILE_KEEP_PARTIAL}) {
        std::remove(out.c_str());
        ASSERT_EQ(0, n_frag_recv_file_opts(b, kA.data(), out.c_str(), flags));
        deliver(part(0, 2, {'x', static_cast<unsigned char>('0' + flags)}));
        n_frag_abort(kA.data());
        n_frag_delete(kA.data());
        EXPECT_EQ(flags ? "x1" : "", slurp(out)) << flags;
        EXPECT_NE(0, ::access((out + ".part.1").c_str(), F_OK)) << flags;
    }
    // A target whose folder is missing is refused at once, with the cause:
    // no transfer is ever taken into memory instead.
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_recv_file(b, kA.data(), (dir + "no/such/out").c_str()));
    EXPECT_EQ(2, n_errno);
    for (const std::string &f : {victim, out, out + ".part"})
        std::remove(f.c_str());
    rmdir(dir.c_str());
}

TEST_F(StrayFragments, ReceivedFileIsWrittenAsItArrivesAndAppearsWhenComplete)
{
    const std::string path = temp_path("streamed.bin");
    std::remove(path.c_str());
    ASSERT_EQ(0, n_frag_recv_file(b, kA.data(), path.c_str()));
    const Bytes data = random_bytes(5000, 8);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));
    bool seen_partial = false;
    pump({a, b}, [&] {
        seen_partial = seen_partial || ::access((path + ".part").c_str(), F_OK) == 0;
        return state(kA) == FRAG_FINISHED;
    }, 5000);
    EXPECT_TRUE(seen_partial);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(data, Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    EXPECT_EQ(5000, n_frag_get_data_file(kA.data(), path.c_str()));
    // Writing elsewhere that cannot take the bytes fails rather than
    // reporting a short file as written.
    EXPECT_EQ(-1, n_frag_get_data_file(kA.data(), "/dev/full"));
    std::remove(path.c_str());
}

}  // namespace
