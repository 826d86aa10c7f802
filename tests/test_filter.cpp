// SPDX-License-Identifier: MIT
// Filter chains: registry, element building and patterns, joins, evaluation, description.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "filter.h"
#include "support/expect.h"

namespace {

using nimbet::ElementQueue;
using nimbet::filter_chain;
using nimbet::filter_element;
using nimbet::filter_lookup;
using nimbet::test::Deadline;

const unsigned char kId[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// A packet with the given identifier, a location of all `loc_byte`, and tuples of the given types.
struct Packet {
    n_pkt *pkt = n_pkt_alloc();
    explicit Packet(const unsigned char *id = kId, unsigned char loc_byte = 0,
                    const std::vector<std::string> &types = {})
    {
        n_pkt_set_srcid(pkt, id);
        unsigned char loc[44];
        std::memset(loc, loc_byte, sizeof loc);
        n_pkt_set_location(pkt, loc);
        for (const std::string &t : types)
            n_acl_add_str(pkt, t.c_str(), reinterpret_cast<const unsigned char *>("xy"), 2, 0);
    }
    ~Packet() { n_pkt_free(pkt); }
    Packet(const Packet &) = delete;
    Packet &operator=(const Packet &) = delete;
};

std::vector<const filter_element *> elements(int id)
{
    std::vector<const filter_element *> out;
    const filter_chain *c = filter_lookup(id);
    if (c != nullptr)
        for (const filter_element *e = ElementQueue::first(c->head); e; e = ElementQueue::next(e))
            out.push_back(e);
    return out;
}

// The chain's structure when every element is a one-byte identifier test
// (pattern "N"): terms joined by '|', elements inside a term by '&', a '!'
// for a negated element.
std::string shape(int id)
{
    std::string s;
    bool first = true;
    for (const filter_element *e : elements(id)) {
        if (!first)
            s += (e->type & FILTER_CONCAT_OR) ? "|" : "&";
        first = false;
        if (e->type & FILTER_MODE_NOT)
            s += "!";
        s += std::to_string(e->data()[0]);
    }
    return s;
}

// Adds one-byte identifier tests to a new chain: "1&2|3" makes 1 AND 2 OR 3.
int chain_of(const std::string &expression)
{
    int id = n_filter_create(nullptr);
    uint32_t concat = FILTER_CONCAT_AND;
    uint32_t negate = 0;
    std::string num;
    auto flush = [&] {
        if (!num.empty()) {
            EXPECT_EQ(id, n_filter_add(id, FILTER_TYPE_ID | FILTER_MODE_WILDCARD | concat | negate, num.c_str()));
        }
        num.clear();
        negate = 0;
    };
    for (char c : expression) {
        if (c == '&' || c == '|') {
            flush();
            concat = c == '&' ? FILTER_CONCAT_AND : FILTER_CONCAT_OR;
        } else if (c == '!') {
            negate = FILTER_MODE_NOT;
        } else {
            num += c;
        }
    }
    flush();
    return id;
}

std::string describe(int id)
{
    testing::internal::CaptureStdout();
    n_describe_filter(id);
    return testing::internal::GetCapturedStdout();
}

std::string header(int id, const char *name)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "FILTER_CHAIN: %s#%i @%p\n", name, id, n_filter_arg(id));
    return buf;
}

// ------------------------------------------------------------------ registry and building

TEST(FilterRegistry, IdsCountUpFromOneAndAreNeverReused)
{
    EXPECT_EQ(1, n_filter_create("a"));
    EXPECT_EQ(2, n_filter_create("b"));
    EXPECT_EQ(0, n_filter_destroy(2));
    EXPECT_EQ(3, n_filter_create("c"));
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_destroy(2));
    EXPECT_EQ(2, n_errno);
    EXPECT_EQ(nullptr, n_filter_arg(2));
    EXPECT_NE(nullptr, n_filter_arg(3));
}

TEST(FilterRegistry, ArgOfUnknownIdIsNullWithoutTouchingErrnoAndIsRefusedByAdd)
{
    int id = n_filter_create("a");
    n_errno = 77;
    EXPECT_EQ(nullptr, n_filter_arg(42));
    EXPECT_EQ(nullptr, n_filter_arg(0));
    EXPECT_EQ(77, n_errno);
    EXPECT_EQ(-1, n_filter_add(id, FILTER_TYPE_FILTER, n_filter_arg(42)));
    EXPECT_EQ(22, n_errno);
}

