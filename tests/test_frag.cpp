// SPDX-License-Identifier: MIT
// Fragmentations driven directly: the frames of each part, acknowledgements, joining, states, files.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frag.h"
#include "support/expect.h"
#include "support/nodes.h"

using namespace nimbet::test;

namespace {

const unsigned char kType[2] = {0x12, 0x34};

std::vector<unsigned char> pattern(std::size_t n, unsigned seed = 7)
{
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 131 + seed) & 0xff);
    return v;
}

// One fragment frame as it went over the wire, checked for the fixed layout:
// data tuple, "CAD", "CAC", CRC; the data bytes and control bytes returned.
struct PartFrame {
    std::vector<unsigned char> data;
    unsigned char control;
    unsigned char seq;
};

PartFrame split_part(const std::vector<unsigned char> &f, const NodeId &from, const NodeId &to)
{
    PartFrame p{};
    EXPECT_GE(f.size(), 56u + 3 + 11 + 5);
    if (f.size() < 56u + 3 + 11 + 5)
        return p;
    EXPECT_EQ(1, n_util_crc16_check(f.data(), f.size()));
    EXPECT_TRUE(std::equal(from.begin(), from.end(), f.begin() + 45));
    EXPECT_EQ(kType[0], f[54]);
    EXPECT_EQ(kType[1], f[55]);
    const std::size_t len = f[56];
    EXPECT_EQ(f.size(), 56u + 3 + len + 11 + 5);
    p.data.assign(f.begin() + 57, f.begin() + 57 + len);
    const std::size_t cad = 57 + len;
    EXPECT_EQ(0x6C, f[cad]);
    EXPECT_EQ(0x80, f[cad + 1]);
    EXPECT_EQ(8, f[cad + 2]);
    EXPECT_TRUE(std::equal(to.begin(), to.end(), f.begin() + cad + 3));
    const std::size_t cac = cad + 11;
    EXPECT_EQ(0x66, f[cac]);
    EXPECT_EQ(0x40, f[cac + 1]);
    EXPECT_EQ(2, f[cac + 2]);
    p.control = f[cac + 3];
    p.seq = f[cac + 4];
    return p;
}

n_pkt *parse(const std::vector<unsigned char> &frame)
{
    n_pkt *pkt = n_pkt_alloc();
    EXPECT_EQ(0, n_pkt_parse(pkt, frame.data(), frame.size()));
    return pkt;
}

int state(const NodeId &id) { return n_frag_get_status(id.data(), FRAG_STATE_MASK); }

// The plain wire that every node understands: no transfer descriptor.
class Fragmentation : public NodePair {
protected:
    void SetUp() override
    {
        NodePair::SetUp();
        n_socket_set_transfer_check(a, 0);
        n_socket_set_transfer_check(b, 0);
    }

    // Sends `data` from a to b, acknowledging each part directly on the
    // sender's side; returns the frames as they went over the wire.
    std::vector<std::vector<unsigned char>> capture_parts(const std::vector<unsigned char> &data)
    {
        std::vector<std::vector<unsigned char>> frames;
        EXPECT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
        while (state(idb) == FRAG_ACTIVE && frames.size() < 1000) {
            auto frame = tap.next();
            if (frame.empty())
                break;
            frames.push_back(std::move(frame));
            EXPECT_EQ(1, n_frag_acked(idb.data()));
            EXPECT_EQ(1, n_frag_next_part(idb.data()));
        }
        return frames;
    }

    std::vector<PartFrame> send_all(const std::vector<unsigned char> &data)
    {
        std::vector<PartFrame> parts;
        for (const auto &frame : capture_parts(data))
            parts.push_back(split_part(frame, ida, idb));
        return parts;
    }

    Tap tap;
};

struct SizeCase {
    std::size_t size;
    std::vector<std::size_t> part_sizes;
};

void PrintTo(const SizeCase &c, std::ostream *os) { *os << c.size << " bytes"; }

class FragmentationSizes : public Fragmentation, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FragmentationSizes, SenderSendsPartsOfAtMost45BytesInOrder)
{
    const SizeCase &c = GetParam();
    const auto data = pattern(c.size);
    const auto parts = send_all(data);
    ASSERT_EQ(c.part_sizes.size(), parts.size());
    std::vector<unsigned char> joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(c.part_sizes[i], parts[i].data.size());
        EXPECT_EQ(i + 1 < parts.size() ? 2 : 4, parts[i].control) << "part " << i;
        EXPECT_EQ(i & 0xff, parts[i].seq);
        joined.insert(joined.end(), parts[i].data.begin(), parts[i].data.end());
    }
    EXPECT_EQ(data, joined);
    EXPECT_EQ(FRAG_FINISHED, state(idb));
    EXPECT_EQ(static_cast<int>(c.size), n_frag_get_data_length(idb.data()));
    // Everything acknowledged: nothing more goes out.
    EXPECT_EQ(1, n_frag_next_part(idb.data()));
    EXPECT_TRUE(tap.next(50).empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, FragmentationSizes,
                         ::testing::Values(SizeCase{0, {0}}, SizeCase{45, {45}}, SizeCase{46, {45, 1}},
                                           SizeCase{100, {45, 45, 10}}),
                         [](const auto &info) { return "Bytes" + std::to_string(info.param.size); });

