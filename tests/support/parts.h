// SPDX-License-Identifier: MIT
// Parts of transfers made by hand, with or without the transfer descriptor, and a node that reads them one at a time.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <vector>

#include "frame.h"
#include "nimbet/nimbet.h"
#include "support/frames.h"
#include "support/nodes.h"

namespace nimbet::test {

// The transfer descriptor, as the tuple behind a part's "CAC".
inline WireTuple descriptor_tuple(const Descriptor &d)
{
    Bytes data(kDescMax);
    data.resize(write_descriptor(d, data.data()));
    return {kTypeCAT[0], kTypeCAT[1], data};
}

// A part from `from` to `to` without a descriptor: the data tuple, "CAD",
// "CAC" with `control` (2: more follow, 4: the last) and `seq`.
inline Bytes plain_part(const NodeId &from, const NodeId &to, unsigned char seq, unsigned char control,
                        const Bytes &data)
{
    return frame(from, seq, {payload(data), cad(to), cac(control, seq)});
}

// A part with a descriptor naming transfer `nonce` and the part's index
// (which gives the sequence byte); `flags` beside the index flag.
inline Bytes described_part(const NodeId &from, const NodeId &to, uint32_t nonce, uint32_t index,
                            unsigned char control, const Bytes &data, uint8_t flags = 0, uint32_t total = 0,
                            uint32_t crc = 0)
{
    const auto seq = static_cast<unsigned char>(index);
    const Descriptor d{true, static_cast<uint8_t>(flags | kDescIndex), nonce, total, crc, index};
    return frame(from, seq, {payload(data), cad(to), cac(control, seq), descriptor_tuple(d)});
}

// A whole described transfer in one part.
inline Bytes single_part(const NodeId &from, const NodeId &to, uint32_t nonce, const Bytes &data)
{
    return described_part(from, to, nonce, 0, 4, data, kDescFirst | kDescLast, static_cast<uint32_t>(data.size()),
                          crc32_update(0, data.data(), data.size()));
}

// Puts a datagram on the wire through socket `via`, and has the node on
// socket `node` take it: one receive, which returns at once, once the
// datagram is there. The packet it delivers, if any (caller frees), and
// whether the datagram arrived within two seconds.
struct Handed {
    bool arrived = false;
    n_pkt *packet = nullptr;
};

inline Handed hand_over(int via, int node, const Bytes &f)
{
    Handed h;
    if (n_socket_send_raw(via, f.data(), static_cast<int>(f.size())) != 1)
        return h;
    timeval two_seconds{2, 0};
    if (n_socket_select(node, &two_seconds) != 1)
        return h;
    h.arrived = true;
    h.packet = n_socket_recv(node, node);
    return h;
}

// The data of the transfer from `peer`; empty when there is none.
inline Bytes transfer_data(const NodeId &peer)
{
    Bytes got(64 * 1024);
    const int64_t n = n_frag_copy_data(peer.data(), got.data(), got.size());
    got.resize(n > 0 && static_cast<std::size_t>(n) <= got.size() ? static_cast<std::size_t>(n) : 0);
    return got;
}

inline n_socket_stats stats_of(int fd)
{
    n_socket_stats s{};
    n_socket_get_stats(fd, &s);
    return s;
}

inline int transfer_state(const NodeId &peer)
{
    return n_frag_get_status(peer.data(), FRAG_STATE_MASK);
}

// What `read` makes of each frame from `from` that the tap hears within `ms`.
template <class Read>
auto frames_from(Tap &tap, const NodeId &from, Read read, int ms = 20)
{
    std::vector<decltype(read(Bytes{}))> out;
    for (const Bytes &f : tap.drain(ms))
        if (wire_source(f) == from)
            out.push_back(read(f));
    return out;
}

}  // namespace nimbet::test
