// SPDX-License-Identifier: MIT
// Tuples: creation, the add limit and oversize rule, removal, walks and searches, type-code packing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "support/expect.h"

namespace {

using Bytes = std::vector<unsigned char>;

class Tuples : public nimbet::test::PacketTest {
protected:
    int add(const char *name, std::size_t len, int oversize = 0)
    {
        const Bytes data(len, static_cast<unsigned char>(len));
        return n_acl_add_str(pkt, name, data.data(), static_cast<uint16_t>(len), oversize);
    }

    // Walks the list both ways through its links and checks the bookkeeping.
    std::vector<n_acl *> walk()
    {
        std::vector<n_acl *> seen;
        n_acl **link = &pkt->acl_head.tqh_first;
        uint32_t len = 0;
        for (n_acl *t = pkt->acl_head.tqh_first; t != nullptr; t = t->link.tqe_next) {
            EXPECT_EQ(link, t->link.tqe_prev);
            link = &t->link.tqe_next;
            len += 3u + t->len;
            seen.push_back(t);
        }
        EXPECT_EQ(link, pkt->acl_head.tqh_last);
        EXPECT_EQ(len, pkt->acl_len);
        EXPECT_EQ(seen.size(), pkt->acl_count);
        EXPECT_EQ(!seen.empty(), (pkt->flags & PACKET_HAS_ACL) != 0);
        return seen;
    }
};

TEST_F(Tuples, AddLimitAcceptsSixtyFourBytesAndRefusesMore)
{
    ASSERT_EQ(0, add("abc", 61));
    EXPECT_EQ(64u, pkt->acl_len);
    const n_pkt before = *pkt;
    EXPECT_EQ(-1, add("abc", 0));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(0, std::memcmp(&before, pkt, sizeof before));
    walk();
}

TEST_F(Tuples, AddLimitCountsTheTupleHeaders)
{
    ASSERT_EQ(0, add("abc", 59));
    EXPECT_EQ(-1, add("abc", 0));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(62u, pkt->acl_len);
    EXPECT_EQ(1u, walk().size());
}

TEST_F(Tuples, OversizeAddsOnlyToEmptyOrOversizePackets)
{
    ASSERT_EQ(0, add("dat", 200, 1));
    EXPECT_NE(0u, pkt->flags & PACKET_OVERSIZE);
    ASSERT_EQ(0, add("dat", 100, 1));
    EXPECT_EQ(306u, pkt->acl_len);
    // An ordinary add to an oversize packet is held to the limit.
    EXPECT_EQ(-1, add("dat", 0));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(2u, walk().size());
}

TEST_F(Tuples, OversizeAddRefusedWhenPacketHoldsOrdinaryTuple)
{
    ASSERT_EQ(0, add("abc", 1));
    EXPECT_EQ(-1, add("dat", 200, 1));
    EXPECT_EQ(227, n_errno);
    EXPECT_EQ(0u, pkt->flags & PACKET_OVERSIZE);
    EXPECT_EQ(1u, walk().size());
}

TEST_F(Tuples, AddingOrRemovingClearsReceiveBitsOnly)
{
    pkt->flags |= PACKET_CRC_OK | PACKET_RECEIVED | PACKET_CRC_BAD | 0x80u | PACKET_ACK_REQUESTED | PACKET_ACK_SENT;
    ASSERT_EQ(0, add("abc", 1));
    EXPECT_EQ(PACKET_FORMAT_SET | PACKET_ACK_REQUESTED | PACKET_ACK_SENT | PACKET_HAS_ACL, pkt->flags);
    ASSERT_EQ(0, add("abc", 1));
    pkt->flags |= PACKET_CRC_OK | PACKET_OVERSIZE;
    n_acl *t = n_acl_first(pkt);
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, t));
    std::free(t);
    EXPECT_EQ(PACKET_FORMAT_SET | PACKET_ACK_REQUESTED | PACKET_ACK_SENT | PACKET_HAS_ACL, pkt->flags);
}

TEST_F(Tuples, RemovingOnlyTupleEmptiesPacket)
{
    ASSERT_EQ(0, add("abc", 5));
    n_acl *t = n_acl_first(pkt);
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, t));
    std::free(t);
    EXPECT_EQ(0u, pkt->acl_len);
    EXPECT_EQ(0u, pkt->acl_count);
    EXPECT_EQ(0u, pkt->flags & PACKET_HAS_ACL);
    EXPECT_EQ(nullptr, n_acl_first(pkt));
    EXPECT_EQ(22, n_errno);
    // The emptied list takes new tuples at its head again.
    ASSERT_EQ(0, add("xyz", 2));
    EXPECT_EQ(1u, walk().size());
}

