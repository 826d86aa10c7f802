// SPDX-License-Identifier: MIT
// Packets: allocation, parsing of received frames (good, damaged and hostile), header access, description.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "packet.h"
#include "support/expect.h"
#include "support/frames.h"
#include "support/nodes.h"

namespace {

using namespace nimbet::test;

constexpr unsigned char kNodeId[8] = {1, 1, 1, 1, 10, 0, 0, 5};

// A well-formed frame: format 2, zero location, identifier 1.1.1.1.10.0.0.5,
// the given tuples and a correct CRC trailer.
Bytes make_frame(const std::vector<WireTuple> &tuples, uint8_t seq = 1)
{
    return frame(node_id(5), seq, tuples);
}

// A frame with raw tuple-area bytes (possibly malformed) and a correct CRC.
Bytes make_raw_frame(const Bytes &area)
{
    Bytes f(PACKET_HEADER_SIZE, 0);
    f[0] = 2;
    f.insert(f.end(), area.begin(), area.end());
    f.resize(f.size() + 2);
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    return f;
}

class Packet : public nimbet::test::PacketTest {
protected:
    // Parses from a heap block of exactly the frame's size, so that the
    // sanitizer build catches any read past the received bytes.
    int parse(const Bytes &frame)
    {
        auto exact = std::make_unique<unsigned char[]>(frame.size());
        std::memcpy(exact.get(), frame.data(), frame.size());
        return n_pkt_parse(pkt, exact.get(), static_cast<unsigned>(frame.size()));
    }

    void expect_no_tuples()
    {
        EXPECT_EQ(0u, pkt->acl_len);
        EXPECT_EQ(0u, pkt->acl_count);
        EXPECT_EQ(0u, pkt->flags & PACKET_HAS_ACL);
        EXPECT_EQ(nullptr, pkt->acl_head.tqh_first);
    }
};

TEST_F(Packet, AllocGivesFreshRecord)
{
    EXPECT_EQ(2, pkt->format);
    EXPECT_EQ(PACKET_FORMAT_SET, pkt->flags);
    EXPECT_EQ(16, pkt->fromlen);
    EXPECT_EQ(&pkt->acl_head.tqh_first, pkt->acl_head.tqh_last);
    EXPECT_EQ(0, n_pkt_get_ack(pkt));
    expect_no_tuples();
}

TEST(PacketFree, RefusesNull)
{
    EXPECT_FAILS_WITH(-1, 13, n_pkt_free(nullptr));
}

TEST_F(Packet, WorkedAcmFrameHasKnownTrailerAndParses)
{
    const Bytes f = make_frame({{0xA5, 0x0E, {}}});
    ASSERT_EQ(59u, f.size());
    EXPECT_EQ(0xC1, f[57]);
    EXPECT_EQ(0x4D, f[58]);
    EXPECT_EQ(1, n_util_crc16_check(f.data(), 59));

    ASSERT_EQ(0, parse(f));
    EXPECT_EQ(3u, pkt->acl_len);
    EXPECT_EQ(1u, pkt->acl_count);
    EXPECT_EQ(PACKET_RECEIVED | PACKET_CRC_OK | PACKET_HAS_ACL, pkt->flags);
    EXPECT_EQ(0, n_pkt_get_ack(pkt));
    EXPECT_EQ(1, n_pkt_get_seq(pkt));
    EXPECT_EQ(0, std::memcmp(n_pkt_get_srcid(pkt), kNodeId, 8));
    n_acl *t = n_acl_first(pkt);
    ASSERT_NE(nullptr, t);
    EXPECT_TRUE(nimbet::same_type(t->type, nimbet::kTypeACM));
    EXPECT_EQ(0, t->len);
    EXPECT_EQ(nullptr, n_acl_next(pkt, t));
}

TEST_F(Packet, ParseKeepsTuplesInFrameOrderWithTheirData)
{
    ASSERT_EQ(0, parse(make_frame({{0x10, 0x20, {1, 2, 3}}, {0x30, 0x40, {}}, {0x10, 0x20, {9}}})));
    EXPECT_EQ(3u, pkt->acl_count);
    EXPECT_EQ(13u, pkt->acl_len);
    n_acl *t = n_acl_first(pkt);
    unsigned char *d = nullptr;
    ASSERT_EQ(3, n_acl_get_data(t, &d));
    EXPECT_EQ(Bytes({1, 2, 3}), Bytes(d, d + 3));
    t = n_acl_next(pkt, t);
    EXPECT_EQ(0x30, t->type[0]);
    t = n_acl_next(pkt, t);
    ASSERT_EQ(1, n_acl_get_data(t, &d));
    EXPECT_EQ(9, d[0]);
    EXPECT_EQ(&t->link.tqe_next, pkt->acl_head.tqh_last);
}

TEST_F(Packet, ParseAcceptsTupleAreaLargerThanAddLimit)
{
    ASSERT_EQ(0, parse(make_frame({{1, 2, Bytes(200, 7)}, {3, 4, Bytes(100, 8)}})));
    EXPECT_EQ(306u, pkt->acl_len);
    EXPECT_EQ(2u, pkt->acl_count);
}

TEST_F(Packet, ParseRefusesShortFrameAndLeavesPacketUntouched)
{
    Bytes f = make_frame({{0xA5, 0x0E, {}}});
    f.pop_back();
    n_pkt before = *pkt;
    EXPECT_EQ(-1, parse(f));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(0, std::memcmp(&before, pkt, sizeof before));
}

TEST_F(Packet, ParseRefusesWrongFormatButStoresIt)
{
    Bytes f = make_frame({{0xA5, 0x0E, {}}});
    f[0] = 1;
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    EXPECT_EQ(-1, parse(f));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(1, pkt->format);
    EXPECT_EQ(PACKET_FORMAT_SET, pkt->flags);
    EXPECT_EQ(0, pkt->seq);
}

TEST_F(Packet, ParseRefusesPacketThatHoldsTuples)
{
    ASSERT_EQ(0, n_acl_add_str(pkt, "ACM", nullptr, 0, 0));
    n_pkt before = *pkt;
    EXPECT_EQ(-1, parse(make_frame({{0xA5, 0x0E, {}}})));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(0, std::memcmp(&before, pkt, sizeof before));
}

TEST_F(Packet, ParseRefusesNullArguments)
{
    const Bytes f = make_frame({{0xA5, 0x0E, {}}});
    EXPECT_FAILS_WITH(-1, 22, n_pkt_parse(nullptr, f.data(), 59));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_parse(pkt, nullptr, 59));
}

