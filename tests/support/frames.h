// SPDX-License-Identifier: MIT
// Frames built byte by byte, as a peer (or a hostile sender) puts them on the wire, and read back from the wire.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "nimbet/nimbet.h"
#include "support/nodes.h"

namespace nimbet::test {

using Bytes = std::vector<unsigned char>;

// n bytes from a seeded generator: the same seed gives the same bytes.
inline Bytes random_bytes(std::size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v(n);
    for (unsigned char &c : v)
        c = static_cast<unsigned char>(rng());
    return v;
}

// One tuple as it travels: two type bytes, then the data (its length byte is
// written by frame()).
struct WireTuple {
    unsigned char type0;
    unsigned char type1;
    Bytes data;
};

inline WireTuple cad(const Bytes &id) { return {0x6C, 0x80, id}; }
inline WireTuple cad(const NodeId &id) { return cad(Bytes(id.begin(), id.end())); }
inline WireTuple cac(unsigned char control, unsigned char seq) { return {0x66, 0x40, {control, seq}}; }
inline WireTuple acm() { return {0xA5, 0x0E, {}}; }
inline WireTuple payload(Bytes data) { return {0x12, 0x34, std::move(data)}; }
// A request identifier: session and counter, big-endian.
inline WireTuple car(uint32_t session, uint32_t counter)
{
    Bytes d(8);
    for (int i = 0; i < 4; ++i) {
        d[i] = static_cast<unsigned char>(session >> (24 - 8 * i));
        d[4 + i] = static_cast<unsigned char>(counter >> (24 - 8 * i));
    }
    return {0xC4, 0x00, d};
}

// A complete frame: format 2, zero location, the source identifier, the
// sequence number, the tuples, and a valid CRC.
inline Bytes frame(const NodeId &src, unsigned char seq, const std::vector<WireTuple> &tuples)
{
    Bytes f(PACKET_HEADER_SIZE, 0);
    f[0] = 2;
    std::copy(src.begin(), src.end(), f.begin() + 45);
    f[53] = seq;
    for (const WireTuple &t : tuples) {
        f.push_back(t.type0);
        f.push_back(t.type1);
        f.push_back(static_cast<unsigned char>(t.data.size()));
        f.insert(f.end(), t.data.begin(), t.data.end());
    }
    f.resize(f.size() + 2);
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    return f;
}

// Spoils the CRC trailer so that checking the frame leaves a register of
// 0x00NN: wrong in its low byte only, where a flipped bit always shows in the
// high byte too. The change to the trailer is found by trying: the register
// it leaves is the CRC of its two bytes alone.
inline Bytes with_crc_wrong_in_low_byte_only(Bytes f)
{
    for (unsigned d = 1; d <= 0xFFFF; ++d) {
        const unsigned char delta[2] = {static_cast<unsigned char>(d >> 8), static_cast<unsigned char>(d)};
        unsigned char hi = 0, lo = 0;
        n_util_crc16(delta, 2, &hi, &lo);
        if (hi == 0) {
            f[f.size() - 2] ^= delta[0];
            f[f.size() - 1] ^= delta[1];
            break;
        }
    }
    return f;
}

// The acknowledgement a node with identifier `self` sends for a request (or
// a fragment) from `requester` with "CAC" control byte and sequence.
inline Bytes ack_frame(const NodeId &self, const NodeId &requester, unsigned char control, unsigned char seq)
{
    return frame(self, 1, {acm(), cac(static_cast<unsigned char>(control | 1), seq), cad(requester)});
}

// The "CAC" bytes of a frame on the wire, found by walking its tuples;
// {-1, -1} when it has none.
struct WireControl {
    int control = -1;
    int seq = -1;
};

inline WireControl wire_control(const Bytes &f)
{
    std::size_t off = PACKET_HEADER_SIZE;
    while (f.size() >= 2 && off + 3 <= f.size() - 2) {
        const std::size_t len = f[off + 2];
        if (f[off] == 0x66 && f[off + 1] == 0x40 && len >= 2 && off + 3 + len <= f.size())
            return {f[off + 3], f[off + 4]};
        off += 3 + len;
    }
    return {};
}

// The data of the first tuple of a type in a frame on the wire; false when
// it has none.
inline bool wire_tuple(const Bytes &f, unsigned char t0, unsigned char t1, Bytes &out)
{
    std::size_t off = PACKET_HEADER_SIZE;
    while (f.size() >= 2 && off + 3 <= f.size() - 2) {
        const std::size_t len = f[off + 2];
        if (off + 3 + len > f.size() - 2)
            break;
        if (f[off] == t0 && f[off + 1] == t1) {
            out.assign(f.begin() + static_cast<long>(off) + 3, f.begin() + static_cast<long>(off + 3 + len));
            return true;
        }
        off += 3 + len;
    }
    return false;
}

inline NodeId wire_source(const Bytes &f)
{
    NodeId id{};
    if (f.size() >= PACKET_HEADER_SIZE)
        std::copy(f.begin() + 45, f.begin() + 53, id.begin());
    return id;
}

// How many frames on the wire are acknowledgements from node `from` addressed to node `to`.
inline int acks_seen(const std::vector<Bytes> &wire, const NodeId &from, const NodeId &to)
{
    int found = 0;
    for (const Bytes &f : wire) {
        Bytes addressed;
        if (wire_source(f) == from && wire_control(f).control == 1 && wire_tuple(f, 0x6C, 0x80, addressed))
            found += addressed == Bytes(to.begin(), to.end());
    }
    return found;
}

// A filter chain that passes only the frames of node `source`.
inline int chain_passing_only(const NodeId &source)
{
    const int chain = n_filter_create(nullptr);
    EXPECT_EQ(chain, n_filter_add(chain, FILTER_TYPE_ID, source.data()));
    return chain;
}

}  // namespace nimbet::test