TEST_F(Fragmentation, FullPartFillsTheTupleAreaExactly)
{
    const auto data = pattern(45);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    const auto frame = tap.next();
    EXPECT_EQ(56u + 64u, frame.size());
}

TEST_F(Fragmentation, PartCounterWrapsAtThe257thPart)
{
    const auto parts = send_all(pattern(257 * 45));
    ASSERT_EQ(257u, parts.size());
    EXPECT_EQ(255, parts[255].seq);
    EXPECT_EQ(0, parts[256].seq);
    EXPECT_EQ(4, parts[256].control);
}

TEST_F(Fragmentation, RetransmissionResendsTheSamePartAndCountsARetry)
{
    const auto data = pattern(100);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    const auto first = split_part(tap.next(), ida, idb);
    n_frag *f = n_frag_get_frag(idb.data());
    ASSERT_NE(nullptr, f);
    const int retries = f->retries;
    EXPECT_EQ(1, n_frag_next_part(idb.data()));
    const auto again = split_part(tap.next(), ida, idb);
    EXPECT_EQ(first.data, again.data);
    EXPECT_EQ(first.seq, again.seq);
    EXPECT_EQ(retries - 1, f->retries);
}

TEST_F(Fragmentation, ReceiverJoinsPartsAcrossChunksAndAcknowledgesEach)
{
    // 23 full parts: 22 fill the first 1024-byte chunk (990 bytes), the 23rd
    // starts a second one.
    const auto data = pattern(23 * 45 + 10);
    const auto frames = capture_parts(data);
    ASSERT_EQ(24u, frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        n_pkt *pkt = parse(frames[i]);
        EXPECT_EQ(0, i == 0 ? n_frag_init_recv(b, pkt) : n_frag_append(ida.data(), pkt));
        n_pkt_free(pkt);
        const auto ack = tap.next();
        ASSERT_EQ(75u, ack.size());
        EXPECT_EQ(i + 1 < frames.size() ? 3 : 5, ack[54 + 3 + 3]);
        EXPECT_EQ(i, ack[54 + 3 + 4]);
        n_frag *f = n_frag_get_frag(ida.data());
        if (i == 22) {
            std::vector<uint32_t> used;
            for (nimbet::obstack_chunk *c : nimbet::ChunkQueue::each(f->frag_obstack))
                used.push_back(c->used);
            EXPECT_EQ((std::vector<uint32_t>{990, 45}), used);
            EXPECT_EQ(0, n_frag_get_data_length(ida.data()));
        }
    }
    EXPECT_EQ(FRAG_FINISHED | FRAG_RECEIVING, n_frag_get_status(ida.data(), 0xffff));
    unsigned char *joined = nullptr;
    ASSERT_EQ(static_cast<int>(data.size()), n_frag_get_data(ida.data(), &joined));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), joined));
}

TEST_F(Fragmentation, EmptyTransferFinishesBothSidesWithEmptyData)
{
    const auto frames = capture_parts({});
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0, split_part(frames[0], ida, idb).data.size());
    EXPECT_EQ(FRAG_FINISHED, state(idb));
    EXPECT_EQ(0, n_frag_get_data_length(idb.data()));
    n_pkt *pkt = parse(frames[0]);
    EXPECT_EQ(0, n_frag_init_recv(b, pkt));
    n_pkt_free(pkt);
    const auto ack = tap.next();
    ASSERT_EQ(75u, ack.size());
    EXPECT_EQ(5, ack[60]);
    unsigned char *out = nullptr;
    EXPECT_EQ(0, n_frag_get_data(ida.data(), &out));
    EXPECT_NE(nullptr, out);
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(ida.data(), FRAG_STATE_MASK));
}

TEST_F(Fragmentation, LostAcknowledgementOfAnEmptyTransferIsRetriedNotForever)
{
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), nullptr, 0, kType));
    tap.drain(10);
    n_frag *f = n_frag_get_frag(idb.data());
    const int retries = f->retries;
    // Without an acknowledgement, every further call is a retransmission
    // that uses up a retry.
    EXPECT_EQ(1, n_frag_next_part(idb.data()));
    EXPECT_EQ(1u, tap.drain(10).size());
    EXPECT_EQ(retries - 1, f->retries);
}

