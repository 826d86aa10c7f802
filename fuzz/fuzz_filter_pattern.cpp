// SPDX-License-Identifier: MIT
// Fuzzes the dotted patterns of filter elements: every text either is refused or gives a well-formed element.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter.h"

using nimbet::ElementQueue;
using nimbet::filter_element;

namespace {

constexpr int kTypes[] = {FILTER_TYPE_LOCATION, FILTER_TYPE_ID, FILTER_TYPE_ACL, FILTER_TYPE_ACL_POSITION};
constexpr uint32_t kUnits[] = {44, 8, 2, 3};

bool valid_code(uint16_t c)
{
    return c == FILTER_CODE_ANY || c == FILTER_CODE_REST || (c >= FILTER_CODE_LITERAL && c <= FILTER_CODE_LITERAL + 0xff);
}

void check(const filter_element *e, uint32_t units)
{
    if (e->len == 0 || e->len > units)
        std::abort();
    if (!e->wildcard())
        return;
    bool marked = false;
    for (uint32_t k = 0; k < e->len; ++k) {
        if (!valid_code(e->code(k)))
            std::abort();
        marked = marked || e->code(k) == FILTER_CODE_ANY || e->code(k) == FILTER_CODE_REST;
    }
    if (!marked)
        std::abort();  // a pattern without '?' or '*' must have become plain bytes
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;  // descriptions
    (void)quiet;
    if (size == 0)
        return 0;
    const int kind = data[0] & 3;
    const int type = kTypes[kind] | FILTER_MODE_WILDCARD | ((data[0] & 4) ? FILTER_MODE_NOT : 0);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    int id = n_filter_create("fuzz");
    if (n_filter_add(id, type, text.c_str()) == id) {
        check(ElementQueue::first(nimbet::filter_lookup(id)->head), kUnits[kind]);
        // Evaluate against a packet whose bytes come from the text as well.
        n_pkt *pkt = n_pkt_alloc();
        unsigned char bytes[44] = {};
        for (size_t i = 0; i < sizeof bytes && i < text.size(); ++i)
            bytes[i] = static_cast<unsigned char>(text[i]);
        n_pkt_set_srcid(pkt, bytes);
        n_pkt_set_location(pkt, bytes);
        n_acl_add(pkt, bytes, nullptr, 0, 0);
        n_acl_add(pkt, bytes + 2, nullptr, 0, 0);
        if (n_filter_apply(id, pkt) < 0)
            std::abort();
        n_describe_filter(id);
        n_pkt_free(pkt);
    } else if (n_errno != 22) {
        std::abort();
    }
    n_filter_destroy(id);
    return 0;
}
