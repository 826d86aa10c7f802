// SPDX-License-Identifier: MIT
// Frames read in place and written in place: the receive and transfer paths work on bytes, not packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "internal.h"

namespace nimbet {

inline constexpr std::size_t kCrcLen = 2;
inline constexpr std::size_t kMaxFrame = SOCKET_RECV_BUFFER;

// One tuple inside a frame's bytes; empty when the frame has none.
struct TupleAt {
    const unsigned char *type = nullptr;
    const unsigned char *data = nullptr;
    uint8_t len = 0;
    explicit operator bool() const { return type != nullptr; }
};

// Why a datagram is not a frame.
enum class Reject { None, Short, Format, Crc, Layout };
const char *reject_reason(Reject r);

/*
 * A received frame, read without copying. It holds what classification and
 * the transfers need: the header, the first tuple, the first "CAD", the
 * first "ACM", the first "CAC" and the transfer descriptor that may follow
 * it. A frame accepted here parses with n_pkt_parse, and the other way round.
 */
struct FrameView {
    const unsigned char *bytes = nullptr;
    std::size_t len = 0;
    TupleAt first, cad, cac, acm, cat;
    const sockaddr_in *from = nullptr;  // the sender, when the frame came from the network

    const unsigned char *srcid() const { return bytes + 45; }
    uint8_t seq() const { return bytes[53]; }
};

// Checks a datagram as parsing does (length, format byte, CRC, tuples that
// tile the area before the CRC exactly) and fills the view.
Reject view_frame(const unsigned char *bytes, std::size_t len, FrameView &view);

// The first tuple of a type, or an empty one.
TupleAt find_tuple(const FrameView &view, const unsigned char type[2]);

/*
 * Transfer descriptor: a "CAT" tuple right after the "CAC" tuple of every
 * fragment and of its acknowledgement, between nodes of this library (nodes
 * that do not know it pass over it):
 *
 *   byte 0      flags: 0x01 first part, 0x02 last part, 0x04 acknowledgement echo, 0x08 part index
 *   bytes 1..4  transfer nonce, big-endian
 *   then        total length, big-endian             (with 0x01)
 *   then        CRC-32 of the whole data, big-endian (with 0x02)
 *   then        part index from 0, big-endian        (with 0x08)
 *
 * The part index tells a part, or its acknowledgement, from one 256 parts
 * older that carries the same sequence byte.
 */
inline constexpr unsigned char kTypeCAT[2] = {0xD0, 0x80};
inline constexpr uint8_t kDescFirst = 0x01;
inline constexpr uint8_t kDescLast = 0x02;
inline constexpr uint8_t kDescEcho = 0x04;
inline constexpr uint8_t kDescIndex = 0x08;
inline constexpr std::size_t kDescMax = 17;

struct Descriptor {
    bool present = false;
    uint8_t flags = 0;
    uint32_t nonce = 0;
    uint32_t total = 0;
    uint32_t crc = 0;
    uint32_t index = 0;

    bool has(uint8_t flag) const { return present && (flags & flag) != 0; }
};

// Reads the descriptor of a frame; not present when the "CAT" tuple is
// missing or does not hold what its flags announce.
Descriptor read_descriptor(const FrameView &view);

// Writes a descriptor's data into out (kDescMax bytes of room); its length.
std::size_t write_descriptor(const Descriptor &d, unsigned char *out);

// The values a socket stamps on a frame it builds.
struct Stamp {
    unsigned char loc[kLocLen];
    unsigned char id[kIdLen];
    uint8_t seq;
};

// Builds one frame in place: header, tuples in order, CRC.
class FrameWriter {
public:
    FrameWriter(const unsigned char loc[kLocLen], const unsigned char srcid[kIdLen], uint8_t seq);
    // Appends a tuple; false when it would not fit the buffer.
    bool tuple(const unsigned char type[2], const unsigned char *data, std::size_t len);
    // Appends the CRC; the finished frame.
    std::span<const unsigned char> finish();

private:
    unsigned char buf_[kMaxFrame];
    std::size_t len_ = PACKET_HEADER_SIZE;
};

// CRC-32 (the IEEE polynomial, as zlib's crc32): continue from `crc` (0 to start).
uint32_t crc32_update(uint32_t crc, const unsigned char *data, std::size_t len);

inline uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace nimbet
