// SPDX-License-Identifier: MIT
// Dotted decimal decoding, the dotted-text packet setters, and the escaped stream form.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "internal.h"
#include "support/expect.h"

namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- dotted decimal

struct DotCase {
    const char *name;
    const char *text;
    int max;
    int result;
    Bytes stored;
    friend void PrintTo(const DotCase &c, std::ostream *os) { *os << '"' << c.text << "\" max " << c.max; }
};

class DecodeDot : public testing::TestWithParam<DotCase> {};

TEST_P(DecodeDot, StoresFieldsAndCountsThem)
{
    const DotCase &c = GetParam();
    unsigned char out[16];
    std::memset(out, 0xEE, sizeof out);
    n_errno = 0;
    EXPECT_EQ(c.result, n_util_decode_dot(out, c.text, c.max));
    EXPECT_EQ(c.stored, Bytes(out, out + c.stored.size()));
    EXPECT_EQ(0xEE, out[c.stored.size()]) << "byte after the stored fields was written";
    EXPECT_EQ(c.result == -1 ? 42 : 0, n_errno);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecodeDot,
    testing::Values(DotCase{"FewerFieldsThanMax", "10.0.0.5", 8, 4, {10, 0, 0, 5}},
                    DotCase{"MoreFieldsThanMax", "1.2.3.4.5", 4, 5, {1, 2, 3, 4}},
                    DotCase{"TrailingDotIsAnotherField", "1.2.3.4.", 4, 5, {1, 2, 3, 4}},
                    DotCase{"RestBeyondMaxNotExamined", "1.2.3.4.x", 4, 5, {1, 2, 3, 4}},
                    DotCase{"EmptyTextIsOneZero", "", 4, 1, {0}},
                    DotCase{"EmptyFieldIsZero", "1..2", 4, 3, {1, 0, 2}},
                    DotCase{"LeadingZeros", "007", 1, 1, {7}},
                    DotCase{"LeadingZerosUpToTheLimit", "255.0255", 2, 2, {255, 255}},
                    DotCase{"TrailingDotWithinMax", "1.2.", 3, 3, {1, 2, 0}},
                    DotCase{"ValueAbove255", "1.256", 4, -1, {1}},
                    DotCase{"Letter", "1.2a", 4, -1, {1}},
                    DotCase{"Blank", "1. 2", 4, -1, {1}},
                    DotCase{"MinusSign", "-1", 4, -1, {}},
                    DotCase{"HugeValueDoesNotWrap", "1.99999999999999999999", 4, -1, {1}},
                    DotCase{"ZeroMaxCountsOneMore", "7", 0, 1, {}}),
    [](const testing::TestParamInfo<DotCase> &info) { return std::string(info.param.name); });

TEST(DecodeDotArguments, RefusesNegativeMaxAndNullPointers)
{
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_FAILS_WITH(-1, 22, n_util_decode_dot(out, "1.2", -1));
    EXPECT_FAILS_WITH(-1, 22, n_util_decode_dot(out, "1.2", -2));
    EXPECT_EQ(0xEE, out[0]);
    EXPECT_FAILS_WITH(-1, 22, n_util_decode_dot(out, nullptr, 4));
    EXPECT_FAILS_WITH(-1, 22, n_util_decode_dot(nullptr, "1", 4));
}

class TextSetters : public nimbet::test::PacketTest {
protected:
    void expect_refused_and_unchanged(int result)
    {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(22, n_errno);
        EXPECT_EQ(0, std::memcmp(&before, pkt, sizeof before));
    }

    n_pkt before{};
};

std::string numbers(int count, int first = 0)
{
    std::string s;
    for (int i = 0; i < count; ++i)
        s += (i ? "." : "") + std::to_string((first + i) % 256);
    return s;
}

TEST_F(TextSetters, ShortIdentifierStandsForOneOneOneOnePrefix)
{
    EXPECT_EQ(0, n_pkt_set_srcid_str(pkt, "10.0.0.5"));
    const unsigned char want[8] = {1, 1, 1, 1, 10, 0, 0, 5};
    EXPECT_EQ(0, std::memcmp(want, pkt->srcid, 8));
    EXPECT_NE(0u, pkt->flags & PACKET_SRCID_SET);
}