TEST_F(Packet, ParsedPacketWhoseTuplesWereRemovedParsesAgain)
{
    ASSERT_EQ(0, parse(make_frame({{0xA5, 0x0E, {}}})));
    n_acl *t = n_acl_first(pkt);
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, t));
    std::free(t);
    EXPECT_EQ(0, parse(make_frame({{0x66, 0x40, {0, 3}}}, 9)));
    EXPECT_EQ(9, n_pkt_get_seq(pkt));
    EXPECT_EQ(1u, pkt->acl_count);
}

// Every flipped bit, and a CRC wrong in its low byte only.
TEST(PacketCrc, AnyDamageIsRefusedWithHeaderAlreadyCopied)
{
    const Bytes good = make_frame({{0x66, 0x40, {0, 5}}}, 77);
    std::vector<Bytes> damaged{with_crc_wrong_in_low_byte_only(good)};
    for (std::size_t bit = 8; bit < good.size() * 8; ++bit) {
        damaged.push_back(good);
        damaged.back()[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    }
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        const Bytes &f = damaged[i];
        n_pkt *pkt = n_pkt_alloc();
        n_errno = 0;
        ASSERT_EQ(-1, n_pkt_parse(pkt, f.data(), static_cast<unsigned>(f.size()))) << "case " << i;
        EXPECT_EQ(22, n_errno);
        EXPECT_EQ(PACKET_RECEIVED | PACKET_CRC_BAD, pkt->flags) << "case " << i;
        EXPECT_EQ(0, std::memcmp(pkt->location, &f[1], 44));
        EXPECT_EQ(0, std::memcmp(pkt->srcid, &f[45], 8));
        EXPECT_EQ(f[53], pkt->seq);
        EXPECT_EQ(0u, pkt->acl_count);
        EXPECT_EQ(nullptr, pkt->acl_head.tqh_first);
        EXPECT_EQ(0, pkt->ack_seq);
        n_pkt_free(pkt);
    }
}

// Frames whose tuple area does not tile exactly up to the CRC trailer are
// refused as a whole: no tuple is made and no byte beyond the frame is read.
struct HostileArea {
    const char *name;
    Bytes area;
    friend void PrintTo(const HostileArea &c, std::ostream *os) { *os << c.name; }
};

class PacketHostile : public Packet, public testing::WithParamInterface<HostileArea> {};

