// SPDX-License-Identifier: MIT
// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection) over frames.
#include <array>

#include "internal.h"

using namespace nimbet;

namespace {

constexpr uint16_t kPoly = 0x1021;

// Slicing: kTables[0][x] is the register change that byte x makes (the CRC
// of x alone); kTables[k][x] that of x followed by k zero bytes. One step
// takes sixteen (or eight) bytes with as many independent look-ups, where the
// bytewise form chains them one after the other; the result is the same bit
// for bit. The tables take 8 KiB.
using Table = std::array<uint16_t, 256>;
constexpr std::size_t kSlices = 16;

constexpr std::array<Table, kSlices> make_tables()
{
    std::array<Table, kSlices> t{};
    for (unsigned x = 0; x < 256; ++x) {
        unsigned c = x << 8;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x8000u) ? (c << 1) ^ kPoly : c << 1;
        t[0][x] = static_cast<uint16_t>(c);
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (unsigned x = 0; x < 256; ++x) {
            const unsigned prev = t[k - 1][x];
            t[k][x] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    return t;
}

constexpr std::array<Table, kSlices> kTables = make_tables();

// The register after one more byte.
inline uint16_t crc_byte(uint16_t crc, unsigned char d)
{
    return static_cast<uint16_t>((crc << 8) ^ kTables[0][(crc >> 8) ^ d]);
}

// The register after the next N bytes (N >= 2). The register's two bytes
// meet the first two of them; the others enter unchanged.
template <std::size_t N>
inline uint16_t crc_slice(uint16_t crc, const unsigned char *p)
{
    unsigned r = kTables[N - 1][p[0] ^ (crc >> 8)] ^ kTables[N - 2][p[1] ^ (crc & 0xff)];
    for (std::size_t i = 2; i < N; ++i)
        r ^= kTables[N - 1 - i][p[i]];
    return static_cast<uint16_t>(r);
}

uint16_t crc_update(uint16_t crc, const unsigned char *p, std::size_t len)
{
    for (; len >= 16; p += 16, len -= 16)
        crc = crc_slice<16>(crc, p);
    if (len >= 8) {
        crc = crc_slice<8>(crc, p);
        p += 8;
        len -= 8;
    }
    for (; len != 0; ++p, --len)
        crc = crc_byte(crc, *p);
    return crc;
}

}  // namespace

extern "C" {

int n_util_crc16(const unsigned char *data, unsigned int len, unsigned char *crc_hi, unsigned char *crc_lo)
try {
    if (data == nullptr || len == 0 || crc_hi == nullptr || crc_lo == nullptr)
        return fail(kAccess);
    const uint16_t crc = crc_update(static_cast<uint16_t>(*crc_hi << 8 | *crc_lo), data, len);
    *crc_hi = static_cast<unsigned char>(crc >> 8);
    *crc_lo = static_cast<unsigned char>(crc & 0xff);
    return 1;
} catch (...) {
    return failed_by_exception(n_util_crc16);
}

int n_util_crc16_append(unsigned char *frame, unsigned int len)
try {
    // Below 2 bytes there is no room for the trailer; refuse rather than
    // write in front of the buffer.
    if (frame == nullptr || len < 2)
        return fail(kInval);
    frame[len - 2] = 0;
    frame[len - 1] = 0;
    unsigned char hi = 0;
    unsigned char lo = 0;
    if (n_util_crc16(frame, len - 2, &hi, &lo) < 0)
        return fail(kIlSeq);
    frame[len - 2] = hi;
    frame[len - 1] = lo;
    return 1;
} catch (...) {
    return failed_by_exception(n_util_crc16_append);
}

int n_util_crc16_check(const unsigned char *frame, unsigned int len)
try {
    unsigned char hi = 0;
    unsigned char lo = 0;
    if (n_util_crc16(frame, len, &hi, &lo) < 0)
        return fail(kIlSeq);
    return (hi == 0 && lo == 0) ? 1 : 0;
} catch (...) {
    return failed_by_exception(n_util_crc16_check);
}

}  // extern "C"