TEST_F(Tuples, RemovingFromMiddleAndTailKeepsLinksConsistent)
{
    for (const char *n : {"aaa", "bbb", "ccc", "ddd"})
        ASSERT_EQ(0, add(n, 1));
    std::vector<n_acl *> all = walk();
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, all[1]));
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, all[3]));
    EXPECT_EQ((std::vector<n_acl *>{all[0], all[2]}), walk());
    ASSERT_EQ(0, n_acl_add_tuple(pkt, all[3], 0));
    ASSERT_EQ(0, n_acl_remove_tuple(pkt, all[0]));
    EXPECT_EQ((std::vector<n_acl *>{all[2], all[3]}), walk());
    std::free(all[0]);
    std::free(all[1]);
}

TEST_F(Tuples, RemovingForeignTupleIsNotFound)
{
    n_acl *stranger = n_acl_new_str("abc", nullptr, 0);
    EXPECT_EQ(-1, n_acl_remove_tuple(pkt, stranger));
    EXPECT_EQ(225, n_errno);
    ASSERT_EQ(0, add("abc", 0));
    n_errno = 0;
    EXPECT_EQ(-1, n_acl_remove_tuple(pkt, stranger));
    EXPECT_EQ(225, n_errno);
    EXPECT_EQ(1u, walk().size());
    std::free(stranger);
}

TEST_F(Tuples, NullArgumentsAreRefused)
{
    n_acl *t = n_acl_new_str("abc", nullptr, 0);
    EXPECT_FAILS_WITH(-1, 22, n_acl_add_tuple(nullptr, t, 0));
    EXPECT_FAILS_WITH(-1, 22, n_acl_add_tuple(pkt, nullptr, 0));
    EXPECT_FAILS_WITH(-1, 22, n_acl_add(pkt, nullptr, nullptr, 0, 0));
    EXPECT_FAILS_WITH(-1, 22, n_acl_add_str(nullptr, "abc", nullptr, 0, 0));
    EXPECT_FAILS_WITH(-1, 22, n_acl_remove_tuple(pkt, nullptr));
    EXPECT_FAILS_WITH(-1, 22, n_acl_remove_tuple(nullptr, t));
    EXPECT_FAILS_WITH(nullptr, 22, n_acl_first(nullptr));
    EXPECT_FAILS_WITH(nullptr, 22, n_acl_next(nullptr, t));
    std::free(t);
}

TEST_F(Tuples, FindFirstAndNextVisitEveryTupleOfOneType)
{
    ASSERT_EQ(0, add("aaa", 1));
    ASSERT_EQ(0, add("bbb", 2));
    ASSERT_EQ(0, add("aaa", 3));
    std::vector<n_acl *> all = walk();
    n_acl *found = nullptr;
    EXPECT_EQ(0, n_acl_findfirst_str(pkt, "AAA", &found));
    EXPECT_EQ(all[0], found);
    EXPECT_EQ(1, n_acl_findfirst(pkt, all[1]->type, nullptr));
    EXPECT_EQ(2, n_acl_findnext(pkt, found, &found));
    EXPECT_EQ(all[2], found);
    n_errno = 0;
    EXPECT_EQ(-1, n_acl_findnext(pkt, found, &found));
    EXPECT_EQ(225, n_errno);
    EXPECT_EQ(all[2], found);
    EXPECT_EQ(-1, n_acl_findfirst_str(pkt, "ccc", nullptr));
    EXPECT_EQ(225, n_errno);
}

TEST_F(Tuples, SearchesInEmptyPacketReportTheirOwnErrors)
{
    n_acl *t = n_acl_new_str("abc", nullptr, 0);
    EXPECT_EQ(-1, n_acl_findfirst_str(pkt, "abc", nullptr));
    EXPECT_EQ(225, n_errno);
    EXPECT_EQ(-1, n_acl_findnext(pkt, t, nullptr));
    EXPECT_EQ(9, n_errno);
    EXPECT_EQ(-1, n_acl_findnext(nullptr, t, nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_acl_findfirst(nullptr, t->type, nullptr));
    EXPECT_EQ(22, n_errno);
    std::free(t);
}

TEST(TupleRecord, LengthKeepsLowEightBitsAndDataIsCopied)
{
    std::vector<unsigned char> data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i);
    n_acl *t = n_acl_new_str("dat", data.data(), 300);
    ASSERT_NE(nullptr, t);
    unsigned char *d = nullptr;
    ASSERT_EQ(44, n_acl_get_data(t, &d));
    EXPECT_EQ(0, std::memcmp(d, data.data(), 44));
    EXPECT_EQ(nullptr, t->link.tqe_next);
    std::free(t);
}

