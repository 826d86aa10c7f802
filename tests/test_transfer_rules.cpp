// SPDX-License-Identifier: MIT
// The receiving side's rules on a stopped clock: what starts, keeps, replaces or evicts a transfer; where files go
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/clock.h"
#include "support/parts.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);  // the peer whose transfers node b receives
const NodeId kB = node_id(2);

// The receiver's settings: its peers may resend one part for kWindow ms.
constexpr int kRetry = 10;
constexpr uint32_t kTimeout = 163;
constexpr uint32_t kWindow = kRetry * kTimeout;

// Node b receives with SOCKET_FRAG; node a puts hand-made parts on the wire
// for it. The clock stands still: at(t) moves it to t ms after the start.
class ReceivingRules : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_option(b, SOCKET_FRAG, 1);
        n_socket_set_retry(b, kRetry, kTimeout);
    }
    void at(uint32_t t) { clock_.at(t); }
    void deliver(const Bytes &f)
    {
        const Handed h = hand_over(a, b, f);
        ASSERT_TRUE(h.arrived);
        if (h.packet != nullptr)
            n_pkt_free(h.packet);
    }
    n_socket_stats stats() const { return stats_of(b); }

private:
    StoppedClock clock_;
};

// ---------------------------------------------------------------- a transfer that is heard is kept

// The transfer under way from node a (nonce 300, 100 bytes announced), and
// the first part of the one that would take its place (nonce 301).
Bytes old_first()
{
    return described_part(kA, kB, 300, 0, 2, {1}, kDescFirst, 100);
}
Bytes rival(uint32_t nonce = 301)
{
    return single_part(kA, kB, nonce, {9});
}

// What is heard of the transfer under way, besides its first part.
enum class Hearing { Nothing, NextPart, Repeat, OutOfTurn };

Bytes heard(Hearing h)
{
    switch (h) {
    case Hearing::NextPart: return described_part(kA, kB, 300, 1, 2, {2});
    case Hearing::Repeat: return old_first();
    case Hearing::OutOfTurn: return described_part(kA, kB, 300, 5, 2, {6});
    case Hearing::Nothing: break;
    }
    return {};
}

void PrintTo(Hearing h, std::ostream *os)
{
    constexpr const char *kNames[] = {"Nothing", "NextPart", "Repeat", "OutOfTurn"};
    *os << kNames[static_cast<int>(h)];
}

class HeardTransfer : public ReceivingRules, public testing::WithParamInterface<Hearing> {};

// A transfer stalls once nothing of it (a part stored, repeated or out of
// turn) came for its sender's whole patience, counted from the last thing
// heard, not from its start.
TEST_P(HeardTransfer, StallsOnlyAWindowAfterItWasLastHeard)
{
    at(0);
    deliver(old_first());
    at(1000);
    deliver(heard(GetParam()));
    at(1700);  // beyond the window since the start, well inside it since the hearing
    deliver(rival());
    EXPECT_EQ(1u, stats().transfers_refused);
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(kA));
    EXPECT_TRUE(transfer_data(kA).empty());

    at(1000 + kWindow + 1);
    deliver(rival());
    EXPECT_EQ(FRAG_FINISHED, transfer_state(kA));
    EXPECT_EQ(Bytes{9}, transfer_data(kA));
}

INSTANTIATE_TEST_SUITE_P(Hearings, HeardTransfer,
                         testing::Values(Hearing::NextPart, Hearing::Repeat, Hearing::OutOfTurn),
                         testing::PrintToStringParamName());

class RivalSightings : public ReceivingRules, public testing::WithParamInterface<Hearing> {};

