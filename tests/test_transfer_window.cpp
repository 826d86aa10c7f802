// SPDX-License-Identifier: MIT
// Transfers with a window: its negotiation and fallback, parts held ahead of their turn, selective resends, forged acknowledgements, loss.
#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frag.h"
#include "frame.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "support/parts.h"
#include "support/relay.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kSender = node_id(1);
const NodeId kReceiver = node_id(2);
const unsigned char kType[2] = {0x12, 0x34};

Descriptor descriptor_of(const Bytes &f)
{
    FrameView v;
    if (view_frame(f.data(), f.size(), v) != Reject::None)
        return {};
    return read_descriptor(v);
}

uint64_t parts_of(std::size_t size) { return (size + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE; }

TEST(WindowSetting, TakesZeroToOneHundredTwentyEight)
{
    const int fd = open_node(kSender);
    for (int ok : {0, 1, 2, 128})
        EXPECT_EQ(0, n_socket_set_transfer_window(fd, ok)) << ok;
    for (int bad : {-1, 129, 256}) {
        EXPECT_EQ(-1, n_socket_set_transfer_window(fd, bad)) << bad;
        EXPECT_EQ(22, n_errno) << bad;
    }
    n_socket_close(fd);
    EXPECT_EQ(-1, n_socket_set_transfer_window(fd, 8));
    EXPECT_EQ(9, n_errno);
}

// ---------------------------------------------------------------- through the fault relay

struct WindowCase {
    std::string name;
    int sender_window;
    int receiver_window;
    double drop;      // in both directions
    bool reorder;     // duplicates and reordering as well
    std::size_t size;
    bool described = true;  // false: the sender sends plain parts, as a node that knows only those
};

void PrintTo(const WindowCase &c, std::ostream *os) { *os << c.name; }

class WindowedRelay : public ::testing::TestWithParam<WindowCase> {};

// Whatever the window and the losses, the data arrive byte-identical; a
// window that loses parts sends few more frames than a sender that resends
// exactly the lost ones: at most 1.2 times parts / (1 - loss).
TEST_P(WindowedRelay, ArrivesIdenticalWithFewResends)
{
    const WindowCase &c = GetParam();
    const int a = relay_node(kSender, true, 15, 40);
    const int b = relay_node(kReceiver, false, 15, 40);
    ASSERT_EQ(0, n_socket_set_transfer_window(a, c.sender_window));
    ASSERT_EQ(0, n_socket_set_transfer_window(b, c.receiver_window));
    n_socket_set_transfer_check(a, c.described ? 1 : 0);
    Faults faults{.drop = c.drop, .delay_us = 500};
    if (c.reorder) {
        faults.duplicate = 0.02;
        faults.reorder = 0.05;
    }
    FaultRelay relay(faults, faults, 99);
    const TransferRun run = run_transfer(a, b, kSender, kReceiver, random_bytes(c.size, 4), relay, 60000);
    EXPECT_STREQ("identical", run.verdict());
    if (!c.reorder) {
        EXPECT_LE(static_cast<double>(run.data_frames), 1.2 * static_cast<double>(parts_of(c.size)) / (1.0 - c.drop));
    }
    n_socket_close(a);
    n_socket_close(b);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowedRelay,
    ::testing::Values(WindowCase{"NoLoss", 64, 64, 0.0, false, 100 * 1024},
                      WindowCase{"OnePercentLost", 64, 64, 0.01, false, 100 * 1024},
                      WindowCase{"TenPercentLost", 128, 128, 0.10, false, 100 * 1024},
                      WindowCase{"ReceiverTakesLess", 128, 3, 0.05, false, 20 * 1024},
                      WindowCase{"ReorderedAndDuplicated", 32, 32, 0.05, true, 40 * 1024},
                      WindowCase{"ReceiverWithoutWindow", 64, 1, 0.05, false, 10 * 1024},
                      WindowCase{"PlainSender", 64, 64, 0.05, false, 10 * 1024, false}),
    [](const auto &info) { return info.param.name; });

// One part lost on the way: only that part goes out again.
TEST(WindowedRelayLoss, OnlyTheLostPartIsSentAgain)
{
    const int a = relay_node(kSender, true, 15, 40);
    const int b = relay_node(kReceiver, false, 15, 40);
    n_socket_set_transfer_window(a, 16);
    n_socket_set_transfer_window(b, 16);
    // Resends on the timer only when a part is a second late: the loss is
    // repaired by the acknowledgements of the parts after it.
    n_socket_set_retry(a, 15, 1000);
    n_socket_set_adaptive_retry(a, 0);
    const std::size_t size = 200 * FRAG_PART_SIZE;
    FaultRelay relay(Faults{.delay_us = 500}, Faults{.delay_us = 500}, 5, {DropRule{true, 2, -1, 1, 40}});
    const TransferRun run = run_transfer(a, b, kSender, kReceiver, random_bytes(size, 8), relay, 60000);
    EXPECT_STREQ("identical", run.verdict());
    EXPECT_EQ(static_cast<long>(parts_of(size)) + 1, run.data_frames);
    n_socket_close(a);
    n_socket_close(b);
}

// ---------------------------------------------------------------- frames by hand

class WindowFrames : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_option(b, SOCKET_FRAG, 1);
        n_socket_set_transfer_window(b, 4);
    }
    static Bytes part(uint32_t index, const Bytes &data, uint8_t flags = 0, uint32_t total = 0, uint32_t crc = 0,
                      uint8_t window = 0)
    {
        const auto seq = static_cast<unsigned char>(index);
        const unsigned char control = (flags & kDescLast) != 0 ? 4 : 2;
        const Descriptor d{true, static_cast<uint8_t>(flags | kDescIndex | (window != 0 ? kDescWindow : 0)),
                           kNonce, total, crc, index, window};
        return frame(node_id(1), seq, {payload(data), cad(node_id(2)), cac(control, seq), descriptor_tuple(d)});
    }
    void deliver(const Bytes &f)
    {
        ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size())));
        pump({b}, [] { return false; }, 30);
    }
    // The descriptors of the acknowledgements b sent.
    std::vector<Descriptor> acks() { return frames_from(tap, idb, descriptor_of); }
    uint64_t strays() { return stats_of(b).stray_fragments; }
    static constexpr uint32_t kNonce = 77;
    Tap tap;
};