TEST(TupleRecord, EveryLengthCopiesExactlyItsDataAndNoDataMeansZeros)
{
    std::vector<unsigned char> data(256);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(255 - i);
    const unsigned char type[2] = {0x12, 0x34};
    for (uint16_t len = 0; len < 256; ++len) {
        n_acl *copied = n_acl_new(type, data.data() + 1, len);
        n_acl *blank = n_acl_new(type, nullptr, len);
        ASSERT_NE(nullptr, copied);
        ASSERT_NE(nullptr, blank);
        EXPECT_EQ(len, copied->len);
        EXPECT_EQ(0, std::memcmp(copied->data, data.data() + 1, len)) << "length " << len;
        EXPECT_EQ(std::vector<unsigned char>(len, 0), std::vector<unsigned char>(blank->data, blank->data + len));
        EXPECT_EQ(nullptr, blank->link.tqe_prev);
        std::free(copied);
        std::free(blank);
    }
}

TEST(TupleRecord, AccessorsRefuseNullTuple)
{
    unsigned char *keep = reinterpret_cast<unsigned char *>(&keep);
    unsigned char *out = keep;
    EXPECT_FAILS_WITH(255, 22, n_acl_get_data(nullptr, &out));
    EXPECT_EQ(keep, out);
    EXPECT_FAILS_WITH(nullptr, 22, n_acl_get_type(nullptr));
    EXPECT_FAILS_WITH(nullptr, 22, n_acl_get_type_str(nullptr, nullptr));
}

// Type code packing.
struct CodeCase {
    const char *label;
    const char *name;
    unsigned char hi;
    unsigned char lo;
    const char *unpacked;
    friend void PrintTo(const CodeCase &c, std::ostream *os) { *os << c.label; }
};

class TypeCode : public testing::TestWithParam<CodeCase> {};

TEST_P(TypeCode, PacksAndUnpacks)
{
    unsigned char code[2] = {0, 0};
    EXPECT_EQ(code, n_util_str2acl(GetParam().name, code));
    EXPECT_EQ(GetParam().hi, code[0]);
    EXPECT_EQ(GetParam().lo, code[1]);
    char text[4];
    EXPECT_EQ(text, n_util_acl2str(code, text));
    EXPECT_STREQ(GetParam().unpacked, text);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TypeCode,
    testing::Values(CodeCase{"AddressUpper", "CAD", 0x6C, 0x80, "cad"},
                    CodeCase{"AddressLower", "cad", 0x6C, 0x80, "cad"},
                    CodeCase{"Control", "CAC", 0x66, 0x40, "cac"},
                    CodeCase{"Acknowledgement", "ACM", 0xA5, 0x0E, "acm"},
                    CodeCase{"ShortNamePaddedWithSpace", "ab", 0x4D, 0x66, "ab "},
                    CodeCase{"UnknownCharacterIsSpace", "A?C", 0x65, 0xEE, "a c"},
                    CodeCase{"EmptyNameIsThreeSpaces", "", 0x4C, 0xEC, "   "},
                    CodeCase{"OnlyFirstThreeCount", "CADX", 0x6C, 0x80, "cad"},
                    CodeCase{"AlternateCharacters", ":;<", 0x4C, 0xC2, "-/ "},
                    CodeCase{"AtDigitLetter", "@9z", 0xF5, 0x35, "@9z"},
                    CodeCase{"HighBytesAreSpaces", "\xC3\xA9!", 0x4C, 0xEC, "   "}),
    [](const testing::TestParamInfo<CodeCase> &info) { return std::string(info.param.label); });

TEST(TypeCodeTable, HighestCodesUnpackWithX)
{
    const unsigned char code[2] = {0xFF, 0xFF};
    EXPECT_STREQ("byx", n_util_acl2str(code, nullptr));
}

TEST(TypeCodeTable, EveryProducedNameSurvivesPackingAndUnpacking)
{
    const std::string alphabet = "0123456789-/ @abcdefghijklmnopqrstuvwxyz";
    ASSERT_EQ(40u, alphabet.size());
    for (char a : alphabet)
        for (char b : alphabet)
            for (char c : alphabet) {
                const char name[4] = {a, b, c, '\0'};
                unsigned char code[2];
                char back[4];
                n_util_acl2str(n_util_str2acl(name, code), back);
                ASSERT_STREQ(name, back);
            }
}

TEST(TypeCodeGroups, NineCharactersPackIntoSixBytesAndBack)
{
    unsigned char codes[6];
    EXPECT_EQ(6, n_util_3to2(codes, "nodeABC-9", 9));
    char text[10];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(9, n_util_2to3(text, codes, 6));
    EXPECT_STREQ("nodeabc-9", text);
}

TEST(TypeCodeGroups, NulEndsItsGroupAndPartialGroupsArePadded)
{
    unsigned char codes[6];
    const char text[9] = {'a', '\0', 'z', 'b', 'c', 'd', 'e', 'f', 'g'};
    EXPECT_EQ(6, n_util_3to2(codes, text, 9));
    char back[10];
    n_util_2to3(back, codes, 6);
    EXPECT_STREQ("a  bcdefg", back);

    unsigned char four[4];
    EXPECT_EQ(4, n_util_3to2(four, "wxyz", 4));
    n_util_2to3(back, four, 4);
    EXPECT_STREQ("wxyz  ", back);
}

}  // namespace