// Lookups go through an index by id: with many chains alive each id still
// finds its own chain, a destroyed id finds none, and ids created after
// destroyed ones are found too.
TEST(FilterRegistry, EveryIdFindsItsOwnChainAmongManyCreatedAndDestroyed)
{
    constexpr int kChains = 5000;
    std::vector<int> ids;
    for (int i = 0; i < kChains; ++i)
        ids.push_back(chain_of(i % 3 == 0 ? "1" : "2"));
    for (int i = 0; i < kChains; i += 2)
        ASSERT_EQ(0, n_filter_destroy(ids[i]));
    const int late = chain_of("1");
    Packet p;  // identifier 1.2.3.4.5.6.7.8
    for (int i = 0; i < kChains; ++i) {
        n_errno = 0;
        if (i % 2 == 0) {
            ASSERT_EQ(-1, n_filter_apply(ids[i], p.pkt));
            ASSERT_EQ(2, n_errno);
            ASSERT_EQ(nullptr, n_filter_arg(ids[i]));
        } else {
            ASSERT_EQ(i % 3 == 0 ? 1 : 0, n_filter_apply(ids[i], p.pkt)) << "chain " << i;
            ASSERT_EQ(ids[i], filter_lookup(ids[i])->id);
        }
    }
    EXPECT_EQ(1, n_filter_apply(late, p.pkt));
    for (int i = 1; i < kChains; i += 2)
        ASSERT_EQ(0, n_filter_destroy(ids[i]));
    EXPECT_EQ(0, n_filter_destroy(late));
}

TEST(FilterRegistry, HandleOfADestroyedChainIsRefused)
{
    int a = n_filter_create("a");
    int b = chain_of("1");
    void *stale = n_filter_arg(b);
    n_filter_destroy(b);
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_add(a, FILTER_TYPE_FILTER, stale));
    EXPECT_EQ(22, n_errno);
}

struct Refusal {
    const char *what;
    bool empty_chain;
    int type;
    const void *arg;
    int err;
};

void PrintTo(const Refusal &c, std::ostream *os) { *os << c.what; }

class FilterAddRefuses : public testing::TestWithParam<Refusal> {};

TEST_P(FilterAddRefuses, WithErrorAndChainUnchanged)
{
    const Refusal &r = GetParam();
    int id = r.empty_chain ? n_filter_create("x") : chain_of("1|2");
    const std::string before = describe(id);
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_add(id, r.type, r.arg));
    EXPECT_EQ(r.err, n_errno);
    EXPECT_EQ(before, describe(id));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterAddRefuses,
    testing::Values(Refusal{"OrFirst", true, FILTER_TYPE_ID | FILTER_CONCAT_OR, kId, 22},
                    Refusal{"OrJoinFirst", true, FILTER_TYPE_FILTER | FILTER_CONCAT_OR, kId, 22},
                    Refusal{"AndAndOr", false, FILTER_TYPE_ID | FILTER_CONCAT_MASK, kId, 22},
                    Refusal{"NullArg", false, FILTER_TYPE_ID, nullptr, 22},
                    Refusal{"AclAndId", false, FILTER_TYPE_ACL | FILTER_TYPE_ID, kId, 22},
                    Refusal{"NoType", false, FILTER_CONCAT_AND, kId, 22},
                    Refusal{"TypeAboveFilter", false, 0x20, kId, 22},
                    Refusal{"FilterAndAcl", false, FILTER_TYPE_FILTER | FILTER_TYPE_ACL, kId, 22},
                    Refusal{"BadPattern", false, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "1.2?", 22}),
    [](const testing::TestParamInfo<Refusal> &i) { return std::string(i.param.what); });

// The refusal leaves the registry unlocked: the same call again returns,
// and chains are made and built as before.
TEST(FilterAdd, UnknownChainGivesNoEntAndLeavesTheRegistryUsable)
{
    const Deadline limit(10);
    EXPECT_FAILS_WITH(-1, 2, n_filter_add(9, FILTER_TYPE_ID, kId));
    EXPECT_FAILS_WITH(-1, 2, n_filter_add(9, FILTER_TYPE_ID, kId));
    const int id = n_filter_create("after");
    EXPECT_EQ(id, n_filter_add(id, FILTER_TYPE_ID, kId));
}

TEST(FilterAdd, FirstElementCarriesAndWithOrWithoutTheBit)
{
    int a = n_filter_create("a");
    int b = n_filter_create("b");
    EXPECT_EQ(a, n_filter_add(a, FILTER_TYPE_ID, kId));
    EXPECT_EQ(b, n_filter_add(b, FILTER_TYPE_ID | FILTER_CONCAT_AND | FILTER_MODE_NOT | 0x10000, kId));
    EXPECT_EQ(uint32_t{FILTER_TYPE_ID | FILTER_CONCAT_AND}, elements(a)[0]->type);
    EXPECT_EQ(uint32_t{FILTER_TYPE_ID | FILTER_CONCAT_AND | FILTER_MODE_NOT | 0x10000}, elements(b)[0]->type);
    ASSERT_EQ(8u, elements(a)[0]->len);
    EXPECT_EQ(0, std::memcmp(kId, elements(a)[0]->data(), 8));
}