// The receiver accepts the smaller window in the acknowledgement of the
// first part, holds parts that come ahead of their turn (acknowledging
// each by its index), stores them once the gap is filled, and ignores a
// part beyond the window and a last part out of its turn.
TEST_F(WindowFrames, PartsAheadOfTheirTurnAreHeldAndStoredInOrder)
{
    const Bytes data = random_bytes(12 * FRAG_PART_SIZE, 3);
    const auto total = static_cast<uint32_t>(data.size());
    const uint32_t crc = crc32_update(0, data.data(), data.size());
    const auto piece = [&](uint32_t i) {
        const Bytes bytes(data.begin() + i * FRAG_PART_SIZE, data.begin() + (i + 1) * FRAG_PART_SIZE);
        return i == 0 ? part(i, bytes, kDescFirst, total, 0, 100) : i == 11 ? part(i, bytes, kDescLast, 0, crc)
                                                                            : part(i, bytes);
    };
    const auto stored = [&] {
        int64_t done = 0;
        n_frag_get_progress(kSender.data(), &done, nullptr);
        return done / static_cast<int64_t>(FRAG_PART_SIZE);
    };
    deliver(piece(0));
    std::vector<Descriptor> got = acks();
    ASSERT_EQ(1u, got.size());
    EXPECT_TRUE(got[0].has(kDescWindow));
    EXPECT_EQ(4, got[0].window);

    deliver(piece(3));
    deliver(piece(2));
    deliver(piece(2));  // a copy: acknowledged again
    deliver(piece(5));  // beyond the window of 4 from part 1
    got = acks();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(3u, got[0].index);
    EXPECT_EQ(2u, got[1].index);
    EXPECT_EQ(2u, got[2].index);
    EXPECT_FALSE(got[0].has(kDescWindow));
    // Each says what is stored in order (part 0) and held (parts 2 and 3).
    EXPECT_EQ(1u, got[1].stored);
    EXPECT_EQ(0x3, got[1].held[0]);
    EXPECT_EQ(1u, strays());
    EXPECT_EQ(1, stored());

    deliver(piece(1));
    EXPECT_EQ(4, stored());
    for (uint32_t i = 4; i < 9; ++i)
        deliver(piece(i));
    deliver(piece(11));  // the last part, within the window but out of its turn
    EXPECT_EQ(2u, strays());
    EXPECT_EQ(9, stored());
    deliver(piece(10));
    deliver(piece(9));
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(kSender));
    deliver(piece(11));
    EXPECT_EQ(FRAG_FINISHED, transfer_state(kSender));
    EXPECT_EQ(data, transfer_data(kSender));
}

