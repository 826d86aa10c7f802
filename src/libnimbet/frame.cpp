// SPDX-License-Identifier: MIT
// Frames read and written in place, the transfer descriptor, and the CRC-32 that it carries.
#include "frame.h"

#include <array>
#include <utility>
#include <cstring>

#include "packet.h"

namespace nimbet {

namespace {

// CRC-32 tables for eight bytes at a time: table k gives the register
// contribution of a byte that has k more bytes after it in the step.
constexpr std::array<std::array<uint32_t, 256>, 8> make_crc32_tables()
{
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (std::size_t k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    return t;
}

constexpr auto kCrc32 = make_crc32_tables();

}  // namespace

const char *reject_reason(Reject r)
{
    switch (r) {
    case Reject::None:
        return "none";
    case Reject::Short:
        return "short";
    case Reject::Format:
        return "format";
    case Reject::Crc:
        return "crc";
    case Reject::Layout:
        return "tuple layout";
    }
    return "unknown";
}

Reject view_frame(const unsigned char *bytes, std::size_t len, FrameView &view)
{
    view = FrameView{};
    if (len < PACKET_MIN_FRAME)
        return Reject::Short;
    if (bytes[kFormatOffset] != kFrameFormat)
        return Reject::Format;
    if (n_util_crc16_check(bytes, static_cast<unsigned>(len)) != 1)
        return Reject::Crc;
    view.bytes = bytes;
    view.len = len;
    // Every tuple header and every data byte must lie before the CRC: a
    // hostile length byte can never make a reader leave the datagram.
    const std::size_t end = len - kCrcLen;
    std::size_t off = kTuplesOffset;
    bool after_cac = false;
    while (off < end) {
        const std::size_t size = tuple_extent(bytes, off, end);
        if (size == 0)
            return Reject::Layout;
        const TupleAt t{bytes + off, bytes + off + kTupleHeader, bytes[off + kTupleLenOffset]};
        if (!view.first)
            view.first = t;
        if (after_cac && same_type(t.type, kTypeCAT))
            view.cat = t;
        after_cac = false;
        if (!view.cad && same_type(t.type, kTypeCAD))
            view.cad = t;
        if (!view.car && same_type(t.type, kTypeCAR))
            view.car = t;
        if (!view.acm && same_type(t.type, kTypeACM))
            view.acm = t;
        if (!view.cac && same_type(t.type, kTypeCAC)) {
            view.cac = t;
            after_cac = true;
        }
        off += size;
    }
    return Reject::None;
}

bool tuples_tile(const unsigned char *bytes, std::size_t len)
{
    const std::size_t end = len - kCrcLen;
    for (std::size_t off = kTuplesOffset; off < end;) {
        const std::size_t size = tuple_extent(bytes, off, end);
        if (size == 0)
            return false;
        off += size;
    }
    return true;
}

TupleAt find_tuple(const FrameView &view, const unsigned char type[2])
{
    const std::size_t end = view.len - kCrcLen;
    for (std::size_t off = kTuplesOffset; off < end; off += tuple_size(view.bytes[off + kTupleLenOffset]))
        if (same_type(view.bytes + off, type))
            return {view.bytes + off, view.bytes + off + kTupleHeader, view.bytes[off + kTupleLenOffset]};
    return {};
}

Descriptor read_descriptor(const FrameView &view)
{
    Descriptor d;
    if (!view.cat || view.cat.len < 5)
        return d;
    const unsigned char *p = view.cat.data;
    d.flags = p[0];
    d.nonce = get_be32(p + 1);
    std::size_t off = 5;
    for (auto [flag, field] : {std::pair{kDescFirst, &d.total}, {kDescLast, &d.crc}, {kDescIndex, &d.index}}) {
        if ((d.flags & flag) == 0)
            continue;
        if (view.cat.len < off + 4)
            return d;
        *field = get_be32(p + off);
        off += 4;
    }
    if ((d.flags & kDescWindow) != 0) {
        if (view.cat.len < off + 1)
            return d;
        d.window = p[off];
        off += 1;
    }
    if ((d.flags & kDescStored) != 0) {
        if (view.cat.len < off + 4)
            return d;
        d.stored = get_be32(p + off);
        off += 4;
    }
    if ((d.flags & kDescHeld) != 0) {
        if (view.cat.len < off + kHeldBytes)
            return d;
        std::memcpy(d.held.data(), p + off, kHeldBytes);
    }
    d.present = true;
    return d;
}

bool read_request_id(const FrameView &view, RequestId &out)
{
    if (!view.car || view.car.len != kRequestIdLen)
        return false;
    out.session = get_be32(view.car.data);
    out.counter = get_be32(view.car.data + 4);
    return true;
}

void write_request_id(const RequestId &id, unsigned char out[kRequestIdLen])
{
    put_be32(out, id.session);
    put_be32(out + 4, id.counter);
}

std::size_t write_descriptor(const Descriptor &d, unsigned char *out)
{
    out[0] = d.flags;
    put_be32(out + 1, d.nonce);
    std::size_t len = 5;
    for (auto [flag, field] : {std::pair{kDescFirst, d.total}, {kDescLast, d.crc}, {kDescIndex, d.index}}) {
        if ((d.flags & flag) == 0)
            continue;
        put_be32(out + len, field);
        len += 4;
    }
    if ((d.flags & kDescWindow) != 0)
        out[len++] = d.window;
    if ((d.flags & kDescStored) != 0) {
        put_be32(out + len, d.stored);
        len += 4;
    }
    if ((d.flags & kDescHeld) != 0) {
        std::memcpy(out + len, d.held.data(), kHeldBytes);
        len += kHeldBytes;
    }
    return len;
}

FrameBuilder::FrameBuilder(std::span<unsigned char> out, uint8_t format, const unsigned char loc[kLocLen],
                           const unsigned char srcid[kIdLen], uint8_t seq)
    : buf_(out.data()), cap_(out.size())
{
    N_ASSERT(cap_ >= kTuplesOffset + kCrcLen, "a frame buffer holds at least a header and a CRC");
    buf_[kFormatOffset] = format;
    std::memcpy(buf_ + kLocOffset, loc, kLocLen);
    std::memcpy(buf_ + kSrcIdOffset, srcid, kIdLen);
    buf_[kSeqOffset] = seq;
}

bool FrameBuilder::tuple(const unsigned char type[2], const unsigned char *data, std::size_t len)
{
    if (len > UINT8_MAX || cap_ - kCrcLen - len_ < tuple_size(len))
        return false;
    buf_[len_] = type[0];
    buf_[len_ + 1] = type[1];
    buf_[len_ + kTupleLenOffset] = static_cast<unsigned char>(len);
    if (len != 0)
        copy_short(buf_ + len_ + kTupleHeader, data, len);
    len_ += tuple_size(len);
    return true;
}

std::span<const unsigned char> FrameBuilder::finish()
{
    len_ += kCrcLen;
    n_util_crc16_append(buf_, static_cast<unsigned>(len_));
    return {buf_, len_};
}

uint32_t crc32_update(uint32_t crc, const unsigned char *data, std::size_t len)
{
    crc = ~crc;
    for (; len >= 8; len -= 8, data += 8) {
        const uint32_t lo = crc ^ (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                                   uint32_t{data[3]} << 24);
        crc = kCrc32[7][lo & 0xFFu] ^ kCrc32[6][(lo >> 8) & 0xFFu] ^ kCrc32[5][(lo >> 16) & 0xFFu] ^
              kCrc32[4][lo >> 24] ^ kCrc32[3][data[4]] ^ kCrc32[2][data[5]] ^ kCrc32[1][data[6]] ^
              kCrc32[0][data[7]];
    }
    for (; len != 0; --len, ++data)
        crc = kCrc32[0][(crc ^ *data) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

}  // namespace nimbet