TEST(FilterAdd, RawTupleTypeArgumentIsTheTwoTypeBytesOfATupleRecord)
{
    // A tuple record may be passed as it is: its first two bytes are the type.
    n_acl *t = n_acl_new_str("tmp", nullptr, 5);
    int id = n_filter_create("acl");
    ASSERT_EQ(id, n_filter_add(id, FILTER_TYPE_ACL, t));
    Packet with(kId, 0, {"abc", "tmp"});
    Packet without(kId, 0, {"abc"});
    EXPECT_EQ(1, n_filter_apply(id, with.pkt));
    EXPECT_EQ(0, n_filter_apply(id, without.pkt));
    std::free(t);
}

// ------------------------------------------------------------------ patterns

struct PatternCase {
    const char *name;
    int type;
    const char *text;
    bool wildcard;                // element keeps FILTER_MODE_WILDCARD
    std::vector<unsigned> units;  // codes when wildcard, else bytes; empty: refused
};

void PrintTo(const PatternCase &c, std::ostream *os) { *os << c.name; }

class FilterPattern : public testing::TestWithParam<PatternCase> {};

TEST_P(FilterPattern, ParsesIntoCodesOrPlainBytes)
{
    const PatternCase &c = GetParam();
    int id = n_filter_create("p");
    n_errno = 0;
    int r = n_filter_add(id, c.type | FILTER_MODE_WILDCARD, c.text);
    if (c.units.empty()) {
        EXPECT_EQ(-1, r);
        EXPECT_EQ(22, n_errno);
        EXPECT_TRUE(elements(id).empty());
        return;
    }
    ASSERT_EQ(id, r);
    const filter_element *e = elements(id).at(0);
    EXPECT_EQ(c.wildcard, (e->type & FILTER_MODE_WILDCARD) != 0);
    std::vector<unsigned> got;
    for (uint32_t k = 0; k < e->len; ++k)
        got.push_back(c.wildcard ? e->code(k) : e->data()[k]);
    EXPECT_EQ(c.units, got);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterPattern,
    testing::Values(
        PatternCase{"FullIdWithoutMarksIsPlain", FILTER_TYPE_ID, "1.2.3.4.5.6.7.8", false, {1, 2, 3, 4, 5, 6, 7, 8}},
        PatternCase{"QuestionMarkKeepsCodes", FILTER_TYPE_ID, "1.2.?.4", true, {0x1001, 0x1002, 0x1100, 0x1004}},
        PatternCase{"StarAndCodesAfterIt", FILTER_TYPE_ID, "*.3", true, {0x1200, 0x1003}},
        PatternCase{"Max255", FILTER_TYPE_ID, "255", false, {255}},
        PatternCase{"Number256", FILTER_TYPE_ID, "256", false, {}},
        PatternCase{"SecondNumber300", FILTER_TYPE_ID, "1.300", false, {}},
        PatternCase{"MarkAfterDigit", FILTER_TYPE_ID, "1?", false, {}},
        PatternCase{"TwoMarks", FILTER_TYPE_ID, "??", false, {}},
        PatternCase{"DigitAfterMark", FILTER_TYPE_ID, "*5", false, {}},
        PatternCase{"OtherCharAfterDigit", FILTER_TYPE_ID, "1a", false, {}},
        PatternCase{"OtherCharBeforeDigitIgnored", FILTER_TYPE_ID, "a1.b2", false, {1, 2}},
        PatternCase{"EmptyTextIsOneZero", FILTER_TYPE_ID, "", false, {0}},
        PatternCase{"EmptyFieldIsZero", FILTER_TYPE_ID, "1..2", false, {1, 0, 2}},
        PatternCase{"ShortLocation", FILTER_TYPE_LOCATION, "192.168", false, {192, 168}},
        PatternCase{"FieldsBeyondTypeIgnored", FILTER_TYPE_ACL, "1.2.3.?.999", false, {1, 2}},
        PatternCase{"TooLongIdCut", FILTER_TYPE_ID, "1.2.3.4.5.6.7.8.9", false, {1, 2, 3, 4, 5, 6, 7, 8}},
        PatternCase{"PositionAny", FILTER_TYPE_ACL_POSITION, "1.2.?", true, {0x1001, 0x1002, 0x1100}}),
    [](const testing::TestParamInfo<PatternCase> &i) { return std::string(i.param.name); });

// ------------------------------------------------------------------ joins