// Parts that arrive in order are acknowledged two at a time (each
// acknowledgement counts the parts stored in order); an odd one goes when
// the receiver next serves its timers. A part out of turn, one that fills
// a gap, and the two that end the data are answered at once. Each part is
// taken by one non-blocking read, which serves no timer.
TEST_F(WindowFrames, PartsInOrderAreAcknowledgedTwoAtATime)
{
    const Bytes data = random_bytes(10 * FRAG_PART_SIZE, 4);
    const uint32_t crc = crc32_update(0, data.data(), data.size());
    const auto piece = [&](uint32_t i) {
        const Bytes bytes(data.begin() + i * FRAG_PART_SIZE, data.begin() + (i + 1) * FRAG_PART_SIZE);
        return i == 0 ? part(i, bytes, kDescFirst, static_cast<uint32_t>(data.size()), 0, 100)
                      : i == 9 ? part(i, bytes, kDescLast, 0, crc) : part(i, bytes);
    };
    n_socket_set_option(b, SOCKET_BLOCKING, 0);
    const auto arrive = [&](uint32_t i) {
        const Bytes f = piece(i);
        ASSERT_EQ(1, n_socket_send_raw(a, f.data(), static_cast<int>(f.size())));
        EXPECT_EQ(nullptr, n_socket_recv(b, b));
    };
    using Acks = std::vector<std::pair<uint32_t, uint32_t>>;  // index, stored in order
    const auto answered = [&] {
        Acks r;
        for (const Descriptor &d : acks())
            r.emplace_back(d.index, d.stored);
        return r;
    };
    arrive(0);
    EXPECT_EQ(1u, acks().size());
    arrive(1);
    EXPECT_EQ(Acks{}, answered());
    arrive(2);
    EXPECT_EQ((Acks{{2, 3}}), answered());
    arrive(3);
    EXPECT_EQ(Acks{}, answered());
    pump({b}, [] { return false; }, 30);
    EXPECT_EQ((Acks{{3, 4}}), answered()) << "the odd one, by the timer";
    arrive(5);
    EXPECT_EQ((Acks{{5, 4}}), answered()) << "out of turn";
    arrive(4);
    EXPECT_EQ((Acks{{4, 6}}), answered()) << "fills the gap";
    arrive(6);
    arrive(7);
    EXPECT_EQ((Acks{{7, 8}}), answered());
    arrive(8);
    EXPECT_EQ((Acks{{8, 9}}), answered()) << "lets the last part go";
    arrive(9);
    EXPECT_EQ(1u, acks().size());
    EXPECT_EQ(FRAG_FINISHED, transfer_state(kSender));
    EXPECT_EQ(data, transfer_data(kSender));
}

// The parts a receiver holds count against its limit of bytes per
// transfer: beside the announced length there is room for a window of 3,
// and for none at all when the transfer takes up the whole limit.
TEST_F(WindowFrames, HeldPartsCountAgainstTheByteLimit)
{
    const uint32_t total = 100 * FRAG_PART_SIZE;
    n_socket_set_frag_limits(b, 16, total + 3 * FRAG_PART_SIZE + 10);
    deliver(part(0, random_bytes(FRAG_PART_SIZE, 1), kDescFirst, total, 0, 100));
    std::vector<Descriptor> got = acks();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(3, got[0].window);
    n_frag_abort(kSender.data());
    n_frag_delete(kSender.data());
    ended_clear();  // the same first part again is a new transfer

    n_socket_set_frag_limits(b, 16, total);
    deliver(part(0, random_bytes(FRAG_PART_SIZE, 1), kDescFirst, total, 0, 100));
    got = acks();
    ASSERT_EQ(1u, got.size());
    EXPECT_FALSE(got[0].has(kDescWindow));
}

