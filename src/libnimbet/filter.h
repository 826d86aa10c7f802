// SPDX-License-Identifier: MIT
// Filter chains as the filter module keeps them: records, lookup and matching, shared with the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "internal.h"

namespace nimbet {

// One test of a chain. `data` holds `len` units: raw bytes, or 16-bit pattern
// codes (FILTER_CODE_*) while FILTER_MODE_WILDCARD is set in `type`. The data
// follows the record in the same heap block (sizeof(filter_element) bytes in),
// so an element is one allocation.
struct filter_element {
    uint32_t type;  // FILTER_TYPE_* | exactly one FILTER_CONCAT_* | FILTER_MODE_* and caller bits
    uint32_t len;   // units in data; never more than the fixed length of the type
    TqLink<filter_element> link;

    unsigned char *data() { return reinterpret_cast<unsigned char *>(this + 1); }
    const unsigned char *data() const { return reinterpret_cast<const unsigned char *>(this + 1); }
    bool wildcard() const { return (type & FILTER_MODE_WILDCARD) != 0; }
    // Unit k as a pattern code; only meaningful while wildcard() holds.
    uint16_t code(std::size_t k) const
    {
        uint16_t c;
        std::memcpy(&c, data() + 2 * k, sizeof c);
        return c;
    }
};

using ElementQueue = TailQueue<&filter_element::link>;
using ElementList = TqHead<filter_element>;

// A chain in disjunctive normal form: the elements in evaluation order, a
// FILTER_CONCAT_OR element starting each term after the first. Owned by the
// registry from creation until destroyed or consumed by a join.
struct filter_chain {
    int32_t id;        // unique for the life of the process, never 0
    const char *name;  // the caller's text (not owned), or "NONE"
    ElementList head;
    TqLink<filter_chain> link;  // place in the registry
};

// The live chain with this id, or null (0 never names a chain). Called with
// the lock of the chains (filter.cpp).
filter_chain *filter_lookup(int id);

// Compares the element's first min(len, bytes.size()) units with `bytes`:
// 0 when they match, non-zero when not. A FILTER_CODE_REST unit ends the
// comparison with a match; FILTER_CODE_ANY accepts any byte.
int filter_match(const filter_element *e, std::span<const unsigned char> bytes);

// Decides whether the packet passes the chain: 1 or 0. The chain may be empty (TRUE).
int filter_evaluate(const filter_chain *chain, const n_pkt *pkt);

namespace filter_test {
// Lets the next `n` element or chain allocations of the filter module
// succeed and every one after them fail; a negative `n` ends the failures.
void fail_allocations_after(int n);
}  // namespace filter_test

}  // namespace nimbet