TEST(FilterJoin, AndIntoEmptyChainPassesTheIdToTheOther)
{
    int a = n_filter_create("A");
    int b = chain_of("1|2");
    const filter_chain *b_record = filter_lookup(b);
    ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER, n_filter_arg(b)));
    EXPECT_EQ(b_record, filter_lookup(a));
    EXPECT_EQ("1|2", shape(a));
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_destroy(b));
    EXPECT_EQ(2, n_errno);
    EXPECT_EQ(0, n_filter_destroy(a));
}

TEST(FilterJoin, AndWithEmptyChainConsumesItAndKeepsTheReceiver)
{
    int a = chain_of("1&2|3");
    int b = n_filter_create("B");
    ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | FILTER_CONCAT_AND, n_filter_arg(b)));
    EXPECT_EQ("1&2|3", shape(a));
    EXPECT_EQ(nullptr, n_filter_arg(b));
}

struct Product {
    const char *name;
    const char *a;
    const char *b;
    const char *result;
};

void PrintTo(const Product &c, std::ostream *os) { *os << c.name; }

class FilterAndJoin : public testing::TestWithParam<Product> {};

TEST_P(FilterAndJoin, MultipliesTermsOutInOrder)
{
    const Product &p = GetParam();
    int a = chain_of(p.a);
    int b = chain_of(p.b);
    ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | FILTER_MODE_NOT, n_filter_arg(b)));
    EXPECT_EQ(p.result, shape(a));
    EXPECT_EQ(nullptr, n_filter_arg(b));
    // Every element is a record of its own: nothing is shared between products.
    auto all = elements(a);
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = i + 1; j < all.size(); ++j)
            EXPECT_NE(all[i], all[j]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterAndJoin,
    testing::Values(Product{"TwoByTwo", "1|2", "5|6", "1&5|1&6|2&5|2&6"},
                    Product{"SingleTerms", "1&2", "5", "1&2&5"},
                    Product{"LongTerms", "1&2|3", "5|6&7", "1&2&5|1&2&6&7|3&5|3&6&7"},
                    Product{"KeepsNegation", "!1|2", "!5", "!1&!5|2&!5"}),
    [](const testing::TestParamInfo<Product> &i) { return std::string(i.param.name); });

TEST(FilterJoin, OrAppendsTermsAndConsumesTheOther)
{
    int a = chain_of("1&2");
    int b = chain_of("3&4|5");
    ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | FILTER_CONCAT_OR, n_filter_arg(b)));
    EXPECT_EQ("1&2|3&4|5", shape(a));
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_apply(b, Packet().pkt));
    EXPECT_EQ(2, n_errno);
}

TEST(FilterJoin, OrWithEmptyChainAddsNothing)
{
    int a = chain_of("1");
    int b = n_filter_create("B");
    const unsigned char other[8] = {9};
    ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | FILTER_CONCAT_OR, n_filter_arg(b)));
    EXPECT_EQ("1", shape(a));
    EXPECT_EQ(0, n_filter_apply(a, Packet(other).pkt));
    EXPECT_EQ(nullptr, n_filter_arg(b));
}

TEST(FilterJoin, JoiningAChainIntoItselfChangesNothing)
{
    int a = chain_of("1|2");
    for (int concat : {FILTER_CONCAT_AND, FILTER_CONCAT_OR}) {
        ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | concat, n_filter_arg(a)));
        EXPECT_EQ("1|2", shape(a));
    }
    int e = n_filter_create("E");
    ASSERT_EQ(e, n_filter_add(e, FILTER_TYPE_FILTER, n_filter_arg(e)));
    EXPECT_NE(nullptr, n_filter_arg(e));
}

TEST(FilterJoin, AndJoinOutOfMemoryAtAnyPointLeavesBothChainsWhole)
{
    int succeeded_after = -1;
    for (int budget = 0; budget < 64 && succeeded_after < 0; ++budget) {
        int a = chain_of("1&2|3");
        int b = chain_of("5|6&7|8");
        nimbet::filter_test::fail_allocations_after(budget);
        n_errno = 0;
        int r = n_filter_add(a, FILTER_TYPE_FILTER, n_filter_arg(b));
        nimbet::filter_test::fail_allocations_after(-1);
        if (r == -1) {
            EXPECT_EQ(12, n_errno);
            EXPECT_EQ("1&2|3", shape(a));
            EXPECT_EQ("5|6&7|8", shape(b));
            n_filter_destroy(b);
        } else {
            EXPECT_EQ("1&2&5|1&2&6&7|1&2&8|3&5|3&6&7|3&8", shape(a));
            succeeded_after = budget;
        }
        n_filter_destroy(a);
    }
    // Copies for the first two of three products of each of a's terms (2 and
    // 1 elements), and one copy of b (4 elements) for each of a's 2 terms.
    EXPECT_EQ(2 * 2 + 2 * 1 + 2 * 4, succeeded_after);
}

