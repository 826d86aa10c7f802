// SPDX-License-Identifier: MIT
// CRC-16/XMODEM: check values, chaining, append and check, refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "internal.h"

namespace {

// The CRC one byte at a time, on a register split into its high and low
// byte, without a table: the form the library's table-driven CRC must equal.
void reference_crc(const unsigned char *data, std::size_t len, unsigned char &hi, unsigned char &lo)
{
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char h = lo;
        unsigned char l = hi;
        l ^= data[i];
        l ^= l >> 4;
        h ^= static_cast<unsigned char>(l << 4);
        h ^= l >> 3;
        l ^= static_cast<unsigned char>(l << 5);
        hi = h;
        lo = l;
    }
}

TEST(Crc16, EqualsBytewiseFormOnRandomInputsLengthsOffsetsAndRegisters)
{
    std::mt19937 rng(20240611);
    std::vector<unsigned char> buf(2100);
    for (unsigned char &b : buf)
        b = static_cast<unsigned char>(rng());
    for (int round = 0; round < 3000; ++round) {
        // Every length up to 40 (all tails around the 8-byte steps), then
        // random lengths up to 2 KiB, at any offset and from any register.
        const std::size_t len = round < 40 ? static_cast<std::size_t>(round + 1) : 1 + rng() % 2048;
        const std::size_t off = rng() % 16;
        const auto start_hi = static_cast<unsigned char>(rng());
        const auto start_lo = static_cast<unsigned char>(rng());
        unsigned char hi = start_hi, lo = start_lo, want_hi = start_hi, want_lo = start_lo;
        ASSERT_EQ(1, n_util_crc16(buf.data() + off, static_cast<unsigned>(len), &hi, &lo));
        reference_crc(buf.data() + off, len, want_hi, want_lo);
        ASSERT_EQ(want_hi, hi) << "length " << len << ", offset " << off;
        ASSERT_EQ(want_lo, lo) << "length " << len << ", offset " << off;
        buf[rng() % buf.size()] = static_cast<unsigned char>(rng());
    }
}

TEST(Crc16, KnownCheckValues)
{
    const char *digits = "123456789";
    unsigned char hi = 0, lo = 0;
    ASSERT_EQ(1, n_util_crc16(reinterpret_cast<const unsigned char *>(digits), 9, &hi, &lo));
    EXPECT_EQ(0x31, hi);
    EXPECT_EQ(0xC3, lo);

    hi = lo = 0;
    ASSERT_EQ(1, n_util_crc16(reinterpret_cast<const unsigned char *>("abc"), 3, &hi, &lo));
    EXPECT_EQ(0x9D, hi);
    EXPECT_EQ(0xD6, lo);
}

TEST(Crc16, ChainedCallsEqualOneCall)
{
    const unsigned char *d = reinterpret_cast<const unsigned char *>("123456789");
    unsigned char hi = 0, lo = 0;
    n_util_crc16(d, 4, &hi, &lo);
    n_util_crc16(d + 4, 5, &hi, &lo);
    EXPECT_EQ(0x31, hi);
    EXPECT_EQ(0xC3, lo);
}

TEST(Crc16, RefusesNullDataOrZeroLengthAndKeepsRegister)
{
    unsigned char hi = 0x12, lo = 0x34;
    n_errno = 0;
    EXPECT_EQ(-1, n_util_crc16(nullptr, 3, &hi, &lo));
    EXPECT_EQ(13, n_errno);
    n_errno = 0;
    EXPECT_EQ(-1, n_util_crc16(reinterpret_cast<const unsigned char *>("a"), 0, &hi, &lo));
    EXPECT_EQ(13, n_errno);
    EXPECT_EQ(0x12, hi);
    EXPECT_EQ(0x34, lo);
}

TEST(Crc16, AppendThenCheckAcceptsAndAnyFlippedBitIsCaught)
{
    std::vector<unsigned char> frame(40);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(1, n_util_crc16_append(frame.data(), frame.size()));
    EXPECT_EQ(1, n_util_crc16_check(frame.data(), frame.size()));
    for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
        frame[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        EXPECT_EQ(0, n_util_crc16_check(frame.data(), frame.size())) << "bit " << bit;
        frame[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    }
}

TEST(Crc16, AppendRefusesFramesTooShortForTheTrailer)
{
    unsigned char guard[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    n_errno = 0;
    EXPECT_EQ(-1, n_util_crc16_append(guard + 1, 1));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_util_crc16_append(guard + 1, 0));
    EXPECT_EQ(0xAA, guard[0]);
    EXPECT_EQ(0xAA, guard[1]);
    // Two bytes hold only the trailer: the CRC step over nothing fails.
    n_errno = 0;
    EXPECT_EQ(-1, n_util_crc16_append(guard, 2));
    EXPECT_EQ(42, n_errno);
}

TEST(Crc16, CheckRefusesNullOrEmpty)
{
    n_errno = 0;
    EXPECT_EQ(-1, n_util_crc16_check(nullptr, 5));
    EXPECT_EQ(42, n_errno);
    unsigned char b = 0;
    EXPECT_EQ(-1, n_util_crc16_check(&b, 0));
}

}  // namespace

extern "C" int nimbet_c_header_smoke(void);

TEST(PublicHeader, UsableFromC)
{
    EXPECT_EQ(1, nimbet_c_header_smoke());
}
