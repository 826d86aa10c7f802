// SPDX-License-Identifier: MIT
// Receiving: classification of frames, automatic acknowledgement, repeats, failures, fragment acknowledgements and timers, select and raw reads.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/time.h>

#include <sys/wait.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ack.h"
#include "frag.h"
#include "history.h"
#include "recv.h"
#include "socket.h"
#include "support/clock.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/nodes.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);  // sends the frames
const NodeId kB = node_id(2);  // receives them
const NodeId kC = node_id(3);  // a third node
const unsigned char kType[2] = {0x12, 0x34};

Bytes with_bad_crc();

Bytes request(const NodeId &from, unsigned char q) { return frame(from, q, {payload({1, 2, 3}), cad(kB), cac(0, q)}); }

// A frame of `size` bytes (at most 311) whose one tuple fills the room
// between header and CRC.
Bytes frame_of_size(std::size_t size)
{
    return frame(kA, 1, {payload(Bytes(size - PACKET_HEADER_SIZE - 2 - 3, 0x5A))});
}

// Node a (kA) sends, node b (kB) receives.
class Receive : public NodePair {
protected:
    // Puts bytes on the wire from node a: every node on the port hears them.
    void put(const Bytes &f) { ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size()))); }

    // Receives on b once a datagram is waiting (at most a second). Node b
    // hears its own broadcasts too (acknowledgements, parts), which name
    // other nodes and read as "nothing for the application": those are
    // passed over while more datagrams wait.
    n_pkt *take(int ack_fd = 0)
    {
        timeval tv{1, 0};
        n_socket_select(b, &tv);
        for (;;) {
            n_pkt *pkt = n_socket_recv(b, ack_fd);
            timeval zero{0, 0};
            if (pkt != nullptr || n_errno != 11 || n_socket_select(b, &zero) != 1)
                return pkt;
        }
    }

    // The acknowledgements node b put on the wire: frames from kB with a
    // "CAC" reply bit.
    std::vector<WireControl> acks_from_b(int ms = 30)
    {
        std::vector<WireControl> acks;
        for (const Bytes &f : tap.drain(ms)) {
            const WireControl c = wire_control(f);
            if (wire_source(f) == kB && c.control >= 0 && (c.control & 1))
                acks.push_back(c);
        }
        return acks;
    }

    Tap tap;
};

// ---------------------------------------------------------------- classification

struct ClassCase {
    std::string name;
    std::vector<WireTuple> tuples;
    FrameClass cls;
    int seq;  // -1: not looked at
};

void PrintTo(const ClassCase &c, std::ostream *os) { *os << c.name; }

class Classification : public ::testing::TestWithParam<ClassCase> {};

TEST_P(Classification, FrameIsClassifiedByItsFirstCadAndCac)
{
    const ClassCase &c = GetParam();
    const Bytes f = frame(kA, 1, c.tuples);
    FrameView view;
    ASSERT_EQ(Reject::None, view_frame(f.data(), f.size(), view));
    const Classified got = classify_frame(view, kB.data());
    EXPECT_EQ(c.cls, got.cls);
    if (c.seq >= 0) {
        EXPECT_EQ(c.seq, got.seq);
    }
}

const Bytes kPrefixOfB(kB.begin(), kB.begin() + 4);
// A "CAD" of our first five bytes, and a tuple whose type and length bytes
// (0, 0, 2) are the other three: read on past the "CAD", they would name us.
const std::vector<WireTuple> kShortCadThenTheRestOfB = {{0x6C, 0x80, Bytes(kB.begin(), kB.begin() + 5)},
                                                        {0, 0, {7, 7}}};
const Bytes kBAndMore = [] {
    Bytes v(kB.begin(), kB.end());
    v.push_back(9);
    return v;
}();

