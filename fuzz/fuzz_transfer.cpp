// SPDX-License-Identifier: MIT
// Fuzzes receiving transfers from many sources: parts in any order, repeated, lying about their kind,
// with or without descriptors, and the timers in between. What a receiver finishes is what was sent,
// and what it holds stays within its limits.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frag.h"
#include "recv.h"
#include "fuzz_node.h"
#include "socket.h"

using namespace nimbet;

namespace {

constexpr uint16_t kPort = 47701;
using nimbet::fuzz::kSelf;
const unsigned char kType[2] = {0x12, 0x34};

// The node under test drives transfers.
socket_record *node()
{
    static socket_record *rec = [] {
        socket_record *r = nimbet::fuzz::node(kPort);
        n_socket_set_option(r->fd, SOCKET_FRAG, 1);
        return r;
    }();
    return rec;
}

// What source s sends in its transfer number v (0 or 1): a length and bytes
// of its own, announced under nonce (s << 8) | (v + 1), or (s << 8) | 0x10 |
// (v + 1) by a sender that switched nonces in the middle of a transfer.
uint32_t length_of(unsigned s, unsigned v) { return 1 + (s * 37 + v * 101) % 600; }
unsigned char byte_of(unsigned s, unsigned v, uint32_t i) { return static_cast<unsigned char>(s * 131 + i * 7 + v * 13); }

std::vector<unsigned char> data_of(unsigned s, unsigned v)
{
    std::vector<unsigned char> d(length_of(s, v));
    for (uint32_t i = 0; i < d.size(); ++i)
        d[i] = byte_of(s, v, i);
    return d;
}

void tuple(std::vector<unsigned char> &f, const unsigned char type[2], const unsigned char *data, std::size_t len)
{
    f.push_back(type[0]);
    f.push_back(type[1]);
    f.push_back(static_cast<unsigned char>(len));
    f.insert(f.end(), data, data + len);
}

// Part p of transfer v of source s, as its sender builds it (flags bit 0: a
// descriptor, with the part index; bit 1: the kind lies; bit 2: the
// descriptor carries another nonce for the same data; bit 5: the index lies
// by 256).
std::vector<unsigned char> part_frame(unsigned s, unsigned v, unsigned p, unsigned flags)
{
    const std::vector<unsigned char> data = data_of(s, v);
    const uint32_t off = std::min<uint32_t>(p * FRAG_PART_SIZE, static_cast<uint32_t>(data.size()));
    const uint32_t len = std::min<uint32_t>(FRAG_PART_SIZE, static_cast<uint32_t>(data.size()) - off);
    const bool last = off + len == data.size();
    std::vector<unsigned char> f(PACKET_HEADER_SIZE, 0);
    f[0] = 2;
    const unsigned char src[8] = {1, 1, 1, 1, 20, 0, 0, static_cast<unsigned char>(s)};
    std::memcpy(f.data() + 45, src, 8);
    f[53] = static_cast<unsigned char>(p);
    tuple(f, kType, data.data() + off, len);
    tuple(f, kTypeCAD, kSelf, 8);
    const unsigned char cac[2] = {static_cast<unsigned char>((last != ((flags & 2) != 0)) ? 4 : 2),
                                  static_cast<unsigned char>(p)};
    tuple(f, kTypeCAC, cac, 2);
    if (flags & 1) {
        Descriptor d{true, static_cast<uint8_t>(kDescIndex | (p == 0 ? kDescFirst : 0) | (last ? kDescLast : 0)),
                     (s << 8) | ((flags & 4) ? 0x10u : 0u) | (v + 1), static_cast<uint32_t>(data.size()),
                     crc32_update(0, data.data(), data.size()), (flags & 32) ? p + 256 : p};
        unsigned char desc[kDescMax];
        tuple(f, kTypeCAT, desc, write_descriptor(d, desc));
    }
    f.resize(f.size() + 2);
    n_util_crc16_append(f.data(), static_cast<unsigned>(f.size()));
    return f;
}

int max_transfers = 1;
uint32_t max_bytes = 1;

void check_invariants()
{
    int held = 0;
    int aborted = 0;
    for (const FragRef &ref : frag_snapshot()) {
        n_frag *f = ref.get();
        const FragLock lock(f);
        if (!frag_receiving(f))
            continue;
        const unsigned state = frag_state(f);
        N_ASSERT(f->done_len <= max_bytes, "never more than the limit");
        if (state == FRAG_ABORTED) {
            ++aborted;
            N_ASSERT(f->frag_data == nullptr && ChunkQueue::empty(f->frag_obstack), "aborted holds nothing");
            continue;
        }
        ++held;
        if (state == FRAG_FINISHED && f->described) {
            // A transfer that carried a descriptor finishes only with the
            // very bytes its sender sent, in order.
            const unsigned s = f->id[7];
            const unsigned v = (f->nonce & 0x0f) - 1;
            N_ASSERT(v <= 1, "a nonce some sender used");
            const std::vector<unsigned char> want = data_of(s, v);
            N_ASSERT(f->total_len == want.size() && f->frag_data != nullptr &&
                         std::memcmp(f->frag_data, want.data(), want.size()) == 0,
                     "finished data are what was sent");
        }
    }
    N_ASSERT(held <= max_transfers, "no more transfers than the limit");
    N_ASSERT(aborted <= 4 * max_transfers + 1, "aborted transfers are reclaimed");
}

}  // namespace

// Input: a byte of limits (transfers 1..8, bytes 64..4096 in steps of 64),
// then records of four bytes: source (0..255), part number, flags (bits 0..2
// as part_frame; bit 3: transfer 1 instead of 0; bit 4: age every
// transfer by the fourth byte x 16 ms and serve the timers first).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    socket_record *rec = node();
    max_transfers = 1 + (data[0] & 7);
    max_bytes = 64u * (1u + (data[0] >> 3));
    n_socket_set_frag_limits(rec->fd, max_transfers, max_bytes);
    static Delivered d;
    for (std::size_t off = 1; off + 4 <= size; off += 4) {
        const unsigned s = data[off];
        const unsigned p = data[off + 1];
        const unsigned flags = data[off + 2];
        if (flags & 16) {
            nimbet::fuzz::age(data[off + 3] * 16u);
            frag_serve_timers(rec, (flags & 32) != 0);
        }
        const std::vector<unsigned char> f = part_frame(s, (flags >> 3) & 1, p, flags & 7);
        std::memcpy(d.buf, f.data(), f.size());
        process_datagram(rec, rec, d, f.size(), false);
        check_invariants();
    }
    nimbet::fuzz::forget_transfers();
    return 0;
}
