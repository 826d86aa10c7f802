// SPDX-License-Identifier: MIT
// Fuzzes frame parsing: parse, walk and search the tuples, describe, free; the in-place reader must agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame.h"
#include "internal.h"

namespace {

// The description goes to standard output; keep it off the terminal.
const bool g_quiet = std::freopen("/dev/null", "w", stdout) != nullptr;

// Checks the list bookkeeping of a parsed packet, reads every data byte, and
// finds every tuple of the first tuple's type by search.
void walk(n_pkt *pkt)
{
    uint32_t len = 0;
    uint32_t count = 0;
    int same_as_first = 0;
    unsigned sum = 0;
    n_acl *first = n_acl_first(pkt);
    for (n_acl *t = first; t != nullptr; t = n_acl_next(pkt, t)) {
        unsigned char *data = nullptr;
        const uint8_t n = n_acl_get_data(t, &data);
        for (unsigned i = 0; i < n; ++i)
            sum += data[i];
        len += 3u + n;
        ++count;
        same_as_first += nimbet::same_type(t->type, first->type);
    }
    N_ASSERT(len == pkt->acl_len && count == pkt->acl_count, "tuple bookkeeping");
    (void)sum;
    if (first == nullptr)
        return;
    n_acl *found = nullptr;
    int found_count = n_acl_findfirst(pkt, first->type, &found) == 0 ? 1 : 0;
    while (n_acl_findnext(pkt, found, &found) > 0)
        ++found_count;
    N_ASSERT(found_count == same_as_first, "searches find every tuple of a type");
}

}  // namespace

// Input: a mode byte, then the frame. With an odd mode byte the frame's CRC
// is made right first, so that mutations reach the tuple area instead of
// dying at the CRC check.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    (void)g_quiet;
    if (size == 0)
        return 0;
    const bool repair = (data[0] & 1) != 0;
    ++data;
    --size;
    // An exact-size copy, so that any read past the frame is caught.
    auto *frame = static_cast<unsigned char *>(std::malloc(size ? size : 1));
    if (size != 0)
        std::memcpy(frame, data, size);
    if (repair && size >= 2)
        n_util_crc16_append(frame, static_cast<unsigned>(size));
    n_pkt *pkt = n_pkt_alloc();
    const int r = n_pkt_parse(pkt, frame, static_cast<unsigned>(size));
    nimbet::FrameView view;
    N_ASSERT((nimbet::view_frame(frame, size, view) == nimbet::Reject::None) == (r == 0),
             "the in-place reader accepts exactly what parsing accepts");
    if (r == 0) {
        N_ASSERT(pkt->flags & PACKET_HAS_ACL, "parsed packet has tuples");
        walk(pkt);
        // Removing and re-adding the first tuple keeps the list whole.
        n_acl *t = n_acl_first(pkt);
        if (n_acl_remove_tuple(pkt, t) == 0 && n_acl_add_tuple(pkt, t, 1) != 0)
            std::free(t);
        walk(pkt);
    } else {
        N_ASSERT(pkt->acl_count == 0 && pkt->acl_head.tqh_first == nullptr, "refused frame leaves no tuples");
    }
    n_describe_pkt(pkt);
    std::fflush(stdout);
    n_pkt_free(pkt);
    std::free(frame);
    return 0;
}