INSTANTIATE_TEST_SUITE_P(
    Tuples, Classification,
    ::testing::Values(
        ClassCase{"NoCad", {payload({1})}, FrameClass::ForEverybody, -1},
        ClassCase{"CacWithoutCad", {cac(0, 5)}, FrameClass::ForEverybody, -1},
        ClassCase{"CadOfAnotherNode", {cad(kC), cac(0, 5)}, FrameClass::ForOtherNode, -1},
        ClassCase{"CadShorterThanAnIdentifier", {{0x6C, 0x80, kPrefixOfB}}, FrameClass::ForOtherNode, -1},
        ClassCase{"EmptyCad", {{0x6C, 0x80, {}}}, FrameClass::ForOtherNode, -1},
        ClassCase{"ShortCadFollowedByTheRestOfOurId", kShortCadThenTheRestOfB, FrameClass::ForOtherNode, -1},
        ClassCase{"LongCadStartingWithOurIdentifier", {{0x6C, 0x80, kBAndMore}}, FrameClass::ForThisNode, -1},
        ClassCase{"FirstCadCounts", {cad(kC), cad(kB)}, FrameClass::ForOtherNode, -1},
        ClassCase{"AddressedWithoutCac", {payload({1}), cad(kB)}, FrameClass::ForThisNode, -1},
        ClassCase{"Request", {cad(kB), cac(0, 77)}, FrameClass::Request, 77},
        ClassCase{"RequestWithLongCac", {cad(kB), {0x66, 0x40, {0, 78, 1}}}, FrameClass::Request, 78},
        ClassCase{"Acknowledgement", {cad(kB), cac(1, 7)}, FrameClass::Acknowledgement, 7},
        ClassCase{"Fragment", {payload({1}), cad(kB), cac(2, 3)}, FrameClass::Fragment, 3},
        ClassCase{"LastFragment", {payload({1}), cad(kB), cac(4, 4)}, FrameClass::Fragment, 4},
        ClassCase{"FragmentAck", {acm(), cac(3, 5), cad(kB)}, FrameClass::FragmentAck, 5},
        ClassCase{"LastFragmentAck", {acm(), cac(5, 6), cad(kB)}, FrameClass::FragmentAck, 6},
        ClassCase{"FirstCacCounts", {cad(kB), cac(0, 7), cac(4, 9)}, FrameClass::Request, 7},
        ClassCase{"KindThree", {cad(kB), cac(6, 1)}, FrameClass::Invalid, -1},
        ClassCase{"KindOneHundredTwentySeven", {cad(kB), cac(255, 1)}, FrameClass::Invalid, -1},
        ClassCase{"CacWithoutSequenceByte", {cad(kB), {0x66, 0x40, {0}}}, FrameClass::Invalid, -1},
        ClassCase{"EmptyCac", {cad(kB), {0x66, 0x40, {}}}, FrameClass::Invalid, -1}),
    [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------- delivery

TEST_F(Receive, UnknownDescriptorOrNothingWaitingFailAtOnce)
{
    n_errno = 0;
    EXPECT_EQ(nullptr, n_socket_recv(12345, 0));
    EXPECT_EQ(9, n_errno);
    EXPECT_EQ(nullptr, n_socket_recv(b, 0));
    EXPECT_EQ(11, n_errno);
}

TEST_F(Receive, FrameForEverybodyIsDeliveredUnansweredWhateverItHolds)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    put(frame(kA, 12, {payload({9, 8}), cac(0, 5)}));
    PacketPtr pkt(take(b));
    ASSERT_NE(nullptr, pkt);
    EXPECT_EQ(12, n_pkt_get_seq(pkt.get()));
    EXPECT_EQ(0, n_pkt_get_ack(pkt.get()));
    EXPECT_TRUE(acks_from_b().empty());
}

TEST_F(Receive, FrameForAnotherNodeIsDeliveredOnlyWithRecvAll)
{
    put(frame(kA, 1, {payload({1}), cad(kC)}));
    n_errno = 0;
    EXPECT_EQ(nullptr, take());
    EXPECT_EQ(11, n_errno);

    n_socket_set_option(b, SOCKET_RECV_ALL, 1);
    put(frame(kA, 2, {payload({1}), cad(kC)}));
    PacketPtr pkt(take());
    ASSERT_NE(nullptr, pkt);
    EXPECT_EQ(2, n_pkt_get_seq(pkt.get()));
}

TEST_F(Receive, SenderHearsItsOwnBroadcast)
{
    PacketPtr out(n_pkt_alloc());
    n_acl_add(out.get(), kType, nullptr, 0, 0);
    ASSERT_EQ(1, n_socket_send(a, out.get()));
    timeval tv{1, 0};
    ASSERT_EQ(1, n_socket_select(a, &tv));
    PacketPtr back(n_socket_recv(a, 0));
    ASSERT_NE(nullptr, back);
    EXPECT_TRUE(std::equal(kA.begin(), kA.end(), n_pkt_get_srcid(back.get())));
}

TEST_F(Receive, RequestIsAcknowledgedEveryTimeButDeliveredOnce)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    put(request(kA, 40));
    PacketPtr first(take(b));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1, n_pkt_get_ack(first.get()));
    auto acks = acks_from_b();
    ASSERT_EQ(1u, acks.size());
    EXPECT_EQ(1, acks[0].control);
    EXPECT_EQ(40, acks[0].seq);

    // The repeat means our acknowledgement was lost: answered, not delivered.
    put(request(kA, 40));
    n_errno = 0;
    EXPECT_EQ(nullptr, take(b));
    EXPECT_EQ(11, n_errno);
    acks = acks_from_b();
    ASSERT_EQ(1u, acks.size());
    EXPECT_EQ(40, acks[0].seq);
}

// Each node has a history of its own: requests of other nodes do not push
// a node's entries out.
TEST_F(Receive, HistoryIsKeptPerNode)
{
    put(request(kA, 7));
    ASSERT_NE(nullptr, PacketPtr(take()));
    for (unsigned char q = 1; q <= 6; ++q) {
        put(request(kC, q));
        ASSERT_NE(nullptr, PacketPtr(take()));
    }
    put(request(kA, 7));
    EXPECT_EQ(nullptr, PacketPtr(take()));
}

