// SPDX-License-Identifier: MIT
// Frames read in place: the CRC-32 of transfers and the descriptor's layout.
#include <gtest/gtest.h>

#include "frame.h"
#include "support/frames.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

// The CRC-32 bit by bit, as its polynomial defines it: the reference for the
// table-driven one.
uint32_t crc32_bitwise(const unsigned char *p, std::size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

TEST(Crc32, MatchesTheStandardCheckValueAndTheBitwiseFormInPieces)
{
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(0xCBF43926u, crc32_update(0, digits, 9));
    const Bytes data = random_bytes(1000, 9);
    for (std::size_t len : {0u, 1u, 7u, 8u, 9u, 63u, 1000u}) {
        const std::size_t cut = len / 3;
        const uint32_t pieces = crc32_update(crc32_update(0, data.data(), cut), data.data() + cut, len - cut);
        EXPECT_EQ(crc32_bitwise(data.data(), len), pieces) << len;
    }
}

TEST(Descriptor, EveryCombinationOfFieldsReadsBackAsWritten)
{
    for (uint8_t flags = 0; flags < 16; ++flags) {
        const Descriptor d{true, flags, 0x01020304u, 0x11223344u, 0x55667788u, 0x99AABBCCu};
        unsigned char data[kDescMax];
        const std::size_t len = write_descriptor(d, data);
        const Bytes f = frame(node_id(1), 0, {cac(2, 0), {kTypeCAT[0], kTypeCAT[1], Bytes(data, data + len)}});
        FrameView v;
        ASSERT_EQ(Reject::None, view_frame(f.data(), f.size(), v));
        const Descriptor r = read_descriptor(v);
        EXPECT_TRUE(r.present);
        EXPECT_EQ(flags, r.flags);
        EXPECT_EQ(d.nonce, r.nonce);
        EXPECT_EQ((flags & kDescFirst) ? d.total : 0u, r.total);
        EXPECT_EQ((flags & kDescLast) ? d.crc : 0u, r.crc);
        EXPECT_EQ((flags & kDescIndex) ? d.index : 0u, r.index) << int(flags);
        // One byte short of what the flags announce: no descriptor.
        const Bytes cut = frame(node_id(1), 0, {cac(2, 0), {kTypeCAT[0], kTypeCAT[1], Bytes(data, data + len - 1)}});
        ASSERT_EQ(Reject::None, view_frame(cut.data(), cut.size(), v));
        EXPECT_FALSE(read_descriptor(v).present) << int(flags);
    }
}

// A "CAT" tuple is a descriptor only right behind the first "CAC": anywhere
// else it is a peer's own tuple of that type.
TEST(Descriptor, OnlyATupleRightAfterTheCacIsOne)
{
    const WireTuple cat{kTypeCAT[0], kTypeCAT[1], {kDescFirst, 0, 0, 0, 7, 0, 0, 0, 9}};
    const std::vector<std::pair<std::vector<WireTuple>, bool>> cases = {
        {{payload({1}), cac(2, 0), cat}, true},
        {{cat}, false},
        {{cat, cac(2, 0)}, false},
        {{payload({1}), cat, cac(2, 0)}, false},
        {{cac(2, 0), payload({1}), cat}, false}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Bytes f = frame(node_id(1), 0, cases[i].first);
        FrameView v;
        ASSERT_EQ(Reject::None, view_frame(f.data(), f.size(), v));
        EXPECT_EQ(cases[i].second, read_descriptor(v).present) << "case " << i;
    }
}

}  // namespace
