// SPDX-License-Identifier: MIT
// Frames read in place and written in place: the receive and transfer paths work on bytes, not packets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "internal.h"

namespace nimbet {

/*
 * A frame, as it goes on the wire:
 *
 *   offset 0    format byte (2)
 *   1..44       location (44 bytes)
 *   45..52      source identifier (8 bytes)
 *   53          sequence number
 *   54..        tuples: type byte 0, type byte 1, data length n, n data bytes
 *   last 2      CRC-16 over every byte before it
 */
inline constexpr uint8_t kFrameFormat = 2;
inline constexpr std::size_t kFormatOffset = 0;
inline constexpr std::size_t kLocOffset = 1;
inline constexpr std::size_t kSrcIdOffset = kLocOffset + kLocLen;  // 45
inline constexpr std::size_t kSeqOffset = kSrcIdOffset + kIdLen;   // 53
inline constexpr std::size_t kTuplesOffset = kSeqOffset + 1;       // 54, PACKET_HEADER_SIZE
static_assert(kTuplesOffset == PACKET_HEADER_SIZE);

// A tuple: its type (2 bytes) and data length (1 byte), then the data.
inline constexpr std::size_t kTupleLenOffset = 2;
inline constexpr std::size_t kTupleHeader = 3;

inline constexpr std::size_t kCrcLen = 2;
inline constexpr std::size_t kMaxFrame = SOCKET_RECV_BUFFER;

// The bytes a tuple of `len` data bytes takes in a frame.
inline constexpr std::size_t tuple_size(std::size_t len) { return kTupleHeader + len; }

// Whether a tuple area of `bytes` bytes keeps to the limit of every frame a
// node builds (PACKET_ACL_MAX): the one check of what may be added.
inline constexpr bool fits_tuple_area(std::size_t bytes) { return bytes <= PACKET_ACL_MAX; }

// The one check that a tuple read from received bytes lies whole before
// `end` (the CRC): the size of the tuple at `off`, header and data, or 0
// when its header or its data would run past `end`. off < end.
inline std::size_t tuple_extent(const unsigned char *bytes, std::size_t off, std::size_t end)
{
    if (end - off < kTupleHeader || end - off - kTupleHeader < bytes[off + kTupleLenOffset])
        return 0;
    return tuple_size(bytes[off + kTupleLenOffset]);
}

// Whether the tuples of a frame of `len` bytes (len >= PACKET_MIN_FRAME)
// tile the area between the header and the CRC exactly.
bool tuples_tile(const unsigned char *bytes, std::size_t len);

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
 * first "ACM", the first "CAC", the transfer descriptor that may follow
 * it, and the first request identifier ("CAR"). A frame accepted here parses with n_pkt_parse, and the other way round.
 */
struct FrameView {
    const unsigned char *bytes = nullptr;
    std::size_t len = 0;
    TupleAt first, cad, cac, acm, cat, car;
    const sockaddr_in *from = nullptr;  // the sender, when the frame came from the network

    const unsigned char *srcid() const { return bytes + kSrcIdOffset; }
    uint8_t seq() const { return bytes[kSeqOffset]; }
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
 *   byte 0      flags: 0x01 first part, 0x02 last part, 0x04 acknowledgement echo, 0x08 part index,
 *               0x10 window, 0x20 parts stored, 0x40 parts held
 *   bytes 1..4  transfer nonce, big-endian
 *   then        total length, big-endian             (with 0x01)
 *   then        CRC-32 of the whole data, big-endian (with 0x02)
 *   then        part index from 0, big-endian        (with 0x08)
 *   then        window, 1 byte                       (with 0x10)
 *   then        parts stored in order, big-endian    (with 0x20)
 *   then        parts held ahead of their turn, 16 bytes (with 0x40): bit i
 *               (byte i / 8, from its low bit) for part stored + 1 + i
 *
 * The part index tells a part, or its acknowledgement, from one 256 parts
 * older that carries the same sequence byte. The window is offered by the
 * first part (the most parts its sender would keep in flight) and accepted
 * by that part's acknowledgement (the most its receiver takes). In a window
 * each acknowledgement also says how many parts the receiver stored in
 * order and which later parts it holds, so that a lost acknowledgement
 * costs no resend. A reader that does
 * not know these flags passes over their bytes, as they come last.
 */
inline constexpr unsigned char kTypeCAT[2] = {0xD0, 0x80};
inline constexpr uint8_t kDescFirst = 0x01;
inline constexpr uint8_t kDescLast = 0x02;
inline constexpr uint8_t kDescEcho = 0x04;
inline constexpr uint8_t kDescIndex = 0x08;
inline constexpr uint8_t kDescWindow = 0x10;
inline constexpr uint8_t kDescStored = 0x20;
inline constexpr uint8_t kDescHeld = 0x40;
inline constexpr std::size_t kHeldBytes = 16;
inline constexpr std::size_t kDescMax = 38;

struct Descriptor {
    bool present = false;
    uint8_t flags = 0;
    uint32_t nonce = 0;
    uint32_t total = 0;
    uint32_t crc = 0;
    uint32_t index = 0;
    uint8_t window = 0;
    uint32_t stored = 0;
    std::array<uint8_t, kHeldBytes> held{};

