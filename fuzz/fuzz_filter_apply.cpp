// SPDX-License-Identifier: MIT
// Fuzzes building, joining and applying filter chains: a join must evaluate as the AND or OR of its parts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter.h"

namespace {

// Hands out the fuzz input byte by byte; zeros once it is used up.
struct Reader {
    const uint8_t *p;
    size_t n;

    uint8_t byte()
    {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    void bytes(unsigned char *out, size_t k)
    {
        for (size_t i = 0; i < k; ++i)
            out[i] = byte();
    }
    // Up to `max` characters, ended early by a NUL of the input.
    std::string text(size_t max)
    {
        std::string s;
        while (s.size() < max && n > 0) {
            char c = static_cast<char>(byte());
            if (c == '\0')
                break;
            s += c;
        }
        return s;
    }
};

constexpr int kTypes[] = {FILTER_TYPE_LOCATION, FILTER_TYPE_ID, FILTER_TYPE_ACL, FILTER_TYPE_ACL_POSITION};
constexpr size_t kUnits[] = {44, 8, 2, 3};

// A chain of up to 7 elements; at depth 0 an operation may join a chain of its own.
int build(Reader &r, int depth)
{
    int id = n_filter_create("fuzz");
    for (int ops = r.byte() % 8; ops > 0; --ops) {
        const uint8_t op = r.byte();
        const int flags = ((op >> 2) & 3) << 8 | ((op & 0x10) ? FILTER_MODE_NOT : 0);
        if ((op & 0x40) && depth == 0) {
            int sub = build(r, depth + 1);
            if (n_filter_add(id, FILTER_TYPE_FILTER | flags, n_filter_arg(sub)) < 0)
                n_filter_destroy(sub);
        } else if (op & 0x20) {
            const std::string pattern = r.text(24);
            n_filter_add(id, kTypes[op & 3] | flags | FILTER_MODE_WILDCARD, pattern.c_str());
        } else {
            unsigned char raw[44];
            r.bytes(raw, kUnits[op & 3]);
            n_filter_add(id, kTypes[op & 3] | flags, raw);
        }
    }
    return id;
}

n_pkt *packet(Reader &r)
{
    n_pkt *pkt = n_pkt_alloc();
    unsigned char id[8], loc[44];
    r.bytes(id, sizeof id);
    r.bytes(loc, sizeof loc);
    n_pkt_set_srcid(pkt, id);
    n_pkt_set_location(pkt, loc);
    for (int t = r.byte() % 12; t > 0; --t) {
        unsigned char type[2];
        r.bytes(type, 2);
        n_acl_add(pkt, type, nullptr, r.byte() % 4, 1);
    }
    return pkt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;  // descriptions
    (void)quiet;
    Reader r{data, size};
    const bool and_join = (r.byte() & 1) != 0;
    int a = build(r, 0);
    int b = build(r, 0);
    n_pkt *pkt = packet(r);

    const int in_a = n_filter_apply(a, pkt);
    const int in_b = n_filter_apply(b, pkt);
    const bool b_empty = nimbet::ElementQueue::first(nimbet::filter_lookup(b)->head) == nullptr;
    if (in_a < 0 || in_b < 0)
        std::abort();
    n_describe_filter(a);
    n_describe_filter(b);
    const int joined = n_filter_add(a, FILTER_TYPE_FILTER | (and_join ? FILTER_CONCAT_AND : FILTER_CONCAT_OR),
                                    n_filter_arg(b));
    if (joined == a) {
        // An empty chain ORed in adds nothing.
        const int expect = and_join ? (in_a & in_b) : (b_empty ? in_a : (in_a | in_b));
        if (n_filter_apply(a, pkt) != expect || n_filter_arg(b) != nullptr)
            std::abort();
        n_describe_filter(a);
    } else {
        // Only an OR-join into a chain that is still empty is refused.
        if (and_join || nimbet::ElementQueue::first(nimbet::filter_lookup(a)->head) != nullptr)
            std::abort();
        n_filter_destroy(b);
    }
    n_filter_destroy(a);
    n_pkt_free(pkt);
    return 0;
}
