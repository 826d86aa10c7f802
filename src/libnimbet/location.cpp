// SPDX-License-Identifier: MIT
// Locations: the 44-byte raw form and its parts (root, four node names, coordinates, deviation).
#include <cstring>

#include "internal.h"

using namespace nimbet;

namespace {

constexpr std::size_t kRootLen = 16;
constexpr std::size_t kNodeChars = 9;
constexpr std::size_t kNodeBytes = 6;
constexpr std::size_t kNodeOffset = 16;
constexpr std::size_t kCoordOffset = 40;
constexpr std::size_t kDeviationOffset = 43;

// A coordinate byte holds a 6-bit mantissa m and a 2-bit exponent e, value
// m * 10^e. Encoding takes the nearest value of the finest range that can
// hold it (rounding half up); the values just above a range's top, which
// would round to a mantissa of 64, take that range's largest value.
unsigned char encode_coordinate(int32_t v)
{
    if (v < 0)
        v = 0;  // the encoding covers 0 and up
    if (v <= 63)
        return static_cast<unsigned char>(v << 2);
    if (v >= 63500)
        return 0xFF;
    int32_t scale = 10;
    for (unsigned e = 1; e <= 3; ++e, scale *= 10) {
        // Below 67, 670 and 6700 the previous range's largest value is nearer.
        if (v < 67 * scale / 10)
            return static_cast<unsigned char>((63u << 2) | (e - 1));
        const int32_t m = (v + scale / 2) / scale;
        if (m <= 63)
            return static_cast<unsigned char>((static_cast<unsigned>(m) << 2) | e);
    }
    return 0xFF;
}

int32_t decode_coordinate(unsigned char b)
{
    int32_t v = b >> 2;
    for (unsigned e = b & 3u; e > 0; --e)
        v *= 10;
    return v;
}

}  // namespace

extern "C" {

void n_util_location2raw(const unsigned char *root, const char *node1, const char *node2, const char *node3,
                         const char *node4, int32_t x, int32_t y, int32_t z, uint8_t deviation,
                         unsigned char *out)
try {
    if (out == nullptr)
        return;
    if (root != nullptr)
        std::memcpy(out, root, kRootLen);
    else
        std::memset(out, 0, kRootLen);
    const char *nodes[4] = {node1, node2, node3, node4};
    for (std::size_t k = 0; k < 4; ++k) {
        char work[kNodeChars] = {};
        // At most 9 characters; the NULs that pad a shorter name pack as spaces.
        for (std::size_t i = 0; nodes[k] != nullptr && i < kNodeChars && nodes[k][i] != '\0'; ++i)
            work[i] = nodes[k][i];
        n_util_3to2(out + kNodeOffset + k * kNodeBytes, work, kNodeChars);
    }
    out[kCoordOffset] = encode_coordinate(x);
    out[kCoordOffset + 1] = encode_coordinate(y);
    out[kCoordOffset + 2] = encode_coordinate(z);
    out[kDeviationOffset] = deviation;
} catch (...) {
    return failed_by_exception(n_util_location2raw);
}

void n_util_raw2location(unsigned char *root, char *node1, char *node2, char *node3, char *node4, int32_t *x,
                         int32_t *y, int32_t *z, uint8_t *deviation, const unsigned char *raw)
try {
    if (raw == nullptr)
        return;
    if (root != nullptr)
        std::memcpy(root, raw, kRootLen);
    char *nodes[4] = {node1, node2, node3, node4};
    for (std::size_t k = 0; k < 4; ++k)
        if (nodes[k] != nullptr)
            n_util_2to3(nodes[k], raw + kNodeOffset + k * kNodeBytes, kNodeBytes);
    if (x != nullptr)
        *x = decode_coordinate(raw[kCoordOffset]);
    if (y != nullptr)
        *y = decode_coordinate(raw[kCoordOffset + 1]);
    if (z != nullptr)
        *z = decode_coordinate(raw[kCoordOffset + 2]);
    if (deviation != nullptr)
        *deviation = raw[kDeviationOffset];
} catch (...) {
    return failed_by_exception(n_util_raw2location);
}

}  // extern "C"