TEST_F(Fragmentation, OneFragmentationPerPeerUntilAborted)
{
    const auto data = pattern(10);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    EXPECT_EQ(13, n_errno);
    EXPECT_EQ(-1, n_frag_delete(idb.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(1, n_frag_abort(idb.data()));
    EXPECT_EQ(1, n_frag_abort(idb.data()));  // repeatable
    EXPECT_EQ(FRAG_ABORTED, state(idb));
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    n_frag_get_data(idb.data(), &out);
    EXPECT_EQ(nullptr, out);
    // An aborted fragmentation is replaced by a new one.
    EXPECT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    EXPECT_EQ(FRAG_ACTIVE, state(idb));
    EXPECT_EQ(1u, nimbet::frag_snapshot().size());
}

TEST_F(Fragmentation, FinishedTransferIsDeletedNotReplaced)
{
    send_all(pattern(5));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_send(a, idb.data(), kType, 2, kType));
    EXPECT_EQ(13, n_errno);
    EXPECT_EQ(1, n_frag_delete(idb.data()));
    EXPECT_EQ(nullptr, n_frag_get_frag(idb.data()));
    EXPECT_EQ(225, n_errno);
}

TEST_F(Fragmentation, AbortedSenderTransmitsNothingMore)
{
    const auto data = pattern(100);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    tap.drain(10);
    ASSERT_EQ(1, n_frag_abort(idb.data()));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_next_part(idb.data()));
    EXPECT_EQ(227, n_errno);
    // A late acknowledgement does not revive it either.
    EXPECT_EQ(-1, n_frag_acked(idb.data()));
    EXPECT_EQ(FRAG_ABORTED, state(idb));
    EXPECT_TRUE(tap.drain(20).empty());
}

