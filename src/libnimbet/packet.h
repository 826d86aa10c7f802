// SPDX-License-Identifier: MIT
// Packet records and frames: frame size, the serialiser that sending and the benchmarks share, short byte copies.
#pragma once

#include <cstring>
#include <span>

#include "internal.h"

namespace nimbet {

// Size of the frame a packet becomes: header, tuple area, CRC trailer.
inline std::size_t frame_size(const n_pkt *pkt) { return PACKET_HEADER_SIZE + pkt->acl_len + 2u; }

// Writes the frame of `pkt` into `out` exactly as it goes on the wire:
// format, location, source identifier, sequence, every tuple (type, length,
// data) and the CRC-16 over all of it. `out` must be frame_size(pkt) bytes.
// False, with `out` partly written, when the tuple list does not fill exactly
// that room (its recorded length disagrees with the tuples themselves).
bool serialise_packet(const n_pkt *pkt, std::span<unsigned char> out);
// The same with the given format byte in place of the packet's own.
bool serialise_packet(const n_pkt *pkt, std::span<unsigned char> out, uint8_t format);

// Fills a fresh packet from a received frame that has passed every check of
// n_pkt_parse already (length, format, CRC, tuples that tile the area), as
// n_pkt_parse would, without checking again. 0, or -1 with N_EINVAL (and
// ENOMEM as the cause) when a tuple cannot be allocated (the packet then
// holds none).
int parse_verified_frame(n_pkt *pkt, std::span<const unsigned char> frame);

// The flags a packet that parse_verified_frame fills from `frame` carries,
// without filling one.
uint32_t verified_frame_flags(std::span<const unsigned char> frame);

// Copies n bytes, n below 256 (the data of a tuple). Where the compiler
// knows that a length is that small, it inlines memcpy as a string
// instruction whose start-up costs more than the whole copy; with the bound
// hidden it calls the C library's memcpy, which copies such lengths in a few
// vector loads and stores.
inline void copy_short(unsigned char *dst, const unsigned char *src, std::size_t n)
{
    asm("" : "+r"(n));
    std::memcpy(dst, src, n);
}

}  // namespace nimbet