    bool has(uint8_t flag) const { return present && (flags & flag) != 0; }
};

// Reads the descriptor of a frame; not present when the "CAT" tuple is
// missing or does not hold what its flags announce.
Descriptor read_descriptor(const FrameView &view);

// Writes a descriptor's data into out (kDescMax bytes of room); its length.
std::size_t write_descriptor(const Descriptor &d, unsigned char *out);

/*
 * Request identifier: a "CAR" tuple that requests between nodes of this
 * library carry, and that their acknowledgements carry back:
 *
 *   in a request                 bytes 0..3 session, bytes 4..7 counter, big-endian
 *   in an acknowledgement        the request's 8 bytes, or none (0 bytes) for a
 *                                request without one: "I take identifiers"
 *
 * A sender draws a random session for each peer and counts its requests
 * within it, so no restart and no wrap of the sequence byte ever repeats an
 * identifier. A sender adds the tuple only for a peer whose acknowledgement
 * carried it, so a node that does not know it never sees it in a request;
 * nodes that do not know it pass over it in an acknowledgement.
 */
inline constexpr unsigned char kTypeCAR[2] = {0xC4, 0x00};
inline constexpr std::size_t kRequestIdLen = 8;

struct RequestId {
    uint32_t session = 0;
    uint32_t counter = 0;
    bool operator==(const RequestId &) const = default;
};

// The identifier of a request, when its "CAR" tuple holds one.
bool read_request_id(const FrameView &view, RequestId &out);
void write_request_id(const RequestId &id, unsigned char out[kRequestIdLen]);

// The values a socket stamps on a frame it builds.
struct Stamp {
    unsigned char loc[kLocLen];
    unsigned char id[kIdLen];
    uint8_t seq;
};

// The one writer of frames, for packets, transfer parts and
// acknowledgements alike: the header, then tuples in order, then the CRC,
// into the caller's buffer (at least a header and a CRC long).
class FrameBuilder {
public:
    FrameBuilder(std::span<unsigned char> out, uint8_t format, const unsigned char loc[kLocLen],
                 const unsigned char srcid[kIdLen], uint8_t seq);
    // Appends a tuple; false when it would not fit the buffer.
    bool tuple(const unsigned char type[2], const unsigned char *data, std::size_t len);
    // Appends the CRC; the finished frame.
    std::span<const unsigned char> finish();

private:
    unsigned char *buf_;
    std::size_t cap_;
    std::size_t len_ = kTuplesOffset;
};

// A frame of this library (format 2) built in a buffer of its own, large
// enough for any frame a node receives.
class FrameWriter {
public:
    FrameWriter(const unsigned char loc[kLocLen], const unsigned char srcid[kIdLen], uint8_t seq)
        : b_({buf_, sizeof buf_}, kFrameFormat, loc, srcid, seq)
    {
    }
    bool tuple(const unsigned char type[2], const unsigned char *data, std::size_t len)
    {
        return b_.tuple(type, data, len);
    }
    std::span<const unsigned char> finish() { return b_.finish(); }

private:
    unsigned char buf_[kMaxFrame];
    FrameBuilder b_;
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