TEST_F(Fragmentation, DescriptorThatNamesNoSocketRegistersNothing)
{
    const auto data = pattern(10);
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_send(12345, idb.data(), data.data(), data.size(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(nullptr, n_frag_get_frag(idb.data()));

    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    n_pkt *pkt = parse(tap.next());
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_init_recv(12345, pkt));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(nullptr, n_frag_get_frag(ida.data()));
    n_pkt_free(pkt);
}

// A second start for the same peer is refused with 13, and refused again:
// the refusal leaves the registry unlocked for every call after it.
TEST_F(Fragmentation, ReceivingSideRefusesASecondStartAndSenderOperations)
{
    const Deadline limit(10);
    const auto data = pattern(100);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    n_pkt *pkt = parse(tap.next());
    ASSERT_EQ(0, n_frag_init_recv(b, pkt));
    EXPECT_FAILS_WITH(-1, 13, n_frag_init_recv(b, pkt));
    EXPECT_FAILS_WITH(-1, 13, n_frag_init_recv(b, pkt));
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_next_part(ida.data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(-1, n_frag_acked(ida.data()));
    // and the sending side takes no parts
    EXPECT_EQ(-1, n_frag_append(idb.data(), pkt));
    EXPECT_EQ(22, n_errno);
    n_pkt_free(pkt);
}

TEST_F(Fragmentation, PartsForFinishedOrAbortedReceiverChangeNothing)
{
    const auto frames = capture_parts(pattern(46));
    ASSERT_EQ(2u, frames.size());
    n_pkt *p1 = parse(frames[0]);
    n_pkt *p2 = parse(frames[1]);
    ASSERT_EQ(0, n_frag_init_recv(b, p1));
    ASSERT_EQ(0, n_frag_append(ida.data(), p2));
    unsigned char *before = nullptr;
    ASSERT_EQ(46, n_frag_get_data(ida.data(), &before));
    const std::vector<unsigned char> kept(before, before + 46);
    // The same last part again, counter forced to match: refused, data unchanged.
    n_frag_get_frag(ida.data())->part_no = p2->ack_seq;
    n_errno = 0;
    EXPECT_EQ(-1, n_frag_append(ida.data(), p2));
    EXPECT_EQ(227, n_errno);
    unsigned char *after = nullptr;
    EXPECT_EQ(46, n_frag_get_data(ida.data(), &after));
    EXPECT_EQ(kept, std::vector<unsigned char>(after, after + 46));

    ASSERT_EQ(1, n_frag_abort(ida.data()));
    EXPECT_EQ(-1, n_frag_append(ida.data(), p1));
    EXPECT_EQ(nullptr, n_frag_get_frag(ida.data())->frag_data);
    EXPECT_TRUE(nimbet::ChunkQueue::empty(n_frag_get_frag(ida.data())->frag_obstack));
    n_pkt_free(p1);
    n_pkt_free(p2);
}

TEST_F(Fragmentation, DataFileHoldsExactlyTheReceivedBytes)
{
    const auto data = pattern(200);
    const auto frames = capture_parts(data);
    ASSERT_EQ(5u, frames.size());
    const std::string path = ::testing::TempDir() + "frag_data.bin";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        n_pkt *pkt = parse(frames[i]);
        i == 0 ? n_frag_init_recv(b, pkt) : n_frag_append(ida.data(), pkt);
        n_pkt_free(pkt);
        if (i == 0) {
            // Not finished yet: an empty file.
            EXPECT_EQ(0, n_frag_get_data_file(ida.data(), path.c_str()));
            std::ifstream in(path, std::ios::binary);
            EXPECT_EQ(std::istreambuf_iterator<char>(), std::istreambuf_iterator<char>(in));
        }
    }
    EXPECT_EQ(200, n_frag_get_data_file(ida.data(), path.c_str()));
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(data, back);
    EXPECT_EQ(-1, n_frag_get_data_file(ida.data(), "/nonexistent-dir/x.bin"));
    std::remove(path.c_str());
}

TEST_F(Fragmentation, UnknownIdentifierIsRefused)
{
    const NodeId nobody = node_id(99);
    n_errno = 0;
    EXPECT_EQ(nullptr, n_frag_get_frag(nobody.data()));
    EXPECT_EQ(225, n_errno);
    EXPECT_EQ(nullptr, n_frag_get_frag(nullptr));
    EXPECT_EQ(22, n_errno);
    for (int r : {n_frag_get_status(nobody.data(), FRAG_STATE_MASK), n_frag_next_part(nobody.data()),
                  n_frag_acked(nobody.data()), n_frag_abort(nobody.data()), n_frag_delete(nobody.data()),
                  n_frag_get_data_length(nobody.data())}) {
        EXPECT_EQ(-1, r);
        EXPECT_EQ(22, n_errno);
    }
}

TEST_F(Fragmentation, DescriptionPrintsStateAndCounters)
{
    const NodeId nobody = node_id(99);
    testing::internal::CaptureStdout();
    n_describe_frag(nobody.data());
    EXPECT_EQ("No Fragmentation registered\n", testing::internal::GetCapturedStdout());

    const auto data = pattern(100);
    ASSERT_EQ(1, n_frag_init_send(a, idb.data(), data.data(), data.size(), kType));
    testing::internal::CaptureStdout();
    n_describe_frag(idb.data());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string head = "Fragmentation with ID 1.1.1.1.10.0.0.2 sending on socket " + std::to_string(a) +
                             " \nSENDING Fragmentation in state ACTIVE\nLast packet with 45 byte data was ";
    EXPECT_EQ(head, out.substr(0, head.size()));
    EXPECT_NE(std::string::npos, out.find(" ms ago, 10 possible retries\n"
                                          "Lenght of the complete File: 100 (is always 0 if we are receiver of "
                                          "a non-finished frag),\n 0 Bytes have already been send/received\n"
                                          "File will be stored at "));
    EXPECT_EQ("\n\n", out.substr(out.size() - 2));
}

TEST(ChunkStack, PartsNeverSpanTwoChunks)
{
    nimbet::chunk_stack stack;
    nimbet::chunk_stack_init(stack);
    std::vector<unsigned char> all;
    for (int i = 0; i < 30; ++i) {
        const auto part = pattern(200, static_cast<unsigned>(i));
        ASSERT_TRUE(nimbet::chunk_stack_append(stack, part.data(), 200));
        all.insert(all.end(), part.begin(), part.end());
    }
    std::size_t chunks = 0;
    for (nimbet::obstack_chunk *c : nimbet::ChunkQueue::each(stack)) {
        EXPECT_EQ(1000u, c->used);  // five parts, the rest of the chunk stays empty
        ++chunks;
    }
    EXPECT_EQ(6u, chunks);
    std::size_t size = 0;
    unsigned char *joined = nimbet::chunk_stack_collect(stack, &size);
    ASSERT_NE(nullptr, joined);
    EXPECT_EQ(all.size(), size);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), joined));
    EXPECT_TRUE(nimbet::ChunkQueue::empty(stack));
    std::free(joined);

    nimbet::chunk_stack_append(stack, all.data(), 10);
    nimbet::chunk_stack_release(stack);
    EXPECT_TRUE(nimbet::ChunkQueue::empty(stack));
}

}  // namespace
