// SPDX-License-Identifier: MIT
// Fuzzes dotted decimal decoding and the packet setters that take dotted text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int max = data[0] % 64;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);  // stops at an inner NUL

    // Output exactly `max` bytes long: any write past it is caught.
    auto *out = static_cast<unsigned char *>(std::malloc(max ? max : 1));
    const int r = n_util_decode_dot(out, text.c_str(), max);
    N_ASSERT(r == -1 || (r >= 1 && r <= max + 1), "decode_dot result in range");
    N_ASSERT(r != -1 || n_errno == 42, "decode failure is an illegal byte sequence");
    std::free(out);

    n_pkt *pkt = n_pkt_alloc();
    const n_pkt before = *pkt;
    if (n_pkt_set_srcid_str(pkt, text.c_str()) != 0)
        N_ASSERT(std::memcmp(&before, pkt, sizeof before) == 0, "refused identifier leaves the packet alone");
    if (n_pkt_set_location_str(pkt, text.c_str()) != 1)
        N_ASSERT(std::memcmp(pkt->location, before.location, sizeof before.location) == 0,
                 "refused location leaves the packet alone");
    n_pkt_free(pkt);
    return 0;
}
