// SPDX-License-Identifier: MIT
// Locations: the one-byte coordinate encoding and the split into root, node names, coordinates, deviation.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "internal.h"

namespace {

struct Parts {
    unsigned char root[16];
    char node[4][10];
    int32_t x, y, z;
    uint8_t deviation;
};

Parts split(const unsigned char raw[44])
{
    Parts p{};
    std::memset(p.node, 'Z', sizeof p.node);
    n_util_raw2location(p.root, p.node[0], p.node[1], p.node[2], p.node[3], &p.x, &p.y, &p.z, &p.deviation, raw);
    return p;
}

unsigned char encode(int32_t v)
{
    unsigned char raw[44];
    n_util_location2raw(nullptr, "", "", "", "", v, 0, 0, 0, raw);
    return raw[40];
}

int32_t decode(unsigned char b)
{
    unsigned char raw[44] = {};
    raw[41] = b;
    return split(raw).y;
}

struct CoordCase {
    int32_t value;
    unsigned char byte;
    int32_t decoded;
    friend void PrintTo(const CoordCase &c, std::ostream *os) { *os << c.value; }
};

class Coordinate : public testing::TestWithParam<CoordCase> {};

TEST_P(Coordinate, EncodesToNearestRepresentableValue)
{
    EXPECT_EQ(GetParam().byte, encode(GetParam().value));
    EXPECT_EQ(GetParam().decoded, decode(GetParam().byte));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Coordinate,
    testing::Values(CoordCase{0, 0x00, 0}, CoordCase{5, 0x14, 5}, CoordCase{63, 0xFC, 63}, CoordCase{64, 0xFC, 63},
                    CoordCase{65, 0xFC, 63}, CoordCase{66, 0xFC, 63}, CoordCase{67, 0x1D, 70},
                    CoordCase{123, 0x31, 120}, CoordCase{125, 0x35, 130}, CoordCase{634, 0xFD, 630},
                    CoordCase{635, 0xFD, 630}, CoordCase{637, 0xFD, 630}, CoordCase{650, 0xFD, 630},
                    CoordCase{669, 0xFD, 630}, CoordCase{670, 0x1E, 700}, CoordCase{1234, 0x32, 1200},
                    CoordCase{1250, 0x36, 1300}, CoordCase{6349, 0xFE, 6300}, CoordCase{6399, 0xFE, 6300},
                    CoordCase{6699, 0xFE, 6300}, CoordCase{6700, 0x1F, 7000}, CoordCase{50000, 0xCB, 50000},
                    CoordCase{63499, 0xFF, 63000}, CoordCase{63500, 0xFF, 63000}, CoordCase{63700, 0xFF, 63000},
                    CoordCase{70000, 0xFF, 63000}, CoordCase{INT32_MAX, 0xFF, 63000}),
    [](const testing::TestParamInfo<CoordCase> &info) { return "Value" + std::to_string(info.param.value); });

TEST(CoordinateRange, LargerInputNeverDecodesSmaller)
{
    int32_t previous = 0;
    for (int32_t v = 0; v <= 70000; ++v) {
        const int32_t d = decode(encode(v));
        ASSERT_GE(d, previous) << "at " << v;
        previous = d;
    }
}

TEST(CoordinateRange, NegativeValuesEncodeAsZero)
{
    EXPECT_EQ(0x00, encode(-1));
    EXPECT_EQ(0x00, encode(INT32_MIN));
}

TEST(CoordinateRange, BytesTheEncoderNeverWritesStillDecode)
{
    EXPECT_EQ(10, decode(0x05));  // mantissa 1, exponent 1
    EXPECT_EQ(600, decode(0x1A));  // mantissa 6, exponent 2
    EXPECT_EQ(0, decode(0x03));
}

TEST(Location, PartsSurviveTheRawForm)
{
    unsigned char root[16];
    for (int i = 0; i < 16; ++i)
        root[i] = static_cast<unsigned char>(0xF0 + i);
    unsigned char raw[44];
    n_util_location2raw(root, "Building7", "floor-2", "ROOM@a", "s/1", 12, 630, 7000, 200, raw);
    EXPECT_EQ(0, std::memcmp(raw, root, 16));
    EXPECT_EQ(200, raw[43]);

    const Parts p = split(raw);
    EXPECT_EQ(0, std::memcmp(p.root, root, 16));
    EXPECT_STREQ("building7", p.node[0]);
    EXPECT_STREQ("floor-2  ", p.node[1]);
    EXPECT_STREQ("room@a   ", p.node[2]);
    EXPECT_STREQ("s/1      ", p.node[3]);
    EXPECT_EQ(12, p.x);
    EXPECT_EQ(630, p.y);
    EXPECT_EQ(7000, p.z);
    EXPECT_EQ(200, p.deviation);
}

TEST(Location, NodeNamesArePaddedCutAndFolded)
{
    unsigned char raw[44];
    n_util_location2raw(nullptr, "ab", "ABCDEFGHIJKL", "a.b!c", "", 0, 0, 0, 0, raw);
    const Parts p = split(raw);
    EXPECT_STREQ("ab       ", p.node[0]);
    EXPECT_STREQ("abcdefghi", p.node[1]);
    EXPECT_STREQ("a b c    ", p.node[2]);
    EXPECT_STREQ("         ", p.node[3]);
}

TEST(Location, NodeNameIsReadNoFurtherThanNineCharacters)
{
    // A name without a terminator within its first nine characters.
    const char name[9] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
    auto exact = std::make_unique<char[]>(9);
    std::memcpy(exact.get(), name, 9);
    unsigned char raw[44];
    n_util_location2raw(nullptr, exact.get(), "", "", "", 0, 0, 0, 0, raw);
    EXPECT_STREQ("abcdefghi", split(raw).node[0]);
}

}  // namespace