TEST_F(TextSetters, FullIdentifierIsTakenAsIs)
{
    EXPECT_EQ(0, n_pkt_set_srcid_str(pkt, "9.8.7.6.5.4.3.2"));
    const unsigned char want[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_EQ(0, std::memcmp(want, pkt->srcid, 8));
}

TEST_F(TextSetters, IdentifierWithWrongCountOrBadFieldIsRefused)
{
    before = *pkt;
    for (const char *text : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.4.5.6.7.8.9", "", "a.b.c.d"}) {
        n_errno = 0;
        expect_refused_and_unchanged(n_pkt_set_srcid_str(pkt, text));
    }
    expect_refused_and_unchanged(n_pkt_set_srcid_str(pkt, nullptr));
    EXPECT_EQ(-1, n_pkt_set_srcid_str(nullptr, "1.2.3.4"));
    EXPECT_EQ(22, n_errno);
}

TEST_F(TextSetters, LocationNeedsExactlyFortyFourNumbers)
{
    before = *pkt;
    expect_refused_and_unchanged(n_pkt_set_location_str(pkt, numbers(43).c_str()));
    expect_refused_and_unchanged(n_pkt_set_location_str(pkt, numbers(45).c_str()));
    expect_refused_and_unchanged(n_pkt_set_location_str(pkt, (numbers(43) + ".300").c_str()));
    EXPECT_EQ(-1, n_pkt_set_location_str(nullptr, numbers(44).c_str()));

    EXPECT_EQ(1, n_pkt_set_location_str(pkt, numbers(44, 200).c_str()));
    EXPECT_NE(0u, pkt->flags & PACKET_LOCATION_SET);
    EXPECT_EQ(numbers(44, 200), n_pkt_get_location_str(pkt, nullptr, 0));
}

// ---------------------------------------------------------------- escaped stream form

// An output buffer with guard bytes on both sides, so a test sees any write
// outside the room it gave.
class Guarded {
public:
    explicit Guarded(int room) : bytes_(static_cast<std::size_t>(room > 0 ? room : 0) + 2 * kGuard, kFill) {}
    unsigned char *data() { return bytes_.data() + kGuard; }
    Bytes stored(int n) const { return Bytes(bytes_.begin() + kGuard, bytes_.begin() + kGuard + n); }
    bool guards_intact() const
    {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kFill || bytes_[bytes_.size() - 1 - i] != kFill)
                return false;
        return true;
    }

private:
    static constexpr std::size_t kGuard = 8;
    static constexpr unsigned char kFill = 0x5A;
    Bytes bytes_;
};

int escape(const Bytes &src, Guarded &dst, int dstlen)
{
    return n_util_escape(dst.data(), src.data(), static_cast<int>(src.size()), dstlen);
}

int unescape(const Bytes &src, Guarded &dst, int dstlen)
{
    return n_util_unescape(dst.data(), src.data(), static_cast<int>(src.size()), dstlen);
}

TEST(Escape, DelimitersAndMarkerAreEscaped)
{
    Guarded out(16);
    EXPECT_EQ(7, escape({0x41, 0xC0, 0x00}, out, 16));
    EXPECT_EQ(Bytes({0x00, 0x41, 0xDB, 0xC1, 0xDB, 0x01, 0xC0}), out.stored(7));

    Guarded one(16);
    EXPECT_EQ(4, escape({0xDB}, one, 16));
    EXPECT_EQ(Bytes({0x00, 0xDB, 0xDC, 0xC0}), one.stored(4));

    Guarded empty(2);
    EXPECT_EQ(2, escape({}, empty, 2));
    EXPECT_EQ(Bytes({0x00, 0xC0}), empty.stored(2));
    EXPECT_TRUE(empty.guards_intact());
}