// A socket's own frames for other nodes change nothing when they come back,
// so it does not read them back at all (a trace hook sees them once, sent);
// with SOCKET_RECV_ALL it does. A "CAD" too short to be an identifier names
// another node, whatever bytes follow it; one that names the socket itself
// comes back.
TEST_F(Receive, OwnFramesForOtherNodesAreNotReadBack)
{
    static int sent = 0, received = 0;
    n_set_trace([](const n_trace_info *i, void *) { (i->event == N_TRACE_SENT ? sent : received) += 1; }, nullptr);
    const auto send_to_c = [&] {
        PacketPtr pkt(n_pkt_alloc());
        n_acl_add(pkt.get(), kTypeCAD, kC.data(), 8, 0);
        ASSERT_EQ(1, n_socket_send(b, pkt.get()));
    };
    const auto comes_back = [&](const Bytes &f) {
        EXPECT_EQ(1, n_socket_send_raw(b, f.data(), static_cast<int>(f.size())));
        timeval tv{0, 50000};
        return n_socket_select(b, &tv) == 1;
    };
    send_to_c();
    timeval tv{0, 50000};
    EXPECT_EQ(0, n_socket_select(b, &tv));
    EXPECT_EQ(1, sent);
    EXPECT_EQ(0, received);
    n_set_trace(nullptr, nullptr);
    EXPECT_FALSE(comes_back(frame(kB, 1, kShortCadThenTheRestOfB)));
    EXPECT_TRUE(comes_back(frame(kB, 2, {cad(kB)})));
    EXPECT_NE(nullptr, PacketPtr(take()));

    n_socket_set_option(b, SOCKET_RECV_ALL, 1);
    send_to_c();
    EXPECT_NE(nullptr, PacketPtr(take()));
}

// The trace hook sees a datagram as it arrives, with the address it was sent
// to, before the acknowledgement that it causes; a datagram sent comes with
// the destinations that took it.
TEST_F(Receive, TraceSeesArrivalBeforeItsAcknowledgementWithRealAddresses)
{
    struct Seen {
        int event, fd;
        std::vector<sockaddr_in> to;
    };
    std::vector<Seen> seen;
    n_set_trace([](const n_trace_info *i, void *user) {
        static_cast<std::vector<Seen> *>(user)->push_back({i->event, i->fd, {i->to, i->to + i->to_count}});
    }, &seen);
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    put(request(kA, 9));
    const PacketPtr got(take(b));
    n_set_trace(nullptr, nullptr);
    ASSERT_NE(nullptr, got);

    const auto broadcast = [](const std::vector<sockaddr_in> &to) {
        return to.size() == 1 && to[0].sin_addr.s_addr == inet_addr("127.255.255.255") &&
               to[0].sin_port == htons(kNodePort);
    };
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(N_TRACE_SENT, seen[0].event);
    EXPECT_TRUE(broadcast(seen[0].to));
    std::vector<int> on_b;
    for (const Seen &s : seen)
        if (s.fd == b && (s.event == N_TRACE_RECEIVED || s.event == N_TRACE_ACK_SENT || s.event == N_TRACE_DELIVERED)) {
            on_b.push_back(s.event);
            EXPECT_TRUE(s.event == N_TRACE_DELIVERED ? s.to.empty() : broadcast(s.to)) << s.event;
        }
    EXPECT_EQ((std::vector<int>{N_TRACE_RECEIVED, N_TRACE_ACK_SENT, N_TRACE_DELIVERED}), on_b);
    EXPECT_STREQ("received", n_trace_event_name(N_TRACE_RECEIVED));
}

// What the socket counts adds up: garbage, a repeat, a frame for another
// node, and a transfer received and acknowledged.
TEST_F(Receive, CountersAddUp)
{
    n_socket_set_option(b, SOCKET_AUTOACK | SOCKET_FRAG, 1);
    put(Bytes(30, 0x55));
    put(with_bad_crc());
    put(request(kA, 9));
    put(request(kA, 9));
    put(frame(kA, 1, {cad(kC)}));
    put(frame(kA, 2, {payload({1}), cad(kB), cac(2, 0)}));
    put(frame(kA, 3, {payload({2}), cad(kB), cac(4, 1)}));
    put(frame(kA, 4, {payload({3}), cad(kB), cac(2, 9)}));
    pump({b}, [] { return false; }, 100);
    n_socket_stats st{};
    ASSERT_EQ(0, n_socket_get_stats(b, &st));
    EXPECT_EQ(2u, st.frames_rejected);
    EXPECT_EQ(1u, st.duplicates);
    EXPECT_EQ(1u, st.not_for_us);  // its own acknowledgements, addressed to a, are not read back
    EXPECT_EQ(1u, st.stray_fragments);
    EXPECT_EQ(1u, st.transfers_started);
    EXPECT_EQ(1u, st.transfers_finished);
    EXPECT_EQ(4u, st.acks_sent);  // the request twice, the two parts
    EXPECT_EQ(st.acks_sent, st.frames_sent);
    EXPECT_EQ(6u, st.frames_received);
    ASSERT_EQ(0, n_socket_reset_stats(b));
    ASSERT_EQ(0, n_socket_get_stats(b, &st));
    EXPECT_EQ(0u, st.frames_received + st.acks_sent + st.frames_rejected);
    EXPECT_EQ(-1, n_socket_get_stats(b, nullptr));
    EXPECT_EQ(-1, n_socket_get_stats(12345, &st));
    EXPECT_EQ(9, n_errno);
}