// A last part whose data do not match the CRC-32 aborts the transfer
// unacknowledged, and a resend of it is not acknowledged either: the
// sender never finishes a transfer the receiver did not deliver.
TEST_F(WindowFrames, LastPartThatBreaksTheCrcIsNeverAcknowledged)
{
    const Bytes data = random_bytes(3 * FRAG_PART_SIZE, 5);
    const auto piece = [&](uint32_t i) { return Bytes(data.begin() + i * FRAG_PART_SIZE, data.begin() + (i + 1) * FRAG_PART_SIZE); };
    deliver(part(0, piece(0), kDescFirst, static_cast<uint32_t>(data.size()), 0, 8));
    deliver(part(1, piece(1)));
    EXPECT_EQ(2u, acks().size());
    const Bytes last = part(2, piece(2), kDescLast, 0, crc32_update(0, data.data(), data.size()) ^ 1);
    deliver(last);
    deliver(last);
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(FRAG_ABORTED, transfer_state(kSender));
}

// A receiver whose own setting is 1 answers the offer as a node without
// windows does: no window in its acknowledgement.
TEST_F(WindowFrames, ReceiverWithoutWindowAcceptsNone)
{
    n_socket_set_transfer_window(b, 1);
    deliver(part(0, random_bytes(FRAG_PART_SIZE, 1), kDescFirst, 1000, 0, 64));
    const std::vector<Descriptor> got = acks();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(kDescEcho | kDescIndex, got[0].flags);
    EXPECT_EQ(kNonce, got[0].nonce);
}

// A sender whose offer is not answered (a node that does not know windows,
// or one that knows only the plain protocol and passes over the
// descriptor) sends one part at a time: the frames after the first are
// those of a transfer without the offer.
TEST_F(WindowFrames, UnansweredOfferKeepsOnePartInFlight)
{
    n_socket_set_transfer_window(a, 32);
    const Bytes data = random_bytes(5 * FRAG_PART_SIZE, 2);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), idb.data(), kType));
    for (uint8_t i = 0; i < 5; ++i) {
        std::vector<Bytes> sent;
        for (Bytes &f : tap.drain(30))
            if (wire_source(f) == ida)
                sent.push_back(std::move(f));
        ASSERT_EQ(1u, sent.size()) << int{i};
        const Descriptor d = descriptor_of(sent[0]);
        EXPECT_EQ(i, d.index);
        EXPECT_EQ(i == 0, d.has(kDescWindow));
        // The plain acknowledgement of a node that passes over the descriptor.
        const Bytes ack = ack_frame(idb, ida, wire_control(sent[0]).control, i);
        ASSERT_EQ(1, n_socket_send_raw(b, ack.data(), static_cast<int>(ack.size())));
        pump({a}, [] { return false; }, 20);
    }
    EXPECT_EQ(FRAG_FINISHED, transfer_state(idb));
}

// A sender through a window of `window` parts whose acknowledgements are
// made by hand, as the receiver would send them.
class HandAcknowledged : public WindowFrames {
protected:
    void start(int window, uint32_t parts)
    {
        parts_ = parts;
        n_socket_set_transfer_window(a, window);
        const Bytes data = random_bytes(parts * FRAG_PART_SIZE, 2);
        ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), idb.data(), kType));
        ASSERT_EQ(std::vector<uint32_t>{0}, sent());
        nonce_ = n_frag_get_frag(idb.data())->nonce;
    }
    // The indexes of the parts a sent since the last look.
    std::vector<uint32_t> sent(int ms = 30)
    {
        return frames_from(tap, ida, [](const Bytes &f) { return descriptor_of(f).index; }, ms);
    }
    // `held`: bit i for part stored + 1 + i.
    void ack(uint32_t index, uint8_t window = 0, std::optional<uint32_t> stored = std::nullopt, uint8_t held = 0)
    {
        const auto flags = static_cast<uint8_t>(kDescEcho | kDescIndex | (window != 0 ? kDescWindow : 0) |
                                                (stored ? kDescStored : 0) | (held != 0 ? kDescHeld : 0));
        Descriptor d{true, flags, nonce_, 0, 0, index, window, stored.value_or(0)};
        d.held[0] = held;
        const unsigned char control = index + 1 < parts_ ? 3 : 5;
        const Bytes f = frame(idb, 1, {acm(), cac(control, static_cast<unsigned char>(index)),
                                       descriptor_tuple(d), cad(ida)});
        ASSERT_EQ(1, n_socket_send_raw(b, f.data(), static_cast<int>(f.size())));
        pump({a}, [] { return false; }, 20);
    }
    // A transfer of `parts` through a window of `window` on the plain timer,
    // its first `acked` parts acknowledged one by one; the parts sent since.
    std::vector<uint32_t> plain_timer_and_first_acks(int window, uint32_t parts, uint32_t acked)
    {
        n_socket_set_adaptive_retry(a, 0);
        start(window, parts);
        ack(0, static_cast<uint8_t>(window));
        for (uint32_t i = 1; i < acked; ++i)
            ack(i);
        return sent();
    }
    int64_t acknowledged_parts()
    {
        int64_t done = 0;
        n_frag_get_progress(idb.data(), &done, nullptr);
        return done / static_cast<int64_t>(FRAG_PART_SIZE);
    }

    uint32_t parts_ = 0;
    uint32_t nonce_ = 0;
};