TEST(Escape, ExactFitUsesTheWholeBuffer)
{
    Guarded out(7);
    EXPECT_EQ(7, escape({0x41, 0xC0, 0x00}, out, 7));
    EXPECT_EQ(Bytes({0x00, 0x41, 0xDB, 0xC1, 0xDB, 0x01, 0xC0}), out.stored(7));
    EXPECT_TRUE(out.guards_intact());
}

TEST(Escape, TooSmallBufferIsCutAndNeededSizeReturned)
{
    Guarded out(4);
    EXPECT_EQ(7, escape({1, 2, 3, 4, 5}, out, 4));
    EXPECT_EQ(Bytes({0x00, 1, 2, 0xC0}), out.stored(4));
    EXPECT_TRUE(out.guards_intact());
}

TEST(Escape, EndByteReplacesHalfOfACutEscapePair)
{
    Guarded out(4);
    EXPECT_EQ(6, escape({1, 0x00, 2}, out, 4));
    EXPECT_EQ(Bytes({0x00, 1, 0xDB, 0xC0}), out.stored(4));
    EXPECT_TRUE(out.guards_intact());

    // The pair reaches the last position with no input left.
    Guarded tight(4);
    EXPECT_EQ(5, escape({1, 0xC0}, tight, 4));
    EXPECT_EQ(Bytes({0x00, 1, 0xDB, 0xC0}), tight.stored(4));
    EXPECT_TRUE(tight.guards_intact());
}

TEST(Escape, BufferBelowTwoBytesIsNeverOverrun)
{
    for (int room : {1, 0, -1, INT_MIN}) {
        Guarded out(room);
        EXPECT_EQ(6, escape({1, 0xDB, 2}, out, room)) << room;
        EXPECT_TRUE(out.guards_intact()) << room;
    }
}

TEST(Escape, NeededSizeOfHugeInputSaturatesInsteadOfWrapping)
{
    // Just over 1 GiB of zero bytes, each of which escapes to two: the whole
    // form needs more than INT_MAX bytes. The zero pages are never written.
    // A gigabyte under the sanitizers takes long; the plain build checks it.
#ifdef NIMBET_SANITIZED
    GTEST_SKIP() << "too slow under the sanitizers";
#endif
    const std::size_t len = (static_cast<std::size_t>(INT_MAX) / 2) + 16;
    void *map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, map);
    const auto *src = static_cast<const unsigned char *>(map);
    unsigned char out[4];
    EXPECT_EQ(INT_MAX, n_util_escape(out, src, static_cast<int>(len), 4));
    EXPECT_EQ(0xC0, out[3]);
    munmap(map, len);
}

TEST(Escape, NullPointersWithRoomAreRefused)
{
    unsigned char b[4];
    EXPECT_FAILS_WITH(-1, 22, n_util_escape(nullptr, b, 1, 4));
    EXPECT_FAILS_WITH(-1, 22, n_util_escape(b, nullptr, 1, 4));
    EXPECT_EQ(2, n_util_escape(b, nullptr, 0, 4));
}

TEST(Unescape, DecodesTheEscapedForm)
{
    Guarded out(16);
    EXPECT_EQ(3, unescape({0x00, 0x41, 0xDB, 0xC1, 0xDB, 0x01, 0xC0}, out, 16));
    EXPECT_EQ(Bytes({0x41, 0xC0, 0x00}), out.stored(3));
}

TEST(Unescape, SkipsGarbageBeforeTheStartByte)
{
    Guarded out(16);
    EXPECT_EQ(2, unescape({0x41, 0xC0, 0xDB, 0x99, 0x00, 0x07, 0xDB, 0xDC, 0xC0, 0x55}, out, 16));
    EXPECT_EQ(Bytes({0x07, 0xDB}), out.stored(2));
}

TEST(Unescape, BadEscapeIsAnIllegalSequence)
{
    Guarded out(16);
    EXPECT_FAILS_WITH(-1, 42, unescape({0x00, 0x01, 0xDB, 0x41, 0x02, 0xC0}, out, 16));
    EXPECT_EQ(Bytes({0x01}), out.stored(1));
}