// The caller's record may be that of an older or a newer header: the
// counters are written only as far as its size says, whole, and the entry
// point without a size keeps the record it always wrote (up to rto_ms).
TEST_F(Receive, CountersFillOnlyTheCallersRecord)
{
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    ASSERT_EQ(0, n_socket_set_quiet_start(b, 1));
    put(request(kA, 5));  // refused: the socket keeps quiet after its start
    put(frame(kA, 6, {payload({1})}));
    PacketPtr got(take());
    ASSERT_NE(nullptr, got);

    constexpr std::size_t kOldSize = offsetof(n_socket_stats, rto_ms) + sizeof(uint64_t);
    constexpr unsigned char kUntouched = 0xAB;
    struct Padded {
        n_socket_stats st;
        unsigned char after[16];
    };
    auto fresh = [&] {
        Padded p;
        std::memset(&p, kUntouched, sizeof p);
        return p;
    };
    auto untouched_from = [](const Padded &p, std::size_t from) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(&p);
        for (std::size_t i = from; i < sizeof p; ++i)
            if (bytes[i] != kUntouched)
                return false;
        return true;
    };

    Padded p = fresh();
    ASSERT_EQ(static_cast<int>(sizeof(n_socket_stats)), n_socket_get_stats_sized(b, &p.st, sizeof p.st));
    EXPECT_EQ(1u, p.st.requests_refused);
    EXPECT_EQ(2u, p.st.frames_received);
    EXPECT_TRUE(untouched_from(p, sizeof p.st));

    p = fresh();
    ASSERT_EQ(0, n_socket_get_stats(b, &p.st));
    EXPECT_EQ(2u, p.st.frames_received);
    EXPECT_TRUE(untouched_from(p, kOldSize));

    // An older record, one that ends inside a counter, a newer one, none.
    for (const std::size_t size : {kOldSize, kOldSize + 5, sizeof p}) {
        const std::size_t filled = std::min(size, sizeof(n_socket_stats)) / 8 * 8;
        p = fresh();
        EXPECT_EQ(static_cast<int>(filled), n_socket_get_stats_sized(b, &p.st, size)) << size;
        EXPECT_EQ(2u, p.st.frames_received) << size;
        EXPECT_TRUE(untouched_from(p, filled)) << size;
    }
    p = fresh();
    EXPECT_EQ(0, n_socket_get_stats_sized(b, &p.st, 0));
    EXPECT_TRUE(untouched_from(p, 0));

    ASSERT_EQ(0, n_socket_reset_stats(b));
    ASSERT_LT(0, n_socket_get_stats_sized(b, &p.st, sizeof p.st));
    EXPECT_EQ(0u, p.st.requests_refused);
    EXPECT_EQ(-1, n_socket_get_stats_sized(b, nullptr, sizeof p.st));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_get_stats_sized(12345, &p.st, sizeof p.st));
    EXPECT_EQ(9, n_errno);
}

TEST_F(Receive, RequestIsAnsweredOnlyWithAutoAckAndAnAckSocket)
{
    put(request(kA, 1));
    PacketPtr no_option(take(b));
    ASSERT_NE(nullptr, no_option);

    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    put(request(kA, 2));
    PacketPtr no_socket(take(0));
    ASSERT_NE(nullptr, no_socket);
    EXPECT_EQ(0, n_pkt_get_ack(no_socket.get()));
    EXPECT_TRUE(acks_from_b().empty());
    // Unanswered requests are remembered all the same.
    put(request(kA, 2));
    EXPECT_EQ(nullptr, take(0));
}

// A copy of a request held back in the network arrives after newer ones:
// within the sender's window every byte taken is a repeat, until the sender
// has come round to the bytes just before it (the 16 before allow for
// requests that overtake each other).
TEST_F(Receive, HistoryRemembersEveryByteOfTheWindowUntilTheSenderComesRound)
{
    ASSERT_EQ(5, n_socket_get_lastacks());
    for (unsigned char q = 1; q <= 6; ++q) {
        put(request(kA, q));
        ASSERT_NE(nullptr, PacketPtr(take())) << "request " << int(q);
    }
    put(request(kA, 1));
    EXPECT_EQ(nullptr, PacketPtr(take()));  // five requests later: still a repeat
    for (unsigned q = 7; q <= 241; ++q) {
        put(request(kA, static_cast<unsigned char>(q)));
        ASSERT_NE(nullptr, PacketPtr(take())) << "request " << q;
    }
    put(request(kA, 2));
    EXPECT_EQ(nullptr, PacketPtr(take()));  // 239 behind
    put(request(kA, 1));
    EXPECT_NE(nullptr, PacketPtr(take()));  // 241, 16 before it, came after: the next round's
}

// A sender that sends more than 256 requests inside the window wraps its
// sequence byte: each is new, none is taken for the one 256 before it.
TEST_F(Receive, SenderWrappingItsByteInsideTheWindowIsAlwaysHeard)
{
    for (unsigned i = 0; i < 600; ++i) {
        put(request(kA, static_cast<unsigned char>(i)));
        ASSERT_NE(nullptr, PacketPtr(take())) << "request " << i;
    }
    EXPECT_EQ(-1, n_socket_set_lastacks(129));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(5, n_socket_get_lastacks());
    EXPECT_EQ(1, n_socket_set_lastacks(128));
    n_socket_set_lastacks(5);
}

TEST_F(Receive, SameSequenceFromTwoNodesIsNoRepeat)
{
    put(request(kA, 9));
    PacketPtr one(take());
    put(request(kC, 9));
    PacketPtr two(take());
    EXPECT_NE(nullptr, one);
    EXPECT_NE(nullptr, two);
}