TEST(FilterJoin, OutOfMemoryOnCreateAndAddIsReported)
{
    nimbet::filter_test::fail_allocations_after(0);
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_create("x"));
    EXPECT_EQ(12, n_errno);
    nimbet::filter_test::fail_allocations_after(1);
    int id = n_filter_create("x");
    EXPECT_EQ(-1, n_filter_add(id, FILTER_TYPE_ID, kId));
    EXPECT_EQ(12, n_errno);
    nimbet::filter_test::fail_allocations_after(-1);
    EXPECT_TRUE(elements(id).empty());
}

TEST(FilterJoinDeathTest, AndJoinChecksThatBothChainsStartWithAnd)
{
    auto broken = [](bool receiver) {
        int a = chain_of("1");
        int b = chain_of("2");
        filter_element *first = ElementQueue::first(filter_lookup(receiver ? a : b)->head);
        first->type = (first->type & ~FILTER_CONCAT_MASK) | FILTER_CONCAT_OR;
        n_filter_add(a, FILTER_TYPE_FILTER, n_filter_arg(b));
    };
    EXPECT_DEATH(broken(true), "Assertion failed: TAILQ_FIRST\\(&fch1->head\\)->type&FILTER_CONCAT_AND, file ");
    EXPECT_DEATH(broken(false), "Assertion failed: TAILQ_FIRST\\(&fch2->head\\)->type&FILTER_CONCAT_AND, file ");
}

// ------------------------------------------------------------------ evaluation

TEST(FilterApply, EmptyChainAcceptsEverything)
{
    int id = n_filter_create("all");
    EXPECT_EQ(1, n_filter_apply(id, Packet().pkt));
    EXPECT_EQ(1, n_filter_apply(id, Packet(kId, 9, {"abc"}).pkt));
}

TEST(FilterApply, RefusesNullPacketIdZeroAndUnknownId)
{
    Packet p;
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_apply(0, p.pkt));  // no chain exists: 0 is refused before any lookup
    EXPECT_EQ(22, n_errno);
    int id = n_filter_create("x");
    n_errno = 0;
    EXPECT_EQ(-1, n_filter_apply(id, nullptr));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_filter_apply(id + 1, p.pkt));
    EXPECT_EQ(2, n_errno);
}

// A AND B OR C, each an identifier test that passes or fails as the case says.
struct ShortCircuit {
    bool a, b, c;
    int result;
};

void PrintTo(const ShortCircuit &c, std::ostream *os) { *os << c.a << c.b << c.c; }

class FilterShortCircuit : public testing::TestWithParam<ShortCircuit> {};

TEST_P(FilterShortCircuit, TermsAreDecidedLeftToRight)
{
    const ShortCircuit &s = GetParam();
    const unsigned char other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    int id = n_filter_create("abc");
    n_filter_add(id, FILTER_TYPE_ID, s.a ? kId : other);
    n_filter_add(id, FILTER_TYPE_ID | FILTER_CONCAT_AND, s.b ? kId : other);
    n_filter_add(id, FILTER_TYPE_ID | FILTER_CONCAT_OR, s.c ? kId : other);
    EXPECT_EQ(s.result, n_filter_apply(id, Packet().pkt));
}

INSTANTIATE_TEST_SUITE_P(Table, FilterShortCircuit,
                         testing::Values(ShortCircuit{false, true, false, 0},  // B skipped, C decides
                                         ShortCircuit{false, true, true, 1},
                                         ShortCircuit{true, true, false, 1},  // term held: C not looked at
                                         ShortCircuit{true, false, false, 0},
                                         ShortCircuit{true, false, true, 1}));

TEST(FilterApply, NegatedTupleTypeTest)
{
    int id = n_filter_create("no tmp");
    n_filter_add(id, FILTER_TYPE_ACL | FILTER_MODE_NOT, n_util_str2acl("tmp", nullptr));
    EXPECT_EQ(1, n_filter_apply(id, Packet().pkt));
    EXPECT_EQ(1, n_filter_apply(id, Packet(kId, 0, {"abc", "hum"}).pkt));
    EXPECT_EQ(0, n_filter_apply(id, Packet(kId, 0, {"abc", "hum", "tmp"}).pkt));
    EXPECT_EQ(0, n_filter_apply(id, Packet(kId, 0, {"tmp"}).pkt));
}