TEST(Unescape, RepeatedMarkerKeepsEscapeStateAndEndDropsIt)
{
    Guarded out(16);
    EXPECT_EQ(1, unescape({0x00, 0xDB, 0xDB, 0x01, 0xC0}, out, 16));
    EXPECT_EQ(Bytes({0x00}), out.stored(1));
    EXPECT_EQ(1, unescape({0x00, 0x09, 0xDB, 0xC0, 0x33}, out, 16));
    EXPECT_EQ(Bytes({0x09}), out.stored(1));
}

TEST(Unescape, WithoutStartByteOrBodyGivesNothing)
{
    Guarded out(4);
    EXPECT_EQ(0, unescape({}, out, 4));
    EXPECT_EQ(0, unescape({0x41, 0x42}, out, 4));
    EXPECT_EQ(0, unescape({0x41, 0x00}, out, 4));
    EXPECT_EQ(0, unescape({0x00, 0xC0}, out, 4));
    EXPECT_TRUE(out.guards_intact());
}

TEST(Unescape, UnterminatedFrameGivesWhatWasDecoded)
{
    Guarded out(8);
    EXPECT_EQ(2, unescape({0x00, 0x05, 0x06, 0xDB}, out, 8));
    EXPECT_EQ(Bytes({0x05, 0x06}), out.stored(2));
}

TEST(Unescape, TooSmallBufferIsFilledAndWholeSizeReturned)
{
    Guarded out(3);
    EXPECT_EQ(5, unescape({0x00, 1, 2, 3, 4, 5, 0xC0}, out, 3));
    EXPECT_EQ(Bytes({1, 2, 3}), out.stored(3));
    EXPECT_TRUE(out.guards_intact());

    Guarded pairs(2);
    EXPECT_EQ(4, unescape({0x00, 0xDB, 0x01, 0xDB, 0xC1, 0xDB, 0xDC, 0x07, 0xC0, 0x09}, pairs, 2));
    EXPECT_EQ(Bytes({0x00, 0xC0}), pairs.stored(2));
    EXPECT_TRUE(pairs.guards_intact());
}

TEST(Unescape, NoRoomMeansNoWrite)
{
    for (int room : {0, -5}) {
        Guarded out(room);
        EXPECT_EQ(3, unescape({0x00, 1, 2, 3}, out, room));
        EXPECT_TRUE(out.guards_intact());
    }
}

TEST(Unescape, ReadsNoFurtherThanSourceLength)
{
    // The frame goes on in memory, but only four bytes are given.
    const unsigned char frame[] = {0x00, 1, 2, 3, 4, 5, 0xC0};
    auto exact = std::make_unique<unsigned char[]>(4);
    std::memcpy(exact.get(), frame, 4);
    unsigned char out[8];
    EXPECT_EQ(3, n_util_unescape(out, exact.get(), 4, 8));
    EXPECT_EQ(3, n_util_unescape(out, exact.get(), 4, 2));
}

TEST(EscapeRoundTrip, RandomBytesComeBackUnchanged)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 500; ++round) {
        Bytes src(rng() % 80);
        for (unsigned char &b : src) {
            // Favour the bytes that need escaping.
            const unsigned pick = rng() % 8;
            b = pick == 0 ? 0x00 : pick == 1 ? 0xC0 : pick == 2 ? 0xDB : static_cast<unsigned char>(rng());
        }
        Guarded esc(2 * static_cast<int>(src.size()) + 2);
        const int n = escape(src, esc, 2 * static_cast<int>(src.size()) + 2);
        ASSERT_LE(n, 2 * static_cast<int>(src.size()) + 2);
        Guarded back(static_cast<int>(src.size()));
        ASSERT_EQ(static_cast<int>(src.size()), unescape(esc.stored(n), back, static_cast<int>(src.size())));
        EXPECT_EQ(src, back.stored(static_cast<int>(src.size())));
        EXPECT_TRUE(esc.guards_intact());
        EXPECT_TRUE(back.guards_intact());
    }
}

}  // namespace