// Two nodes in one process: node 1's request to node 3 is no repeat of the
// one with the same sequence byte that node 2 has just taken.
TEST_F(Receive, TwoNodesInOneProcessKeepTheirOwnHistory)
{
    const int c = open_node(kC);
    put(request(kA, 9));
    PacketPtr to_b(take());
    ASSERT_NE(nullptr, to_b);
    put(frame(kA, 9, {payload({1}), cad(kC), cac(0, 9)}));
    PacketPtr to_c(n_socket_recv_timeout(c, 0, 1000));  // passes over the request to node 2
    n_socket_close(c);
    EXPECT_NE(nullptr, to_c);
}

// A sender resends only while it retries (retry x timeout): the same
// sequence byte after that is a new request, as from a restarted node.
TEST_F(Receive, SameSequenceAfterTheResendWindowIsANewRequest)
{
    ShiftedClock clock;
    put(request(kA, 40));
    PacketPtr first(take());
    ASSERT_NE(nullptr, first);
    clock.advance(1000);
    put(request(kA, 40));
    EXPECT_EQ(nullptr, PacketPtr(take()));  // still a resend (the window is 10 x 163 ms)
    clock.advance(1000);
    put(request(kA, 40));
    EXPECT_NE(nullptr, PacketPtr(take()));
}

// Every process numbers its frames from its own random start, whatever the
// application did with rand(), and leaves the rand() stream alone.
TEST(SocketCounters, StartRandomlyInEveryProcessAndLeaveRandAlone)
{
    std::srand(7);
    const int expected = std::rand();
    std::srand(7);
    std::set<int> starts;
    for (int child = 0; child < 4; ++child) {
        int out[2];
        ASSERT_EQ(0, pipe(out));
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open_node(node_id(9));
            const int start = n_socket_get_last_seq(fd) << 8 | socket_acquire(fd)->ack_seq;
            _exit(write(out[1], &start, sizeof start) == sizeof start ? 0 : 1);
        }
        int start = -1;
        close(out[1]);
        EXPECT_EQ(static_cast<ssize_t>(sizeof start), read(out[0], &start, sizeof start));
        close(out[0]);
        waitpid(pid, nullptr, 0);
        starts.insert(start);
    }
    const int fd = open_node(node_id(9));
    n_socket_close(fd);
    EXPECT_EQ(expected, std::rand());
    EXPECT_GE(starts.size(), 3u);  // four draws of 16 bits
}

TEST_F(Receive, HistoryCapacityBelowOneKeepsNoHistory)
{
    put(request(kA, 1));
    PacketPtr first(take());
    ASSERT_NE(nullptr, first);
    for (int capacity : {0, -4}) {
        n_socket_set_lastacks(capacity);
        for (int copy = 0; copy < 2; ++copy) {
            put(request(kA, 1));
            PacketPtr pkt(take());
            EXPECT_NE(nullptr, pkt) << "capacity " << capacity << " copy " << copy;
        }
        EXPECT_EQ(0u, ack_history_size());
    }
}

TEST_F(Receive, AcknowledgementOfSinglePacketIsDelivered)
{
    put(frame(kA, 1, {acm(), cac(1, 33), cad(kB)}));
    PacketPtr pkt(take());
    ASSERT_NE(nullptr, pkt);
    EXPECT_EQ(33, pkt->ack_seq);
}

TEST_F(Receive, DatagramOf311BytesIsDeliveredOneByteMoreNeverIs)
{
    const Bytes largest = frame_of_size(SOCKET_RECV_BUFFER);
    ASSERT_EQ(311u, largest.size());
    put(largest);
    PacketPtr pkt(take());
    ASSERT_NE(nullptr, pkt);

    // Its first 311 bytes make a valid frame: read in part, it would pass.
    Bytes longer = largest;
    longer.push_back(0);
    put(longer);
    n_errno = 0;
    EXPECT_EQ(nullptr, take());
    EXPECT_EQ(11, n_errno);
}

// ---------------------------------------------------------------- failure table

struct FailureCase {
    std::string name;
    std::function<Bytes()> bad;
    int err;            // n_errno of a non-blocking receive
    bool passed_over;   // a blocking receive goes on to the next frame
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class ReceiveFailure : public Receive, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReceiveFailure, NonBlockingFailsBlockingWaitsOnOrFails)
{
    const FailureCase &c = GetParam();
    history_check_plain(kB.data(), kA.data(), 77, 60000, n_util_getmstime());  // request 77 from kA to kB: a repeat
    put(c.bad());
    n_errno = 0;
    EXPECT_EQ(nullptr, take());
    EXPECT_EQ(c.err, n_errno);

    const Bytes good = frame(kA, 99, {payload({7})});
    n_socket_set_option(b, SOCKET_BLOCKING, 1);
    put(c.bad());
    put(good);
    PacketPtr pkt(n_socket_recv(b, 0));
    if (!c.passed_over) {
        EXPECT_EQ(nullptr, pkt);
        EXPECT_EQ(c.err, n_errno);
        pkt.reset(n_socket_recv(b, 0));
    }
    ASSERT_NE(nullptr, pkt);
    EXPECT_EQ(99, n_pkt_get_seq(pkt.get()));
}

Bytes with_bad_crc()
{
    Bytes f = frame(kA, 1, {payload({1, 2})});
    f.back() ^= 0x40;
    return f;
}

Bytes with_format(unsigned char format)
{
    Bytes f = frame(kA, 1, {payload({1, 2})});
    f[0] = format;
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    return f;
}