TEST(FilterApply, IdentifierPatterns)
{
    const unsigned char starts_1[8] = {1, 200, 0, 0, 0, 0, 0, 7};
    const unsigned char starts_2[8] = {2, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char starts_1_2[8] = {1, 2, 99, 99, 99, 99, 99, 99};
    int rest = n_filter_create("1.*");
    n_filter_add(rest, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "1.*");
    int prefix = n_filter_create("1.2");
    n_filter_add(prefix, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "1.2");
    int any = n_filter_create("?.2");
    n_filter_add(any, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "?.2.?.?.?.?.?.8");
    // '*' spans every unit after it, so the 8 is never compared; '?' spans one.
    int star_then_8 = n_filter_create("1.*.8");
    n_filter_add(star_then_8, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "1.*.8");
    int any_then_8 = n_filter_create("1.?.8");
    n_filter_add(any_then_8, FILTER_TYPE_ID | FILTER_MODE_WILDCARD, "1.?.8");

    EXPECT_EQ(1, n_filter_apply(rest, Packet(starts_1).pkt));
    EXPECT_EQ(1, n_filter_apply(rest, Packet(starts_1_2).pkt));
    EXPECT_EQ(0, n_filter_apply(rest, Packet(starts_2).pkt));
    EXPECT_EQ(1, n_filter_apply(prefix, Packet(starts_1_2).pkt));
    EXPECT_EQ(0, n_filter_apply(prefix, Packet(starts_1).pkt));
    EXPECT_EQ(1, n_filter_apply(any, Packet(starts_2).pkt));
    EXPECT_EQ(0, n_filter_apply(any, Packet(starts_1_2).pkt));
    EXPECT_EQ(1, n_filter_apply(star_then_8, Packet(starts_1).pkt));
    EXPECT_EQ(0, n_filter_apply(any_then_8, Packet(starts_1).pkt));
}

TEST(FilterApply, LocationPrefix)
{
    int id = n_filter_create("loc");
    n_filter_add(id, FILTER_TYPE_LOCATION | FILTER_MODE_WILDCARD, "7.7");
    EXPECT_EQ(1, n_filter_apply(id, Packet(kId, 7).pkt));
    EXPECT_EQ(0, n_filter_apply(id, Packet(kId, 8).pkt));
    unsigned char loc[44] = {};
    loc[43] = 5;
    int full = n_filter_create("full");
    n_filter_add(full, FILTER_TYPE_LOCATION, loc);
    EXPECT_EQ(0, n_filter_apply(full, Packet(kId, 0).pkt));  // last byte differs
}

struct PositionCase {
    const char *name;
    bool raw;
    const char *pattern;  // or, raw: 3 letters of a type and a position digit
    int result;           // against tuples abc, tmp, hum
};

void PrintTo(const PositionCase &c, std::ostream *os) { *os << c.name; }

class FilterPosition : public testing::TestWithParam<PositionCase> {};

TEST_P(FilterPosition, TestsTheTupleTypeAtAPosition)
{
    const PositionCase &c = GetParam();
    int id = n_filter_create("pos");
    if (c.raw) {
        unsigned char arg[3];
        n_util_str2acl(std::string(c.pattern, 3).c_str(), arg);
        arg[2] = static_cast<unsigned char>(c.pattern[3] - '0');
        ASSERT_EQ(id, n_filter_add(id, FILTER_TYPE_ACL_POSITION, arg));
    } else {
        ASSERT_EQ(id, n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_WILDCARD, c.pattern));
    }
    EXPECT_EQ(c.result, n_filter_apply(id, Packet(kId, 0, {"abc", "tmp", "hum"}).pkt));
    EXPECT_EQ(0, n_filter_apply(id, Packet().pkt));  // no tuples: no position matches
}

// "tmp" packs to 185.113.
INSTANTIATE_TEST_SUITE_P(
    Cases, FilterPosition,
    testing::Values(PositionCase{"RawAtItsPosition", true, "tmp1", 1},
                    PositionCase{"RawAtAnotherPosition", true, "tmp0", 0},
                    PositionCase{"RawBeyondTheLastTuple", true, "tmp3", 0},
                    PositionCase{"PatternAtItsPosition", false, "185.113.1", 1},
                    PositionCase{"PatternElsewhere", false, "185.113.2", 0},
                    PositionCase{"PatternFirstByteOnly", false, "185.?.1", 1},
                    PositionCase{"PatternAnyPosition", false, "185.113.?", 1},
                    PositionCase{"PatternWithoutPosition", false, "185.113", 1},
                    PositionCase{"PatternFarBeyond", false, "185.113.200", 0}),
    [](const testing::TestParamInfo<PositionCase> &i) { return std::string(i.param.name); });

TEST(FilterApply, NegatedPositionBeyondTheLastTuplePasses)
{
    int id = n_filter_create("pos");
    unsigned char arg[3];
    n_util_str2acl("abc", arg);
    arg[2] = 5;
    n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_NOT, arg);
    EXPECT_EQ(1, n_filter_apply(id, Packet(kId, 0, {"abc"}).pkt));
}

// ------------------------------------------------------------------ description