TEST_P(PacketHostile, RefusesFrameAndKeepsNoTuples)
{
    const Bytes f = make_raw_frame(GetParam().area);
    ASSERT_EQ(1, n_util_crc16_check(f.data(), static_cast<unsigned>(f.size())));
    EXPECT_EQ(-1, parse(f));
    EXPECT_EQ(22, n_errno);
    expect_no_tuples();
    EXPECT_EQ(0, pkt->ack_seq);
    EXPECT_EQ(0u, pkt->flags & PACKET_ACK_REQUESTED);
    // The refused packet holds nothing, so a good frame can follow.
    EXPECT_EQ(0, parse(make_frame({{0xA5, 0x0E, {}}})));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PacketHostile,
    testing::Values(HostileArea{"LengthRunsIntoTrailer", {0xA5, 0x0E, 1}},
                    HostileArea{"LengthRunsFarPastTrailer", {0xA5, 0x0E, 255}},
                    HostileArea{"SecondLengthRunsPastTrailer", {0xA5, 0x0E, 0, 0x66, 0x40, 2, 0}},
                    HostileArea{"HeaderTwoBytesBeforeTrailer", {0xA5, 0x0E, 0, 0x66, 0x40}},
                    HostileArea{"HeaderOneByteBeforeTrailer", {0xA5, 0x0E, 0, 0x66}},
                    HostileArea{"CacLengthPastTrailer", {0x66, 0x40, 2, 0}},
                    HostileArea{"CadLengthPastTrailer", {0x6C, 0x80, 8, 1, 2, 3, 4, 5, 6, 7}}),
    [](const testing::TestParamInfo<HostileArea> &info) { return std::string(info.param.name); });

TEST_F(Packet, TupleEndingExactlyAtTrailerIsAccepted)
{
    ASSERT_EQ(0, parse(make_raw_frame({0xA5, 0x0E, 2, 7, 8})));
    EXPECT_EQ(5u, pkt->acl_len);
}

// Control tuples "CAD" and "CAC" in received frames.
struct ControlCase {
    const char *name;
    std::vector<WireTuple> tuples;
    uint8_t ack_seq;
    bool requested;
    friend void PrintTo(const ControlCase &c, std::ostream *os) { *os << c.name; }
};

class PacketControl : public Packet, public testing::WithParamInterface<ControlCase> {};

TEST_P(PacketControl, SetsAckSeqAndRequestBit)
{
    ASSERT_EQ(0, parse(make_frame(GetParam().tuples)));
    EXPECT_EQ(GetParam().ack_seq, pkt->ack_seq);
    EXPECT_EQ(GetParam().requested, (pkt->flags & PACKET_ACK_REQUESTED) != 0);
    EXPECT_EQ(GetParam().tuples.size(), pkt->acl_count);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PacketControl,
    testing::Values(ControlCase{"Request", {{0x66, 0x40, {0x00, 0x07}}}, 7, true},
                    ControlCase{"Reply", {{0x66, 0x40, {0x01, 0x07}}}, 7, false},
                    ControlCase{"FragmentRequest", {{0x66, 0x40, {0x02, 0x09, 0xEE}}}, 9, true},
                    ControlCase{"OnlyControlByte", {{0x66, 0x40, {0x00}}}, 0, false},
                    ControlCase{"Empty", {{0x66, 0x40, {}}}, 0, false},
                    ControlCase{"LastSeqWinsRequestSticks", {{0x66, 0x40, {0, 3}}, {0x66, 0x40, {1, 4}}}, 4, true},
                    ControlCase{"OtherTypeIgnored", {{0x40, 0x66, {0, 3}}}, 0, false}),
    [](const testing::TestParamInfo<ControlCase> &info) { return std::string(info.param.name); });

TEST_F(Packet, CadOfEightBytesNamesDestination)
{
    const Bytes dest = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_EQ(0, parse(make_frame({{0x6C, 0x80, dest}})));
    EXPECT_EQ(0, std::memcmp(pkt->dest_id, dest.data(), 8));
}

TEST_F(Packet, CadOfOtherLengthIsPlainData)
{
    ASSERT_EQ(0, parse(make_frame({{0x6C, 0x80, {9, 8, 7, 6, 5, 4, 3}}, {0x6C, 0x80, Bytes(9, 1)}})));
    EXPECT_EQ(Bytes(8, 0), Bytes(pkt->dest_id, pkt->dest_id + 8));
}

