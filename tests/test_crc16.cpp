// CRC-16/XMODEM: check values, chaining, append and check, refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "internal.h"

namespace {

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
