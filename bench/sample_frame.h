// SPDX-License-Identifier: MIT
// The sample frame of the in-memory benchmarks: three tuples that fill the tuple area, 120 bytes on the wire.
#pragma once

#include "nimbet/nimbet.h"

namespace nimbet::bench {

inline constexpr unsigned kSampleFrameLen = 120;  // 54 header bytes, a full 64-byte tuple area, CRC

// Three tuples of 8, 20 and 27 data bytes: 11 + 23 + 30 = 64 bytes.
inline void add_tuples(n_pkt *pkt)
{
    static const unsigned char id[8] = {1, 1, 1, 1, 10, 0, 0, 9};
    static const unsigned char reading[20] = {0, 21, 4, 2, 0, 56, 1, 200, 3, 3, 0, 0, 7, 7, 1, 2, 3, 4, 5, 6};
    static const char text[] = "temperature above threshold";
    n_acl_add_str(pkt, "nod", id, sizeof id, 0);
    n_acl_add_str(pkt, "val", reading, sizeof reading, 0);
    n_acl_add_str(pkt, "msg", reinterpret_cast<const unsigned char *>(text), sizeof text - 1, 0);
}

}  // namespace nimbet::bench
