// SPDX-License-Identifier: MIT
// Dotted decimal text, the escaped stream form, and the packet setters that take dotted text.
#include <climits>

#include "internal.h"

using namespace nimbet;

namespace {

constexpr unsigned char kStart = 0x00;
constexpr unsigned char kEnd = 0xC0;
constexpr unsigned char kMarker = 0xDB;

// Bytes that cannot stand in the body of an escaped frame: they travel as
// the marker followed by the byte plus one.
inline bool needs_escape(unsigned char b) { return b == kStart || b == kEnd || b == kMarker; }

inline int encoded_size(unsigned char b) { return needs_escape(b) ? 2 : 1; }

// `base` plus the escaped size of src[from, srclen). An input of more than
// about 1 GiB can need more room than an int counts: the result then stays
// at INT_MAX, which still tells the caller that no buffer it can name fits.
int escaped_size(const unsigned char *src, int from, int srclen, long long base)
{
    long long need = base;
    for (int i = from; i < srclen; ++i)
        need += encoded_size(src[i]);
    return need > INT_MAX ? INT_MAX : static_cast<int>(need);
}

}  // namespace

namespace nimbet {

bool decode_exact(const char *text, unsigned char *out, int count)
{
    if (text == nullptr)
        return false;
    return n_util_decode_dot(out, text, count) == count;
}

bool decode_id_text(const char *text, unsigned char out[8])
{
    if (text == nullptr)
        return false;
    unsigned char bytes[kIdLen];
    switch (n_util_decode_dot(bytes, text, kIdLen)) {
    case 8:
        std::memcpy(out, bytes, kIdLen);
        return true;
    case 4:
        // a.b.c.d is the short form of 1.1.1.1.a.b.c.d
        out[0] = out[1] = out[2] = out[3] = 1;
        std::memcpy(out + 4, bytes, 4);
        return true;
    default:
        return false;
    }
}

bool decode_destination(const char *text, unsigned char out[8])
{
    std::memset(out, 0, kIdLen);
    return text != nullptr && n_util_decode_dot(out, text, kIdLen) >= 0;
}

}  // namespace nimbet

extern "C" {

int n_util_decode_dot(unsigned char *out, const char *text, int max)
try {
    // A negative field count would turn the "more than max" result into a
    // value that reads as a count or as a failure without an error number.
    if (out == nullptr || text == nullptr || max < 0)
        return fail(kInval);
    int p = 0;
    for (int i = 0; i < max; ++i) {
        unsigned value = 0;
        for (; text[p] != '\0' && text[p] != '.'; ++p) {
            const char c = text[p];
            if (c < '0' || c > '9')
                return fail(kIlSeq);
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255)
                return fail(kIlSeq);
        }
        out[i] = static_cast<unsigned char>(value);
        if (text[p] == '\0')
            return i + 1;
        ++p;  // the dot
    }
    return max + 1;
} catch (...) {
    return failed_by_exception(n_util_decode_dot);
}

int n_pkt_set_location_str(n_pkt *pkt, const char *text)
try {
    unsigned char loc[kLocLen];
    if (pkt == nullptr || !decode_exact(text, loc, kLocLen))
        return fail(kInval);
    return n_pkt_set_location(pkt, loc);
} catch (...) {
    return failed_by_exception(n_pkt_set_location_str);
}

int n_pkt_set_srcid_str(n_pkt *pkt, const char *text)
try {
    unsigned char id[kIdLen];
    if (pkt == nullptr || !decode_id_text(text, id))
        return fail(kInval);
    return n_pkt_set_srcid(pkt, id);
} catch (...) {
    return failed_by_exception(n_pkt_set_srcid_str);
}

int n_util_escape(unsigned char *dst, const unsigned char *src, int srclen, int dstlen)
try {
    if (srclen < 0)
        srclen = 0;
    if ((src == nullptr && srclen > 0) || (dst == nullptr && dstlen > 0))
        return fail(kInval);
    if (dstlen <= 0)
        return escaped_size(src, 0, srclen, 2);  // no room at all: only report the size
    dst[0] = kStart;
    int j = 1;
    int i = 0;
    for (; i < srclen && j < dstlen - 1; ++i) {
        const unsigned char b = src[i];
        if (needs_escape(b)) {
            dst[j++] = kMarker;
            dst[j++] = static_cast<unsigned char>(b + 1);
        } else {
            dst[j++] = b;
        }
    }
    if (i == srclen && j < dstlen) {
        dst[j] = kEnd;
        return j + 1;
    }
    // Cut: the end byte takes the last position (replacing the second byte
    // of an escape pair that reached it), and the result tells the caller how
    // much room the whole form needs.
    dst[dstlen - 1] = kEnd;
    return escaped_size(src, i, srclen, j + 1LL);
} catch (...) {
    return failed_by_exception(n_util_escape);
}

int n_util_unescape(unsigned char *dst, const unsigned char *src, int srclen, int dstlen)
try {
    if (srclen < 0)
        srclen = 0;
    if ((src == nullptr && srclen > 0) || (dst == nullptr && dstlen > 0))
        return fail(kInval);
    int i = 0;
    while (i < srclen && src[i] != kStart)
        ++i;
    if (i >= srclen)
        return 0;  // no start byte
    ++i;

    int stored = 0;
    bool escaped = false;
    for (; i < srclen && src[i] != kEnd && stored < dstlen; ++i) {
        const unsigned char b = src[i];
        if (b == kMarker) {
            escaped = true;
        } else if (escaped) {
            if (b != 0x01 && b != 0xC1 && b != 0xDC)
                return fail(kIlSeq);
            dst[stored++] = static_cast<unsigned char>(b - 1);
            escaped = false;
        } else {
            dst[stored++] = b;
        }
    }
    if (i >= srclen || src[i] == kEnd)
        return stored;
    // The buffer is full but the frame goes on: count what it decodes to.
    int need = stored;
    for (; i < srclen && src[i] != kEnd; ++i)
        if (src[i] != kMarker)
            ++need;
    return need;
} catch (...) {
    return failed_by_exception(n_util_unescape);
}

}  // extern "C"