Bytes with_overlong_tuple()
{
    Bytes f = frame(kA, 1, {payload({1, 2})});
    f[PACKET_HEADER_SIZE + 2] = 40;  // runs past the CRC
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    return f;
}

Bytes longer_than_a_frame()
{
    Bytes f = frame_of_size(SOCKET_RECV_BUFFER);
    f.resize(400, 0xEE);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveFailure,
    ::testing::Values(
        FailureCase{"BadCrc", with_bad_crc, 42, true},
        FailureCase{"CrcWrongInItsLowByteOnly",
                    [] { return with_crc_wrong_in_low_byte_only(frame(kA, 1, {payload({1})})); }, 42, true},
        FailureCase{"ShorterThanAFrame", [] { return Bytes(20, 2); }, 42, true},
        FailureCase{"WrongFormatByte", [] { return with_format(3); }, 42, true},
        FailureCase{"TupleRunningPastTheCrc", with_overlong_tuple, 42, true},
        FailureCase{"LongerThanAFrame", longer_than_a_frame, 11, true},
        FailureCase{"ForAnotherNode", [] { return frame(kA, 1, {cad(kC)}); }, 11, true},
        FailureCase{"CadShorterThanAnIdentifier", [] { return frame(kA, 1, {{0x6C, 0x80, kPrefixOfB}}); }, 11, true},
        FailureCase{"RepeatedRequest", [] { return request(kA, 77); }, 11, true},
        FailureCase{"InvalidControlKind", [] { return frame(kA, 1, {cad(kB), cac(6, 1)}); }, 11, false},
        FailureCase{"CacWithoutSequenceByte", [] { return frame(kA, 1, {cad(kB), {0x66, 0x40, {0}}}); }, 11, false},
        FailureCase{"FragmentNotForTheApplication",
                    [] { return frame(kA, 1, {payload({1}), cad(kB), cac(4, 0)}); }, 227, false}),
    [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------- fragments

TEST_F(Receive, FragmentStartsATransferAndIsAlsoDeliveredWithRecvAll)
{
    n_socket_set_option(b, SOCKET_FRAG | SOCKET_RECV_ALL, 1);
    put(frame(kA, 1, {payload({1, 2, 3}), cad(kB), cac(2, 0)}));
    PacketPtr pkt(take(b));
    ASSERT_NE(nullptr, pkt);
    EXPECT_EQ(FRAG_ACTIVE | FRAG_RECEIVING, n_frag_get_status(kA.data(), 0xffff));
}

TEST_F(Receive, FragmentWithoutAckSocketIsAcknowledgedThroughTheReceivingSocket)
{
    n_socket_set_option(b, SOCKET_FRAG, 1);
    put(frame(kA, 1, {payload({4, 5, 6}), cad(kB), cac(4, 0)}));
    n_errno = 0;
    EXPECT_EQ(nullptr, take(0));
    EXPECT_EQ(227, n_errno);
    const auto acks = acks_from_b();
    ASSERT_EQ(1u, acks.size());
    EXPECT_EQ(5, acks[0].control);
    EXPECT_EQ(0, acks[0].seq);
    unsigned char *data = nullptr;
    ASSERT_EQ(3, n_frag_get_data(kA.data(), &data));
    EXPECT_EQ((Bytes{4, 5, 6}), Bytes(data, data + 3));
}

TEST_F(Receive, FragmentWithoutFragOptionIsIgnored)
{
    put(frame(kA, 1, {payload({1}), cad(kB), cac(4, 0)}));
    EXPECT_EQ(nullptr, take(b));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));
    EXPECT_TRUE(acks_from_b().empty());
}

TEST_F(Receive, RepeatedPartIsAcknowledgedAgainNotStoredAgain)
{
    n_socket_set_option(b, SOCKET_FRAG, 1);
    const Bytes part0 = frame(kA, 1, {payload(Bytes(45, 1)), cad(kB), cac(2, 0)});
    put(part0);
    take(b);
    put(part0);
    take(b);
    const auto acks = acks_from_b();
    ASSERT_EQ(2u, acks.size());
    EXPECT_EQ(0, acks[1].seq);
    EXPECT_EQ(45u, n_frag_get_frag(kA.data())->done_len);
    // A part from further ahead is ignored.
    put(frame(kA, 1, {payload(Bytes(45, 1)), cad(kB), cac(2, 5)}));
    take(b);
    EXPECT_TRUE(acks_from_b().empty());
    EXPECT_EQ(1, n_frag_get_frag(kA.data())->part_no);
}

TEST_F(Receive, AcknowledgementCannotAdvanceAReceivingTransfer)
{
    n_socket_set_option(b, SOCKET_FRAG, 1);
    put(frame(kA, 1, {payload(Bytes(45, 1)), cad(kB), cac(2, 0)}));
    take(b);
    n_frag *f = n_frag_get_frag(kA.data());
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1, f->part_no);
    // An acknowledgement that claims to come from the sending node, with the
    // receiver's own part counter: a sender would advance on it.
    put(frame(kA, 2, {acm(), cac(3, 1), cad(kB)}));
    PacketPtr pkt(take(b));
    EXPECT_NE(nullptr, pkt);
    EXPECT_EQ(1, f->part_no);
    EXPECT_EQ(45u, f->done_len);
    EXPECT_EQ(FRAG_ACTIVE | FRAG_RECEIVING, n_frag_get_status(kA.data(), 0xffff));
}

