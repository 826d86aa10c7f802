// SPDX-License-Identifier: MIT
// The error number, its messages and printout, assertions, and the millisecond clock.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

struct Message {
    const char *name;
    int number;
    const char *text;
    friend void PrintTo(const Message &m, std::ostream *os) { *os << m.number; }
};

class ErrorMessage : public testing::TestWithParam<Message> {};

TEST_P(ErrorMessage, HasTheLibraryText)
{
    EXPECT_STREQ(GetParam().text, n_util_strerr(GetParam().number));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ErrorMessage,
    testing::Values(Message{"NoEntry", 2, "No such file or directory"}, Message{"BadDescriptor", 9, "Bad file descriptor"},
                    Message{"TryAgain", 11, "Resource temporarily unavailable"},
                    Message{"NoMemory", 12, "Not enough space"}, Message{"Access", 13, "Permission denied"},
                    Message{"Busy", 16, "Resource device"}, Message{"NoDevice", 19, "No such device"},
                    Message{"Invalid", 22, "Invalid argument"}, Message{"IllegalSequence", 42, "Illegal byte sequence"},
                    Message{"NotFound", 225, "Address not available."},
                    Message{"NotBound", 226, "The socket is not connected."},
                    Message{"Protocol", 227, "Protocol error."}, Message{"BelowOwnNumbers", 224, "Unknown Error"},
                    Message{"AboveOwnNumbers", 228, "Unknown Error"}, Message{"Large", 1000, "Unknown Error"},
                    Message{"Largest", INT_MAX, "Unknown Error"}),
    [](const testing::TestParamInfo<Message> &info) { return std::string(info.param.name); });

TEST(ErrorMessageOthers, NumbersBelowTheOwnRangeGetTheSystemText)
{
    EXPECT_STREQ(std::strerror(1), n_util_strerr(1));
    EXPECT_STREQ(std::strerror(110), n_util_strerr(110));
    const char *negative = n_util_strerr(-3);
    ASSERT_NE(nullptr, negative);
    EXPECT_STRNE("Unknown Error", negative);
}

TEST(ErrorNumber, SuccessDoesNotClearIt)
{
    n_errno = 0;
    EXPECT_EQ(nullptr, n_pkt_get_srcid(nullptr));
    ASSERT_EQ(22, n_errno);
    n_pkt *pkt = n_pkt_alloc();
    EXPECT_EQ(0, n_pkt_set_seq(pkt, 1));
    EXPECT_EQ(1, n_pkt_free(pkt));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(&n_errno, _n_errno());
}

TEST(ErrorPrintout, PrefixThenMessageWithoutNewline)
{
    n_errno = 225;
    testing::internal::CaptureStdout();
    const int count = n_util_perror("text: ");
    EXPECT_EQ("text: Address not available.", testing::internal::GetCapturedStdout());
    EXPECT_EQ(28, count);

    n_errno = 42;
    testing::internal::CaptureStdout();
    EXPECT_EQ(21, n_util_perror(""));
    EXPECT_EQ("Illegal byte sequence", testing::internal::GetCapturedStdout());
}

TEST(AssertionDeathTest, FailingInvariantStopsWithStandardMessage)
{
    EXPECT_DEATH(N_ASSERT(1 + 1 == 3, "1 + 1 == 3"),
                 "Assertion failed: 1 \\+ 1 == 3, file .*test_error\\.cpp, line [0-9]+");
}

TEST(Clock, SleepAdvancesTheMillisecondCounter)
{
    const uint32_t before = n_util_getmstime();
    n_util_sleepms(50);
    const uint32_t elapsed = n_util_getmstime() - before;  // unsigned: right across a wrap too
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 60000u);
}

TEST(Clock, ReadingsNeverGoBackwards)
{
    uint32_t previous = n_util_getmstime();
    for (int i = 0; i < 100000; ++i) {
        const uint32_t now = n_util_getmstime();
        ASSERT_LT(now - previous, 0x80000000u);
        previous = now;
    }
}

}  // namespace
