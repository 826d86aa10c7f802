// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection) over frames.
#include "internal.h"

using namespace nimbet;

namespace {

// One byte of the CRC on a register split into its high and low byte; the
// shift-and-XOR form needs no table.
inline void crc_step(unsigned char &hi, unsigned char &lo, unsigned char d)
{
    unsigned char h = lo;
    unsigned char l = hi;
    l ^= d;
    l ^= l >> 4;
    h ^= static_cast<unsigned char>(l << 4);
    h ^= l >> 3;
    l ^= static_cast<unsigned char>(l << 5);
    hi = h;
    lo = l;
}

}  // namespace

extern "C" {

int n_util_crc16(const unsigned char *data, unsigned int len, unsigned char *crc_hi, unsigned char *crc_lo)
{
    if (data == nullptr || len == 0 || crc_hi == nullptr || crc_lo == nullptr)
        return fail(kAccess);
    unsigned char hi = *crc_hi;
    unsigned char lo = *crc_lo;
    for (unsigned int i = 0; i < len; ++i)
        crc_step(hi, lo, data[i]);
    *crc_hi = hi;
    *crc_lo = lo;
    return 1;
}

int n_util_crc16_append(unsigned char *frame, unsigned int len)
{
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
}

int n_util_crc16_check(const unsigned char *frame, unsigned int len)
{
    unsigned char hi = 0;
    unsigned char lo = 0;
    if (n_util_crc16(frame, len, &hi, &lo) < 0)
        return fail(kIlSeq);
    return (hi == 0 && lo == 0) ? 1 : 0;
}

}  // extern "C"