TEST(FilterDescribe, EmptyChainAndUnknownId)
{
    int id = n_filter_create(nullptr);
    EXPECT_EQ(header(id, "NONE") + " TRUE\n", describe(id));
    n_errno = 5;
    EXPECT_EQ("NO SUCH FILTER\n", describe(id + 1));
    EXPECT_EQ(5, n_errno);
}

TEST(FilterDescribe, OneLinePerTerm)
{
    int id = n_filter_create("demo");
    n_filter_add(id, FILTER_TYPE_ID, kId);
    n_filter_add(id, FILTER_TYPE_ACL | FILTER_CONCAT_OR | FILTER_MODE_NOT, n_util_str2acl("abc", nullptr));
    EXPECT_EQ(header(id, "demo") + " TRUE AND ID(1.2.3.4.5.6.7.8)OR\n!ACL(abc)\n", describe(id));
}

TEST(FilterDescribe, PatternsEndWithBackspaceAndBlank)
{
    int id = n_filter_create("w");
    n_filter_add(id, FILTER_TYPE_LOCATION | FILTER_MODE_WILDCARD, "10.?.*");
    n_filter_add(id, FILTER_TYPE_LOCATION | FILTER_MODE_WILDCARD, "10.20");
    EXPECT_EQ(header(id, "w") + " TRUE AND LOC(10.?.*.\b ) AND LOC(10.20)\n", describe(id));
}

TEST(FilterDescribe, PositionElementsShowThePositionTheyHold)
{
    int id = n_filter_create("p");
    unsigned char raw[3];
    n_util_str2acl("abc", raw);
    raw[2] = 2;
    n_filter_add(id, FILTER_TYPE_ACL_POSITION, raw);  // a 3-byte buffer: its position is byte 2
    n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_WILDCARD, "1.2.7");
    n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_WILDCARD | FILTER_CONCAT_OR, "1.?.3");
    n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_WILDCARD, "1.2.?");
    n_filter_add(id, FILTER_TYPE_ACL | FILTER_MODE_WILDCARD, "5");
    const unsigned char one_two[2] = {1, 2};
    char plain[4];
    n_util_acl2str(one_two, plain);
    EXPECT_EQ(header(id, "p") + " TRUE AND POS @2 abc) AND POS @7 " + plain + ")OR\n POS @3 1.?.3.\b ) AND POS @* 1.2.?.\b ) AND ACL(5)\n",
              describe(id));
}

// ------------------------------------------------------------------ joins agree with evaluation

// A random chain over small alphabets, so that elements often match: two
// identifiers, two location bytes, three tuple types.
struct RandomChains {
    std::mt19937 rng{12345};
    const unsigned char ids[2][8] = {{1, 2, 3, 4, 5, 6, 7, 8}, {1, 9, 3, 4, 5, 6, 7, 9}};
    const char *types[3] = {"abc", "tmp", "hum"};

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

    void add_element(int id, uint32_t concat)
    {
        uint32_t flags = concat | (pick(3) == 0 ? FILTER_MODE_NOT : 0);
        static const char *id_patterns[] = {"1.*", "1.2", "?.9", "1.?.3.4.5.6.7.9", "2"};
        static const char *loc_patterns[] = {"3.?", "4", "*", "?.3"};
        unsigned char raw[3];
        switch (pick(6)) {
        case 0: n_filter_add(id, FILTER_TYPE_ID | flags, ids[pick(2)]); break;
        case 1: n_filter_add(id, FILTER_TYPE_ID | FILTER_MODE_WILDCARD | flags, id_patterns[pick(5)]); break;
        case 2: n_filter_add(id, FILTER_TYPE_LOCATION | FILTER_MODE_WILDCARD | flags, loc_patterns[pick(4)]); break;
        case 3: n_filter_add(id, FILTER_TYPE_ACL | flags, n_util_str2acl(types[pick(3)], raw)); break;
        case 4:
            n_util_str2acl(types[pick(3)], raw);
            raw[2] = static_cast<unsigned char>(pick(3));
            n_filter_add(id, FILTER_TYPE_ACL_POSITION | flags, raw);
            break;
        default: {
            char text[24];
            n_util_str2acl(types[pick(3)], raw);
            std::snprintf(text, sizeof text, "%d.%d.%s", raw[0], raw[1], pick(2) ? "?" : "1");
            n_filter_add(id, FILTER_TYPE_ACL_POSITION | FILTER_MODE_WILDCARD | flags, text);
        }
        }
    }

    // Up to 4 elements, sometimes with a smaller chain joined in.
    int chain(int depth)
    {
        int id = n_filter_create("r");
        int n = pick(5);
        for (int i = 0; i < n; ++i) {
            uint32_t concat = i == 0 ? 0 : (pick(2) ? FILTER_CONCAT_AND : FILTER_CONCAT_OR);
            if (depth > 0 && pick(4) == 0) {
                int sub = chain(depth - 1);
                if (n_filter_add(id, FILTER_TYPE_FILTER | concat, n_filter_arg(sub)) < 0)
                    n_filter_destroy(sub);  // OR into a chain that is still empty
            } else
                add_element(id, concat);
        }
        return id;
    }