TEST_F(Packet, SettersMarkFieldsAndReturnTheirOwnSuccessValues)
{
    unsigned char loc[44];
    for (int i = 0; i < 44; ++i)
        loc[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(1, n_pkt_set_location(pkt, loc));
    EXPECT_EQ(0, n_pkt_set_srcid(pkt, kNodeId));
    EXPECT_EQ(0, n_pkt_set_seq(pkt, 200));
    EXPECT_EQ(PACKET_FORMAT_SET | PACKET_LOCATION_SET | PACKET_SRCID_SET | PACKET_SEQ_SET, pkt->flags);
    EXPECT_EQ(0, std::memcmp(n_pkt_get_location(pkt), loc, 44));
    EXPECT_EQ(200, n_pkt_get_seq(pkt));
}

TEST_F(Packet, ParseClearsTheCallerSetBits)
{
    n_pkt_set_seq(pkt, 3);
    n_pkt_set_srcid(pkt, kNodeId);
    ASSERT_EQ(0, parse(make_frame({{0xA5, 0x0E, {}}})));
    EXPECT_EQ(0u, pkt->flags & (PACKET_FORMAT_SET | PACKET_LOCATION_SET | PACKET_SRCID_SET | PACKET_SEQ_SET));
}

TEST(PacketNull, GettersAndSettersRefuseNullPacket)
{
    unsigned char bytes[44] = {};
    EXPECT_FAILS_WITH(nullptr, 22, n_pkt_get_location(nullptr));
    EXPECT_FAILS_WITH(nullptr, 22, n_pkt_get_srcid(nullptr));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_get_seq(nullptr));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_get_ack(nullptr));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_set_location(nullptr, bytes));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_set_srcid(nullptr, bytes));
    EXPECT_FAILS_WITH(-1, 22, n_pkt_set_seq(nullptr, 1));
    EXPECT_FAILS_WITH(nullptr, 22, n_pkt_get_location_str(nullptr, nullptr, 0));
    EXPECT_FAILS_WITH(nullptr, 22, n_pkt_get_srcid_str(nullptr, nullptr, 0));
}

TEST_F(Packet, LongestLocationTextFillsStaticBuffer)
{
    unsigned char loc[44];
    std::memset(loc, 255, sizeof loc);
    n_pkt_set_location(pkt, loc);
    const char *text = n_pkt_get_location_str(pkt, nullptr, 0);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(175u, std::strlen(text));
    EXPECT_EQ(0, std::strncmp(text, "255.255.", 8));
    EXPECT_EQ(0, std::strcmp(text + 172, "255"));
}

TEST_F(Packet, TextIsCutToCallerBufferAndSizeZeroWritesNothing)
{
    n_pkt_set_srcid(pkt, kNodeId);
    char buf[8];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(buf, n_pkt_get_srcid_str(pkt, buf, 6));
    EXPECT_STREQ("1.1.1", buf);
    EXPECT_EQ('Z', buf[6]);

    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(buf, n_pkt_get_location_str(pkt, buf, 0));
    EXPECT_EQ('Z', buf[0]);
    EXPECT_EQ(buf, n_pkt_get_location_str(pkt, buf, 1));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('Z', buf[1]);
}

std::string describe(n_pkt *pkt, int *result = nullptr)
{
    testing::internal::CaptureStdout();
    const int r = n_describe_pkt(pkt);
    std::string out = testing::internal::GetCapturedStdout();
    if (result != nullptr)
        *result = r;
    return out;
}

// A packet as an application builds it for sending: source, sequence and
// tuples of lengths around the sizes that copies handle piece by piece.
n_pkt *outgoing_packet(const std::vector<WireTuple> &tuples, uint8_t seq)
{
    n_pkt *out = n_pkt_alloc();
    n_pkt_set_srcid(out, kNodeId);
    n_pkt_set_seq(out, seq);
    for (const WireTuple &t : tuples) {
        const unsigned char type[2] = {t.type0, t.type1};
        n_acl_add(out, type, t.data.data(), static_cast<uint16_t>(t.data.size()), 0);
    }
    return out;
}

const std::vector<WireTuple> kMixedTuples = {
    {0xA5, 0x0E, {}}, {0x10, 0x20, {7}}, {0x10, 0x21, Bytes(16, 0xC3)}, {0x10, 0x22, Bytes(33, 0x5A)}};