class SendingTransfer : public Receive {
protected:
    // Node b sends 100 bytes to node kC (three parts); b's FRAG option stays
    // clear: acknowledgements are acted on all the same. The timers follow
    // the plain rule (a resend every timeout, retry of them).
    void SetUp() override
    {
        Receive::SetUp();
        n_socket_set_adaptive_retry(b, 0);
        ASSERT_EQ(1, n_frag_init_send(b, kC.data(), data.data(), static_cast<uint32_t>(data.size()), kType));
        ASSERT_EQ(0, parts_from_b().at(0).seq);
        f = n_frag_get_frag(kC.data());
    }

    std::vector<WireControl> parts_from_b(int ms = 30)
    {
        std::vector<WireControl> parts;
        for (const Bytes &fr : tap.drain(ms)) {
            const WireControl c = wire_control(fr);
            if (wire_source(fr) == kB && c.control >= 0 && !(c.control & 1))
                parts.push_back(c);
        }
        return parts;
    }

    // kC acknowledges part `seq` (as the frame reaches b).
    void ack(unsigned char seq, unsigned char control = 3)
    {
        put(frame(kC, 1, {acm(), cac(control, seq), cad(kB)}));
        PacketPtr pkt(take(b));
        EXPECT_NE(nullptr, pkt);
    }

    Bytes data = Bytes(100, 0x33);
    n_frag *f = nullptr;
};

TEST_F(SendingTransfer, EachAcknowledgementSendsTheNextPart)
{
    ack(0);
    auto parts = parts_from_b();
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(1, parts[0].seq);
    EXPECT_EQ(2, parts[0].control);
    ack(1);
    parts = parts_from_b();
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(2, parts[0].seq);
    EXPECT_EQ(4, parts[0].control);
    ack(2, 5);
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
    // A late copy of the last acknowledgement sends nothing.
    ack(2, 5);
    EXPECT_TRUE(parts_from_b().empty());
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
}

// A repeated acknowledgement of the part before sends nothing: answering it
// would echo every duplicate for the rest of the transfer. Lost parts are
// the timers' to resend.
TEST_F(SendingTransfer, RepeatedAcknowledgementOfThePartBeforeSendsNothing)
{
    ack(0);
    parts_from_b();
    const int retries = f->retries;
    ack(0);
    EXPECT_TRUE(parts_from_b().empty());
    EXPECT_EQ(retries, f->retries);
    EXPECT_EQ(45u, f->done_len);
}

// ---------------------------------------------------------------- timers

class Timers : public SendingTransfer {
protected:
    void SetUp() override
    {
        SendingTransfer::SetUp();
        n_socket_set_retry(b, 2, 50);
        n_socket_set_option(b, SOCKET_FRAG, 1);
    }
    // Makes the fragmentation's last activity `ms` milliseconds old (as if
    // it had been active then) and receives once on b, which serves the
    // timers.
    void age_and_receive(n_frag *fr, uint32_t ms)
    {
        age(fr, ms);
        PacketPtr pkt(n_socket_recv(b, b));
    }
    void age(n_frag *fr, uint32_t ms)
    {
        const FragLock lock(fr);
        fr->last_time = n_util_getmstime() - ms;
        frag_timer_moved(fr);
    }
};

TEST_F(Timers, OverduePartIsResentUntilRetriesRunOutThenAborted)
{
    f->retries = 2;
    age_and_receive(f, 40);
    EXPECT_TRUE(parts_from_b(10).empty());
    age_and_receive(f, 51);
    EXPECT_EQ(1u, parts_from_b().size());
    EXPECT_EQ(1, f->retries);
    age_and_receive(f, 51);
    EXPECT_EQ(1u, parts_from_b().size());
    EXPECT_EQ(0, f->retries);
    age_and_receive(f, 51);
    EXPECT_TRUE(parts_from_b().empty());
    EXPECT_EQ(FRAG_ABORTED, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
}

TEST_F(Timers, TimersWaitForAReceiveOnAFragSocket)
{
    n_socket_set_option(b, SOCKET_FRAG, 0);
    age_and_receive(f, 10000);
    EXPECT_TRUE(parts_from_b(10).empty());
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
}

TEST_F(Timers, FinishedSenderIsNeverAbortedByALateTimer)
{
    ack(0);
    ack(1);
    ack(2, 5);
    ASSERT_EQ(FRAG_FINISHED, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
    f->retries = 0;
    age_and_receive(f, 10000);
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(kC.data(), FRAG_STATE_MASK));
}

TEST_F(Timers, NegativeTimeoutMeansNoWait)
{
    n_socket_set_retry(b, 2, -1);
    age_and_receive(f, 1);
    EXPECT_EQ(1u, parts_from_b().size());
}

// Finished data stay until the application takes them, however long it
// takes; the peer's next transfer waits until then. Data taken are let go
// (and a new transfer from the peer takes their place).
TEST_F(Timers, FinishedDataAreKeptUntilTaken)
{
    ShiftedClock clock;
    put(frame(kA, 1, {payload({1, 2}), cad(kB), cac(4, 0)}));
    take(b);
    ASSERT_EQ(FRAG_FINISHED, n_frag_get_status(kA.data(), FRAG_STATE_MASK));
    clock.advance(600000);
    EXPECT_EQ(0, n_socket_serve_timers(b));
    put(frame(kA, 2, {payload({3}), cad(kB), cac(4, 0)}));
    take(b);
    ASSERT_EQ(FRAG_FINISHED, n_frag_get_status(kA.data(), FRAG_STATE_MASK));
    unsigned char out[2] = {};
    EXPECT_EQ(2, n_frag_copy_data(kA.data(), out, sizeof out));
    EXPECT_EQ(2, out[1]);
    clock.advance(2000);
    put(frame(kA, 3, {payload({3}), cad(kB), cac(4, 0)}));
    take(b);
    EXPECT_EQ(1, n_frag_copy_data(kA.data(), out, sizeof out));
    EXPECT_EQ(3, out[0]);
    clock.advance(31000);
    EXPECT_EQ(0, n_socket_serve_timers(b));
    EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));  // taken, and reclaimed after 30 s
}