// A restarted sender retries its new first part while its old transfer is
// silent: three sightings over two timeouts replace the old one, unless
// anything of the old one was heard after the first sighting.
TEST_P(RivalSightings, ReplaceOnlyATransferSilentSinceTheFirstSighting)
{
    at(0);
    deliver(old_first());
    deliver(rival());
    if (GetParam() != Hearing::Nothing) {
        at(100);
        deliver(heard(GetParam()));
    }
    at(400);
    deliver(rival());
    at(800);
    deliver(rival());
    if (GetParam() == Hearing::Nothing) {
        EXPECT_EQ(FRAG_FINISHED, transfer_state(kA));
        EXPECT_EQ(Bytes{9}, transfer_data(kA));
    } else {
        EXPECT_EQ(3u, stats().transfers_refused);
        EXPECT_EQ(FRAG_ACTIVE, transfer_state(kA));
        EXPECT_TRUE(transfer_data(kA).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Hearings, RivalSightings,
                         testing::Values(Hearing::Nothing, Hearing::NextPart, Hearing::Repeat, Hearing::OutOfTurn),
                         testing::PrintToStringParamName());

// First parts of two different transfers (forged, or late copies) taking
// turns never add up to the sightings of one restarted sender: each change
// starts the count again, from one, at that sighting. Three of the same in
// a row over two timeouts do.
TEST_F(ReceivingRules, AlternatingRivalsAreCountedApart)
{
    at(0);
    deliver(old_first());
    const uint64_t acks = stats().acks_sent;
    const std::pair<uint32_t, uint32_t> sightings[] = {{0, 301},   {200, 301}, {400, 302},
                                                       {600, 301}, {800, 302}, {1200, 302}};
    for (const auto &[t, nonce] : sightings) {
        at(t);
        deliver(rival(nonce));
        EXPECT_EQ(acks, stats().acks_sent) << "nonce " << nonce << " at " << t << " ms took over";
        EXPECT_EQ(FRAG_ACTIVE, transfer_state(kA));
    }
    at(1400);  // the third sighting of 302 in a row, 600 ms after the first of them
    deliver(rival(302));
    EXPECT_EQ(acks + 1, stats().acks_sent);
    EXPECT_EQ(Bytes{9}, transfer_data(kA));
}

// ---------------------------------------------------------------- plain and described transfers

enum class Outcome { Ignored, Refused, Replaced };

struct Mix {
    const char *name;
    bool old_described;
    bool new_described;
    bool stalled;
    Outcome outcome;
};

void PrintTo(const Mix &m, std::ostream *os)
{
    *os << m.name;
}

class Mixes : public ReceivingRules, public testing::WithParamInterface<Mix> {};

// A part 0 without a descriptor is, between nodes that count parts by the
// sequence byte alone, the next part or nothing: it never replaces a plain
// transfer, which ends by its own timer. Where either side carries a
// descriptor, a new first part is refused while the transfer under way is
// heard and replaces it once it stalled.
TEST_P(Mixes, NewFirstPartIsIgnoredRefusedOrReplacesTheOldTransfer)
{
    const Mix &m = GetParam();
    at(0);
    deliver(m.old_described ? old_first() : plain_part(kA, kB, 0, 2, {1}));
    at(m.stalled ? kWindow + 1 : 800);
    deliver(m.new_described ? rival() : plain_part(kA, kB, 0, 4, {9}));
    const n_socket_stats s = stats();
    switch (m.outcome) {
    case Outcome::Ignored:
        EXPECT_EQ(1u, s.stray_fragments);
        EXPECT_EQ(0u, s.transfers_refused);
        break;
    case Outcome::Refused:
        EXPECT_EQ(0u, s.stray_fragments);
        EXPECT_EQ(1u, s.transfers_refused);
        break;
    case Outcome::Replaced:
        EXPECT_EQ(FRAG_FINISHED, transfer_state(kA));
        EXPECT_EQ(Bytes{9}, transfer_data(kA));
        return;
    }
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(kA));
    EXPECT_EQ(1u, s.acks_sent);
}

INSTANTIATE_TEST_SUITE_P(Transfers, Mixes,
                         testing::Values(Mix{"PlainAfterLivePlain", false, false, false, Outcome::Ignored},
                                         Mix{"PlainAfterStalledPlain", false, false, true, Outcome::Ignored},
                                         Mix{"DescribedAfterLivePlain", false, true, false, Outcome::Refused},
                                         Mix{"DescribedAfterStalledPlain", false, true, true, Outcome::Replaced},
                                         Mix{"PlainAfterLiveDescribed", true, false, false, Outcome::Refused},
                                         Mix{"PlainAfterStalledDescribed", true, false, true, Outcome::Replaced},
                                         Mix{"DescribedAfterLiveDescribed", true, true, false, Outcome::Refused},
                                         Mix{"DescribedAfterStalledDescribed", true, true, true,
                                             Outcome::Replaced}),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------- what starts a transfer

struct FirstPart {
    const char *name;
    uint8_t flags;
    bool with_index;
    uint32_t index;
    bool starts;
};

void PrintTo(const FirstPart &p, std::ostream *os)
{
    *os << p.name;
}

class FirstParts : public ReceivingRules, public testing::WithParamInterface<FirstPart> {};

// Only a part with the first-part flag and, where it gives one, the index 0
// starts a transfer; anything else from a node with no transfer is stray.
TEST_P(FirstParts, OnlyTheFlagWithIndexZeroStartsATransfer)
{
    const FirstPart &p = GetParam();
    const Bytes data{7};
    const Descriptor d{true,
                       static_cast<uint8_t>(p.flags | kDescLast | (p.with_index ? kDescIndex : 0)),
                       500,
                       1,
                       crc32_update(0, data.data(), data.size()),
                       p.index};
    const auto seq = static_cast<unsigned char>(p.index);
    deliver(frame(kA, seq, {payload(data), cad(kB), cac(4, seq), descriptor_tuple(d)}));
    const n_socket_stats s = stats();
    if (p.starts) {
        EXPECT_EQ(1u, s.acks_sent);
        EXPECT_EQ(data, transfer_data(kA));
    } else {
        EXPECT_EQ(0u, s.acks_sent);
        EXPECT_EQ(1u, s.stray_fragments);
        EXPECT_EQ(nullptr, n_frag_get_frag(kA.data()));
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, FirstParts,
                         testing::Values(FirstPart{"FlagAndIndexZero", kDescFirst, true, 0, true},
                                         FirstPart{"FlagWithoutIndex", kDescFirst, false, 0, true},
                                         FirstPart{"FlagOnIndexFive", kDescFirst, true, 5, false},
                                         FirstPart{"FlagOnIndex256", kDescFirst, true, 256, false},
                                         FirstPart{"IndexZeroWithoutFlag", 0, true, 0, false}),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------- a full table

// Two transfers fill node b's table (nodes 50 and 51, a part at each listed
// time, the first at 0); at 600 ms node 52 starts a third.
struct Schedule {
    const char *name;
    std::vector<uint32_t> parts[2];
    int evicted;  // 0 or 1: the one that must make room; -1: none, the newcomer is refused
};

std::vector<uint32_t> every(uint32_t step, uint32_t from, uint32_t to)
{
    std::vector<uint32_t> v;
    for (uint32_t t = from; t <= to; t += step)
        v.push_back(t);
    return v;
}

void PrintTo(const Schedule &s, std::ostream *os)
{
    *os << s.name;
}

class FullTable : public ReceivingRules, public testing::WithParamInterface<Schedule> {};

// A full table makes room only by evicting a transfer under way for more
// than two timeouts that stores less than two parts per timeout on average,
// or none for its sender's window, the one silent longest; and only for a
// first part that keeps coming (three times over two timeouts). A steady
// transfer is never evicted, and when all are steady the newcomer is
// refused.
TEST_P(FullTable, EvictsOnlyASlowOrSilentTransfer)
{
    const Schedule &s = GetParam();
    const auto frag_state_of = [](int who) { return transfer_state(node_id(static_cast<unsigned char>(50 + who))); };
    ASSERT_EQ(0, n_socket_set_frag_limits(b, 2, 1u << 20));
    struct Event {
        uint32_t t;
        int who;
    };
    std::vector<Event> events;
    for (int who = 0; who < 2; ++who)
        for (uint32_t t : s.parts[who])
            events.push_back({t, who});
    for (uint32_t t : {600u, 800u, 1000u})
        events.push_back({t, 2});  // the newcomer, node 52, resends its first part
    std::stable_sort(events.begin(), events.end(), [](const Event &x, const Event &y) { return x.t < y.t; });
    unsigned char next_seq[2] = {0, 0};
    uint64_t refused = 0;
    for (const Event &e : events) {
        at(e.t);
        if (e.who == 2) {
            if (refused == 0)
                refused = stats().transfers_refused;
            deliver(plain_part(node_id(52), kB, 0, 2, {52}));
            continue;
        }
        if (frag_state_of(e.who) == FRAG_ABORTED)
            continue;  // evicted: its sender's parts belong to no transfer now
        const unsigned char seq = next_seq[e.who]++;
        deliver(plain_part(node_id(static_cast<unsigned char>(50 + e.who)), kB, seq, 2, {seq}));
        if (seq == 0 && e.who == 1)  // the last place of the table takes a first part that came again
            deliver(plain_part(node_id(51), kB, 0, 2, {0}));
    }
    ASSERT_EQ(1u, refused);

    const n_socket_stats st = stats();
    EXPECT_EQ(s.evicted < 0 ? 0u : 1u, st.transfers_evicted);
    EXPECT_EQ(refused + (s.evicted < 0 ? 3u : 2u), st.transfers_refused);
    for (int who = 0; who < 2; ++who)
        EXPECT_EQ(who == s.evicted ? FRAG_ABORTED : FRAG_ACTIVE,
                  transfer_state(node_id(static_cast<unsigned char>(50 + who))))
            << "node " << 50 + who;
    EXPECT_EQ(s.evicted < 0 ? -1 : FRAG_ACTIVE, transfer_state(node_id(52)));
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FullTable,
    testing::Values(Schedule{"SteadyBesideTrickling", {every(50, 0, 1000), {0, 580}}, 1},
                    Schedule{"TwoSteady", {every(50, 0, 1000), every(50, 25, 975)}, -1},
                    Schedule{"SteadyBesideFallenSilent", {every(50, 0, 1000), every(20, 0, 200)}, 1},
                    Schedule{"TwoTricklingTheOneSilentLongest", {{0, 100}, {0, 300}}, 0}),
    testing::PrintToStringParamName());

// Transfers let go of (their data taken) are kept, four times the table's
// size of them per socket; past that, the first part of a new transfer
// makes the one let go of longest ago leave the registry (taking its lock
// for that, as the timers' reclaim does), and only that one.
TEST_F(ReceivingRules, ManyTransfersLetGoMakeTheOldestLeave)
{
    constexpr int kTable = 4;
    constexpr int kKept = 4 * kTable;
    ASSERT_EQ(0, n_socket_set_frag_limits(b, kTable, 1u << 20));
    const auto peer = [](int i) { return node_id(static_cast<unsigned char>(100 + i)); };
    for (int i = 0; i <= kKept + 1; ++i) {
        at(static_cast<uint32_t>(10 * i));
        deliver(single_part(peer(i), kB, static_cast<uint32_t>(1000 + i), {static_cast<unsigned char>(i)}));
        ASSERT_EQ(FRAG_FINISHED, transfer_state(peer(i))) << i;
        if (i <= kKept) {
            EXPECT_EQ(Bytes{static_cast<unsigned char>(i)}, transfer_data(peer(i)));
        }
        if (i == kKept) {  // kKept + 1 let go: the next first part makes room
            ASSERT_NE(nullptr, n_frag_get_frag(peer(0).data()));
        }
    }
    EXPECT_EQ(nullptr, n_frag_get_frag(peer(0).data()));
    for (int i = 1; i <= kKept + 1; ++i)
        EXPECT_NE(nullptr, n_frag_get_frag(peer(i).data())) << i;
}

// ---------------------------------------------------------------- files

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const std::string &path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

// A folder of its own per test, removed with what is left in it.
class FileRules : public ReceivingRules {
protected:
    void SetUp() override
    {
        ReceivingRules::SetUp();
        dir = ::testing::TempDir() + "rules_" + std::to_string(::getpid()) + "/";
        ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
        out = dir + "out.bin";
    }
    void TearDown() override
    {
        for (const char *name : {"out.bin", "out.bin.part", "intruder"})
            std::remove((dir + name).c_str());
        ::rmdir(dir.c_str());
        ReceivingRules::TearDown();
    }
    std::string dir;
    std::string out;
};

enum class Ending { Completes, Aborted, AbortedKeepingThePart };

class ReplacedPartFile : public FileRules, public testing::WithParamInterface<Ending> {};

// Another file put in place of the temporary file while the transfer runs
// (on the same device: only its inode tells it apart) is never renamed to
// the target nor removed, whichever way the transfer ends.
TEST_P(ReplacedPartFile, IsNeitherRenamedNorRemoved)
{
    const int flags = GetParam() == Ending::AbortedKeepingThePart ? FRAG_FILE_KEEP_PARTIAL : 0;
    ASSERT_EQ(0, n_frag_recv_file_opts(b, kA.data(), out.c_str(), flags));
    deliver(plain_part(kA, kB, 0, 2, {'a', 'b'}));
    ASSERT_EQ(FRAG_ACTIVE, transfer_state(kA));
    std::ofstream(dir + "intruder") << "not yours";
    ASSERT_EQ(0, std::rename((dir + "intruder").c_str(), (out + ".part").c_str()));

    if (GetParam() == Ending::Completes)
        deliver(plain_part(kA, kB, 1, 4, {'c'}));
    else
        n_frag_abort(kA.data());
    EXPECT_EQ(FRAG_ABORTED, transfer_state(kA));
    EXPECT_EQ("not yours", slurp(out + ".part"));
    EXPECT_FALSE(exists(out));
}

void PrintTo(Ending e, std::ostream *os)
{
    constexpr const char *kNames[] = {"Completes", "Aborted", "AbortedKeepingThePart"};
    *os << kNames[static_cast<int>(e)];
}

INSTANTIATE_TEST_SUITE_P(Endings, ReplacedPartFile,
                         testing::Values(Ending::Completes, Ending::Aborted, Ending::AbortedKeepingThePart),
                         testing::PrintToStringParamName());

// A file arranged for one peer's transfer is not written by another peer's
// (that one is received into memory), and the arranged peer's still goes
// to the file.
TEST_F(FileRules, FileArrangedForOnePeerIsNotTakenByAnother)
{
    const NodeId other = node_id(3);
    ASSERT_EQ(0, n_frag_recv_file(b, kA.data(), out.c_str()));
    deliver(plain_part(other, kB, 0, 4, {'z'}));
    EXPECT_EQ(Bytes{'z'}, transfer_data(other));
    EXPECT_FALSE(exists(out));
    EXPECT_EQ("", slurp(out + ".part"));

    deliver(plain_part(kA, kB, 0, 4, {'y'}));
    EXPECT_EQ(FRAG_FINISHED, transfer_state(kA));
    EXPECT_EQ("y", slurp(out));
}

// A file arranged on one socket is not written by a transfer arriving on
// another.
TEST_F(FileRules, FileArrangedOnOneSocketIsNotTakenOnAnother)
{
    const int c = open_node(node_id(4));
    ASSERT_EQ(0, n_frag_recv_file(c, kA.data(), out.c_str()));
    deliver(plain_part(kA, kB, 0, 4, {'z'}));
    EXPECT_EQ(Bytes{'z'}, transfer_data(kA));
    EXPECT_FALSE(exists(out));
    EXPECT_EQ("", slurp(out + ".part"));
    n_socket_close(c);
}

}  // namespace