    n_pkt *packet()
    {
        n_pkt *p = n_pkt_alloc();
        n_pkt_set_srcid(p, ids[pick(2)]);
        unsigned char loc[44] = {};
        loc[0] = static_cast<unsigned char>(3 + pick(2));
        loc[1] = static_cast<unsigned char>(3 + pick(2));
        n_pkt_set_location(p, loc);
        for (int t = pick(4); t > 0; --t)
            n_acl_add_str(p, types[pick(3)], nullptr, 0, 0);
        return p;
    }
};

// The chain read as a plain sum of products, every element evaluated alone.
int sum_of_products(int id, const n_pkt *pkt)
{
    bool any = false, term = true, started = false;
    for (const filter_element *e : elements(id)) {
        if (e->type & FILTER_CONCAT_OR) {
            any = any || term;
            term = true;
        }
        started = true;
        // Evaluate a copy of the element as a chain of its own.
        std::size_t size = (e->type & FILTER_MODE_WILDCARD) ? 2u * e->len : e->len;
        auto *copy = static_cast<filter_element *>(std::malloc(sizeof(filter_element) + size));
        std::memcpy(copy, e, sizeof(filter_element) + size);
        copy->type = (copy->type & ~FILTER_CONCAT_MASK) | FILTER_CONCAT_AND;
        filter_chain alone{};
        ElementQueue::init(alone.head);
        ElementQueue::insert_tail(alone.head, copy);
        term = term && nimbet::filter_evaluate(&alone, pkt) == 1;
        std::free(copy);
    }
    return (!started || any || term) ? 1 : 0;
}

TEST(FilterProperty, JoinsEvaluateAsAndOrOfTheChainsBeforeTheJoin)
{
    RandomChains gen;
    int joins = 0, accepted = 0, evaluations = 0;
    for (int trial = 0; trial < 400; ++trial) {
        int a = gen.chain(1);
        int b = gen.chain(1);
        const bool and_join = gen.pick(2) == 0;
        std::vector<n_pkt *> pkts;
        std::vector<int> before_a, before_b;
        for (int i = 0; i < 16; ++i) {
            pkts.push_back(gen.packet());
            before_a.push_back(n_filter_apply(a, pkts.back()));
            before_b.push_back(n_filter_apply(b, pkts.back()));
            ASSERT_EQ(sum_of_products(a, pkts.back()), before_a.back()) << describe(a);
        }
        const std::string inputs = describe(a) + (and_join ? "AND-joined with\n" : "OR-joined with\n") + describe(b);
        const bool a_empty = elements(a).empty();
        const bool b_was_empty = elements(b).empty();
        const int concat = and_join ? FILTER_CONCAT_AND : FILTER_CONCAT_OR;
        if (!and_join && a_empty) {
            EXPECT_EQ(-1, n_filter_add(a, FILTER_TYPE_FILTER | concat, n_filter_arg(b)));
            n_filter_destroy(b);
        } else {
            ASSERT_EQ(a, n_filter_add(a, FILTER_TYPE_FILTER | concat, n_filter_arg(b)));
            ASSERT_EQ(nullptr, n_filter_arg(b));
            ++joins;
            for (size_t i = 0; i < pkts.size(); ++i) {
                // An empty chain ORed in adds nothing.
                const bool b_empty_or = !and_join && before_b[i] == 1 && b_was_empty;
                int expect = and_join ? (before_a[i] && before_b[i])
                                      : (b_empty_or ? before_a[i] : (before_a[i] || before_b[i]));
                ASSERT_EQ(expect, n_filter_apply(a, pkts[i])) << inputs << "gave\n" << describe(a);
                ASSERT_EQ(expect, sum_of_products(a, pkts[i])) << inputs << "gave\n" << describe(a);
                accepted += expect;
                ++evaluations;
            }
            if (!elements(a).empty()) {
                EXPECT_TRUE(elements(a)[0]->type & FILTER_CONCAT_AND);
            }
            for (const filter_element *e : elements(a))
                EXPECT_NE(0u, e->type & FILTER_CONCAT_MASK) << "exactly one concatenation bit";
        }
        n_filter_destroy(a);
        for (n_pkt *p : pkts)
            n_pkt_free(p);
    }
    // The generator must exercise both outcomes, or the check proves little.
    EXPECT_GT(joins, 300);
    EXPECT_GT(accepted, evaluations / 10);
    EXPECT_LT(accepted, evaluations * 9 / 10);
}

}  // namespace