// A sender given a window keeps several parts in flight, takes no
// acknowledgement of a part it has not sent, sends the last part once all
// others are acknowledged, and finishes only once every part is.
TEST_F(HandAcknowledged, ForgedAcknowledgementOfAPartNotSentIsIgnored)
{
    start(8, 40);
    ack(0, 8);
    EXPECT_EQ((std::vector<uint32_t>{1, 2}), sent());  // a window starts small
    const uint64_t strays = stats_of(a).stray_fragments;
    ack(5);  // never sent
    EXPECT_EQ(strays + 1, stats_of(a).stray_fragments);
    EXPECT_TRUE(sent().empty());
    // Ahead of part 1: the window grows to 3 parts not acknowledged, and
    // part 2, held, no longer counts among them; part 1 stays in flight
    // (new parts went out, whose acknowledgements will tell if it was lost).
    ack(2);
    EXPECT_EQ((std::vector<uint32_t>{3, 4}), sent());
    EXPECT_EQ(1, acknowledged_parts());
    bool last_sent_early = false;
    for (uint32_t i = 1; i < 38; ++i) {
        ack(i);
        for (uint32_t index : sent(2))
            last_sent_early = last_sent_early || index == 39;
    }
    EXPECT_FALSE(last_sent_early);
    ack(38);
    EXPECT_EQ(std::vector<uint32_t>{39}, sent());
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(idb));
    EXPECT_EQ(39, acknowledged_parts());
    ack(39);
    EXPECT_EQ(FRAG_FINISHED, transfer_state(idb));
}

// An acknowledgement also counts the parts stored in order, so that a lost
// acknowledgement costs no resend; the count never stands for the last part,
// nor for parts not sent yet.
TEST_F(HandAcknowledged, AcknowledgementCountsThePartsStoredInOrder)
{
    start(8, 4);
    ack(0, 8);
    EXPECT_EQ((std::vector<uint32_t>{1, 2}), sent());
    ack(2, 0, 3);  // the acknowledgement of part 1 was lost
    EXPECT_EQ(3, acknowledged_parts());
    EXPECT_EQ(std::vector<uint32_t>{3}, sent());
    const uint64_t strays = stats_of(a).stray_fragments;
    ack(2, 0, 9);
    EXPECT_EQ(strays + 1, stats_of(a).stray_fragments);
    ack(2, 0, 4);
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(idb));
    ack(3, 0, 4);
    EXPECT_EQ(FRAG_FINISHED, transfer_state(idb));
}

// An acknowledgement names the later parts the receiver holds: they count
// as acknowledged though their own acknowledgements were lost.
TEST_F(HandAcknowledged, AcknowledgementNamesThePartsHeld)
{
    start(8, 10);
    ack(0, 8);
    ack(1, 0, 2);
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4}), sent());
    ack(4, 0, 2, 0x3);  // parts 3 and 4 held; the acknowledgement of 3 was lost
    ack(2);
    EXPECT_EQ(5, acknowledged_parts());
}

