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
    if (bytes[0] != 2)
        return Reject::Format;
    if (n_util_crc16_check(bytes, static_cast<unsigned>(len)) != 1)
        return Reject::Crc;
    view.bytes = bytes;
    view.len = len;
    // Every tuple header and every data byte must lie before the CRC: a
    // hostile length byte can never make a reader leave the datagram.
    const std::size_t end = len - kCrcLen;
    std::size_t off = PACKET_HEADER_SIZE;
    bool after_cac = false;
    while (off < end) {
        if (end - off < 3 || end - off - 3 < bytes[off + 2])
            return Reject::Layout;
        const TupleAt t{bytes + off, bytes + off + 3, bytes[off + 2]};
        if (!view.first)
            view.first = t;
        if (after_cac && same_type(t.type, kTypeCAT))
            view.cat = t;
        after_cac = false;
        if (!view.cad && same_type(t.type, kTypeCAD))
            view.cad = t;
        if (!view.acm && same_type(t.type, kTypeACM))
            view.acm = t;
        if (!view.cac && same_type(t.type, kTypeCAC)) {
            view.cac = t;
            after_cac = true;
        }
        off += 3u + t.len;
    }
    return Reject::None;
}

TupleAt find_tuple(const FrameView &view, const unsigned char type[2])
{
    const std::size_t end = view.len - kCrcLen;
    for (std::size_t off = PACKET_HEADER_SIZE; off < end; off += 3u + view.bytes[off + 2])
        if (same_type(view.bytes + off, type))
            return {view.bytes + off, view.bytes + off + 3, view.bytes[off + 2]};
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
    d.present = true;
    return d;
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
    return len;
}

FrameWriter::FrameWriter(const unsigned char loc[kLocLen], const unsigned char srcid[kIdLen], uint8_t seq)
{
    buf_[0] = 2;
    std::memcpy(buf_ + 1, loc, kLocLen);
    std::memcpy(buf_ + 45, srcid, kIdLen);
    buf_[53] = seq;
}

bool FrameWriter::tuple(const unsigned char type[2], const unsigned char *data, std::size_t len)
{
    if (len > UINT8_MAX || sizeof buf_ - kCrcLen - len_ < 3 + len)
        return false;
    buf_[len_] = type[0];
    buf_[len_ + 1] = type[1];
    buf_[len_ + 2] = static_cast<unsigned char>(len);
    if (len != 0)
        copy_short(buf_ + len_ + 3, data, len);
    len_ += 3 + len;
    return true;
}

std::span<const unsigned char> FrameWriter::finish()
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