TEST_F(Timers, HugeTimeoutDoesNotWrapTheReceiverWait)
{
    put(frame(kA, 1, {payload({1, 2}), cad(kB), cac(2, 0)}));
    take(b);
    n_frag *r = n_frag_get_frag(kA.data());
    ASSERT_NE(nullptr, r);
    // (INT_MAX + 13) * 2 taken modulo 2^32 would be 24 ms.
    n_socket_set_retry(b, 2, INT_MAX);
    r->retries = 2;
    age_and_receive(r, 10000);
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kA.data(), FRAG_STATE_MASK));
}

TEST_F(Timers, NextTimerIsTheEarliestDueOne)
{
    n_socket_set_retry(b, 2, 1000);
    age(f, 400);
    const int delay = n_socket_next_timer(b);
    EXPECT_GT(delay, 500);
    EXPECT_LE(delay, 601);
    age(f, 2000);
    EXPECT_EQ(0, n_socket_next_timer(b));
    n_frag_abort(kC.data());
    EXPECT_EQ(-1, n_socket_next_timer(b));
}

// ---------------------------------------------------------------- select and raw reads

TEST_F(Receive, SelectReportsWhetherADatagramWaits)
{
    timeval zero{0, 0};
    EXPECT_EQ(0, n_socket_select(b, &zero));
    put(frame(kA, 1, {payload({1})}));
    EXPECT_EQ(1, n_socket_select(b, nullptr));
    // select carries a microsecond part of a million or more into the seconds.
    timeval carried{0, 1500000};
    EXPECT_EQ(1, n_socket_select(b, &carried));
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_select(12345, &zero));
    EXPECT_EQ(9, n_errno);
}

// A signal that interrupts select (a handler installed without SA_RESTART)
// does not end the wait: it goes on for what is left of its time.
TEST_F(Receive, SelectWaitsOnThroughSignals)
{
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &quiet, &previous));
    const pthread_t waiter = pthread_self();
    std::atomic<bool> first_wait_over{false};
    std::thread signaller([&] {
        for (int i = 0; i < 4; ++i) {
            n_util_sleepms(20);
            pthread_kill(waiter, SIGUSR1);
        }
        while (!first_wait_over)
            n_util_sleepms(1);
        for (int i = 0; i < 3; ++i) {
            n_util_sleepms(20);
            pthread_kill(waiter, SIGUSR1);
        }
        const Bytes f = frame(kA, 1, {payload({1})});
        n_socket_send_raw(a, f.data(), static_cast<int>(f.size()));
    });
    timeval short_wait{0, 150000};
    n_errno = 0;
    EXPECT_EQ(0, n_socket_select(b, &short_wait));
    EXPECT_EQ(0, n_errno);
    first_wait_over = true;
    timeval long_wait{5, 0};
    EXPECT_EQ(1, n_socket_select(b, &long_wait));
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);

    timeval negative{-1, 0};
    EXPECT_EQ(-1, n_socket_select(b, &negative));
    EXPECT_EQ(N_EINVAL, n_errno);
}

TEST(ReceiveUnbound, SelectDoesNotBindReceivingDoes)
{
    require_only_own_interfaces();
    const int fd = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.255.255.255"), kNodePort);
    ASSERT_GT(fd, 0);
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    timeval zero{0, 0};
    EXPECT_EQ(0, n_socket_select(fd, &zero));
    EXPECT_EQ(0, n_socket_get_option(fd, SOCKET_BOUND));
    unsigned char buf[8];
    EXPECT_EQ(-1, n_socket_recv_raw(fd, buf, sizeof buf));
    EXPECT_EQ(N_EAGAIN, n_errno);
    EXPECT_EQ(EAGAIN, n_util_syserr());
    EXPECT_EQ(SOCKET_BOUND, n_socket_get_option(fd, SOCKET_BOUND));
    n_socket_close(fd);
}

TEST_F(Receive, RawReadTakesAnyDatagramUnchanged)
{
    const Bytes junk = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01};
    put(junk);
    timeval tv{1, 0};
    ASSERT_EQ(1, n_socket_select(b, &tv));
    unsigned char buf[64];
    ASSERT_EQ(6, n_socket_recv_raw(b, buf, sizeof buf));
    EXPECT_EQ(junk, Bytes(buf, buf + 6));
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_recv_raw(12345, buf, sizeof buf));
    EXPECT_EQ(9, n_errno);
}

}  // namespace