// When the timer runs out, only the parts not acknowledged go out again,
// two at first: the window starts again at 2 and grows in slow start up to
// 5 (7/10 of 8), resending the overdue parts before new ones; from there it
// grows by one part per half window acknowledged.
TEST_F(HandAcknowledged, TimerResendsOnlyWhatIsNotAcknowledgedAndShrinksTheWindow)
{
    n_socket_set_retry(a, 5, 1000);
    const std::vector<uint32_t> flying = plain_timer_and_first_acks(8, 40, 7);
    ASSERT_FALSE(flying.empty());
    EXPECT_EQ(14u, flying.back()) << ::testing::PrintToString(flying);  // parts 7 to 14: a window of 8
    ack(9);
    ack(10);
    EXPECT_TRUE(sent().empty());
    const uint64_t resent = stats_of(a).retransmissions;
    pump({a}, [&] { return stats_of(a).retransmissions >= resent + 2; }, 5000);
    // The window starts again at two parts; the other overdue ones wait.
    EXPECT_EQ((std::vector<uint32_t>{7, 8}), sent());
    ack(7);
    EXPECT_EQ((std::vector<uint32_t>{11, 12}), sent()) << "slow start: the window is 3";
    ack(8);
    EXPECT_EQ((std::vector<uint32_t>{13, 14}), sent());
    ack(11);
    EXPECT_EQ((std::vector<uint32_t>{15, 16}), sent()) << "5, the threshold: 7/10 of 8";
    // One acknowledgement for parts 12 to 16 counts for five parts: above
    // the threshold, one part per half window, so the window is 7.
    ack(16, 0, 17);
    EXPECT_EQ((std::vector<uint32_t>{17, 18, 19, 20, 21, 22, 23}), sent());
}

// A part is taken for lost after three acknowledgements of parts sent after
// it, and sent again at once; if that copy is lost too, acknowledgements of
// parts sent before it prove nothing, and those of the parts sent after it
// (three, or all when fewer could go) send it once more, all without the
// timer.
TEST_F(HandAcknowledged, LostPartIsSentAgainAfterThreeLaterAcknowledgementsEachTime)
{
    n_socket_set_retry(a, 5, 5000);
    n_socket_set_adaptive_retry(a, 0);
    start(16, 60);
    ack(0, 16);
    for (uint32_t i = 1; i <= 6; ++i)
        ack(i);
    sent();  // 7 to 14 in flight
    const auto resends_of_7 = [&] {
        const std::vector<uint32_t> s = sent();
        return std::count(s.begin(), s.end(), 7u);
    };
    ack(8);
    ack(9);
    EXPECT_EQ(0, resends_of_7());
    ack(10);
    EXPECT_EQ(1, resends_of_7());
    std::vector<uint32_t> fresh;
    for (uint32_t i = 11; i <= 20; ++i) {
        ack(i);
        for (uint32_t index : sent())
            fresh.push_back(index);
    }
    // The receiver's window (16 from part 7) let two new parts go after the
    // copy: the acknowledgements of both are as many as can come.
    EXPECT_EQ((std::vector<uint32_t>{21, 22}), fresh) << "7 sent again for parts sent before its copy?";
    ack(21);
    EXPECT_EQ(0, resends_of_7());
    ack(22);
    EXPECT_EQ(1, resends_of_7());
}

// A receiver that goes silent gets two parts per timeout, not the whole
// window each time, until the sender gives up.
TEST_F(HandAcknowledged, SilentReceiverGetsTwoPartsPerTimeout)
{
    n_socket_set_retry(a, 4, 40);
    ASSERT_GE(plain_timer_and_first_acks(16, 60, 9).size(), 8u);
    const uint64_t resent = stats_of(a).retransmissions;
    pump({a}, [&] { return transfer_state(idb) != FRAG_ACTIVE; }, 5000);
    EXPECT_EQ(FRAG_ABORTED, transfer_state(idb));
    EXPECT_LE(stats_of(a).retransmissions - resent, 2u * 4) << "four timeouts";
}

// When no new part can go (here the last part waits for all the others), a
// part with fewer than three parts sent after it is sent again as soon as
// they are all acknowledged, not after the timer.
TEST_F(HandAcknowledged, PartWithFewLaterPartsIsSentAgainOnceTheyAreAcknowledged)
{
    n_socket_set_retry(a, 5, 5000);
    n_socket_set_adaptive_retry(a, 0);
    start(8, 5);
    ack(0, 8);
    EXPECT_EQ((std::vector<uint32_t>{1, 2}), sent());
    ack(1);
    EXPECT_EQ(std::vector<uint32_t>{3}, sent());  // 4, the last, waits
    ack(3);
    EXPECT_EQ(std::vector<uint32_t>{2}, sent());
    ack(2);
    EXPECT_EQ(std::vector<uint32_t>{4}, sent());
}

}  // namespace
