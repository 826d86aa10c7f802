// SPDX-License-Identifier: MIT
// Fuzzes the escaped stream form: escape then unescape gives the input back, and neither
// function writes past the room it is given, whatever that room is.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardLen = 16;

// An output area of `room` bytes between two guard zones.
struct Guarded {
    explicit Guarded(int room) : bytes(static_cast<std::size_t>(room > 0 ? room : 0) + 2 * kGuardLen, kGuard) {}
    unsigned char *data() { return bytes.data() + kGuardLen; }
    void check() const
    {
        for (std::size_t i = 0; i < kGuardLen; ++i)
            N_ASSERT(bytes[i] == kGuard && bytes[bytes.size() - 1 - i] == kGuard, "guard bytes intact");
    }
    std::vector<unsigned char> bytes;
};

int escaped_size(const uint8_t *src, std::size_t n)
{
    int need = 2;
    for (std::size_t i = 0; i < n; ++i)
        need += (src[i] == 0x00 || src[i] == 0xC0 || src[i] == 0xDB) ? 2 : 1;
    return need;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose output room; the rest is the payload.
    const int room_a = static_cast<int8_t>(data[0]);  // -128..127, small and below 2 included
    const int room_b = data[1];
    const uint8_t *src = data + 2;
    const int srclen = static_cast<int>(size - 2);
    // Exact-size copy of the input, so reads past srclen are caught.
    std::vector<unsigned char> in(src, src + srclen);

    // Round trip with enough room.
    const int need = escaped_size(src, static_cast<std::size_t>(srclen));
    Guarded esc(need);
    N_ASSERT(n_util_escape(esc.data(), in.data(), srclen, need) == need, "escape returns its size");
    esc.check();
    std::vector<unsigned char> frame(esc.data(), esc.data() + need);
    Guarded back(srclen);
    N_ASSERT(n_util_unescape(back.data(), frame.data(), need, srclen) == srclen, "unescape returns input size");
    N_ASSERT(srclen == 0 || std::memcmp(back.data(), in.data(), static_cast<std::size_t>(srclen)) == 0,
             "escape then unescape gives the input back");
    back.check();

    // Any room, including none and less than two bytes.
    for (int room : {room_a, room_b}) {
        Guarded cut(room);
        const int r = n_util_escape(cut.data(), in.data(), srclen, room);
        N_ASSERT(r == need, "escape reports the whole size");
        if (room >= 1)
            N_ASSERT(cut.data()[(need < room ? need : room) - 1] == 0xC0, "escaped form ends with the end byte");
        cut.check();

        Guarded out(room);
        const int u = n_util_unescape(out.data(), in.data(), srclen, room);
        N_ASSERT(u >= -1 && u <= srclen, "unescape result is bounded by the input");
        out.check();
    }
    return 0;
}