TEST_F(Packet, SerialisedFrameIsTheWireLayoutAndParsesBack)
{
    n_pkt *out = outgoing_packet(kMixedTuples, 77);
    ASSERT_EQ(54u + 3 + 4 + 19 + 36 + 2, nimbet::frame_size(out));
    Bytes f(nimbet::frame_size(out));
    ASSERT_TRUE(nimbet::serialise_packet(out, f));
    EXPECT_EQ(make_frame(kMixedTuples, 77), f);

    ASSERT_EQ(0, parse(f));
    EXPECT_EQ(out->acl_len, pkt->acl_len);
    EXPECT_EQ(77, n_pkt_get_seq(pkt));
    // A room of the wrong size is refused, and so is a list whose recorded
    // length disagrees with its tuples.
    Bytes longer(f.size() + 1);
    EXPECT_FALSE(nimbet::serialise_packet(out, longer));
    out->acl_len += 1;
    EXPECT_FALSE(nimbet::serialise_packet(out, longer));
    n_pkt_free(out);
}

TEST_F(Packet, VerifiedFrameFillsThePacketAsParsingDoes)
{
    const Bytes f = make_frame({{0x66, 0x40, {0, 9}}, {0x6C, 0x80, Bytes(8, 4)}, {0x10, 0x22, Bytes(40, 0x5A)}}, 200);
    ASSERT_EQ(0, parse(f));
    n_pkt *other = n_pkt_alloc();
    ASSERT_EQ(0, nimbet::parse_verified_frame(other, f));
    EXPECT_EQ(pkt->flags, other->flags);
    EXPECT_EQ(0, std::memcmp(pkt->srcid, other->srcid, 8));
    EXPECT_EQ(0, std::memcmp(pkt->dest_id, other->dest_id, 8));
    EXPECT_EQ(pkt->seq, other->seq);
    EXPECT_EQ(pkt->ack_seq, other->ack_seq);
    EXPECT_EQ(pkt->acl_len, other->acl_len);
    ASSERT_EQ(pkt->acl_count, other->acl_count);
    n_acl *b = n_acl_first(other);
    for (n_acl *a = n_acl_first(pkt); a != nullptr; a = n_acl_next(pkt, a), b = n_acl_next(other, b)) {
        EXPECT_TRUE(nimbet::same_type(a->type, b->type));
        EXPECT_EQ(Bytes(a->data, a->data + a->len), Bytes(b->data, b->data + b->len));
    }
    n_pkt_free(other);
}

TEST(PacketOnTheWire, SerialisedFrameEqualsTheFrameThatSendingPutsOnTheWire)
{
    Tap tap;
    const int fd = open_node(node_id(5));
    n_pkt *out = outgoing_packet(kMixedTuples, 9);
    ASSERT_EQ(1, n_socket_send(fd, out));
    const Bytes sent = tap.next();
    // Sending filled in the socket's location; the packet now holds what went out.
    Bytes f(nimbet::frame_size(out));
    ASSERT_TRUE(nimbet::serialise_packet(out, f));
    EXPECT_EQ(sent, f);
    n_pkt_free(out);
    n_socket_close(fd);
}

const std::string kZeroLocation = [] {
    std::string s = "0";
    for (int i = 1; i < 44; ++i)
        s += ".0";
    return s;
}();

TEST_F(Packet, DescribeWithoutTuplesPrintsHeaderLinesOnly)
{
    n_pkt_set_srcid(pkt, kNodeId);
    n_pkt_set_seq(pkt, 42);
    int r = 0;
    EXPECT_EQ("ID:\t  1.1.1.1.10.0.0.5\nLocation: " + kZeroLocation + "\nSeq:\t  42\nACK-Seq:  0\n\n",
              describe(pkt, &r));
    EXPECT_EQ(1, r);
}

TEST_F(Packet, DescribePrintsEachTupleWithTypeBytesAndData)
{
    ASSERT_EQ(0, parse(make_frame({{0x66, 0x40, {0, 5}}, {0xA5, 0x0E, {}}, {0x6C, 0x80, Bytes(8, 200)}}, 255)));
    EXPECT_EQ("ID:\t  1.1.1.1.10.0.0.5\nLocation: " + kZeroLocation +
                  "\nSeq:\t  255\nACK-Seq:  5\n"
                  "\t[cac (102, 64) | 2 | 0 5]\n"
                  "\t[acm (165, 14) | 0 |]\n"
                  "\t[cad (108,128) | 8 | 200 200 200 200 200 200 200 200]\n"
                  "\n",
              describe(pkt));
}

}  // namespace
