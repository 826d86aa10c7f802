// SPDX-License-Identifier: MIT
// Fuzzes the receive path on bytes alone: frames are parsed and handled as if they arrived on a socket, with
// acknowledgements, the repeat history, fragmentations of both directions and their timers in play.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ack.h"
#include "frag.h"
#include "history.h"
#include "recv.h"
#include "fuzz_node.h"
#include "socket.h"

using namespace nimbet;

namespace {

constexpr uint16_t kPort = 47700;
using nimbet::fuzz::kSelf;
const unsigned char kType[2] = {0x12, 0x34};

socket_record *node() { return nimbet::fuzz::node(kPort); }

// What must hold after every frame, whatever it was.
void check_invariants()
{
    const std::vector<FragRef> all = frag_snapshot();
    for (std::size_t i = 0; i < all.size(); ++i) {
        n_frag *f = all[i].get();
        const FragLock lock(f);
        for (std::size_t j = i + 1; j < all.size(); ++j)
            N_ASSERT(!same_id(f->id, all[j]->id), "one fragmentation per peer");
        const unsigned state = f->status & FRAG_STATE_MASK;
        N_ASSERT(state != 3 && (f->status & ~(FRAG_STATE_MASK | FRAG_RECEIVING)) == 0, "known status bits");
        if (state == FRAG_ABORTED)
            N_ASSERT(f->frag_data == nullptr && ChunkQueue::empty(f->frag_obstack), "aborted holds nothing");
        if (f->status & FRAG_RECEIVING) {
            N_ASSERT(f->part_len == 0, "receivers have no part in flight");
            if (state == FRAG_FINISHED)
                N_ASSERT(f->total_len == f->done_len && ChunkQueue::empty(f->frag_obstack), "joined once");
            if (state == FRAG_ACTIVE)
                N_ASSERT(f->total_len == 0, "length known only at the end");
            if (f->described && state != FRAG_ABORTED)
                N_ASSERT(f->done_len <= f->expected_total, "never more than announced");
        } else {
            N_ASSERT(f->done_len + f->part_len <= f->total_len, "sender stays inside its data");
            N_ASSERT(state != FRAG_FINISHED || f->done_len == f->total_len, "finished sender sent all");
        }
    }
}

// One frame as the read would hand it over: never more than 311 bytes.
void handle_bytes(socket_record *rec, socket_record *ack, const uint8_t *bytes, std::size_t n, bool fix_crc)
{
    if (n > SOCKET_RECV_BUFFER)
        return;
    // An exact-size copy, so that any read past the datagram is caught.
    std::vector<unsigned char> frame(bytes, bytes + n);
    if (fix_crc && n >= 2)
        n_util_crc16_append(frame.data(), static_cast<unsigned>(n));
    static Delivered d;
    if (n != 0)
        std::memcpy(d.buf, frame.data(), n);
    FrameView view;
    const bool parses = view_frame(frame.data(), n, view) == Reject::None;
    const Received r = process_datagram(rec, ack, d, n, false);
    if (!parses) {
        N_ASSERT(r == Received::Rejected, "what does not parse is rejected");
    } else {
        const Classified c = classify_frame(view, rec->id);
        if (c.cls == FrameClass::Fragment)
            N_ASSERT(r == ((rec->options & SOCKET_RECV_ALL) ? Received::Frame : Received::Consumed),
                     "fragments go to the application only with SOCKET_RECV_ALL");
        if (c.cls == FrameClass::Invalid)
            N_ASSERT(r == Received::Invalid, "invalid control is refused");
        if (r == Received::Frame) {
            PacketPtr pkt(n_pkt_alloc());
            N_ASSERT(n_pkt_parse(pkt.get(), d.buf, static_cast<unsigned>(n)) == 0, "delivered frames parse");
        }
    }
    check_invariants();
}

}  // namespace

// Input: a settings byte (bit 0 SOCKET_AUTOACK, bit 1 SOCKET_RECV_ALL, bit 2
// SOCKET_FRAG, bit 3 no acknowledgement socket, bit 4 write a valid CRC into
// every frame, bits 5..7 history capacity + 1), a byte of retry count (low
// nibble) and timeout (high nibble, 10 ms steps from -10), then records, each
// led by a 16-bit big-endian word h:
//   h & 0x8000  make every fragmentation (h & 0x7fff) ms older, serve the timers
//   h & 0x4000  start sending (h & 0xfff) bytes to the peer named by the next 8 bytes
//   otherwise   a frame of (h & 0x3fff) bytes (the rest, when fewer remain)
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    socket_record *rec = node();
    const uint8_t settings = data[0];
    rec->options &= ~static_cast<uint32_t>(SOCKET_AUTOACK | SOCKET_RECV_ALL | SOCKET_FRAG);
    rec->options |= (settings & 1 ? SOCKET_AUTOACK : 0) | (settings & 2 ? SOCKET_RECV_ALL : 0) |
                    (settings & 4 ? SOCKET_FRAG : 0);
    socket_record *ack = (settings & 8) ? nullptr : rec;
    const bool fix_crc = (settings & 16) != 0;
    n_socket_set_lastacks((settings >> 5) - 1);
    n_socket_set_retry(rec->fd, data[1] & 0x0f, (data[1] >> 4) * 10 - 10);

    std::size_t off = 2;
    while (off + 2 <= size) {
        const unsigned h = (static_cast<unsigned>(data[off]) << 8) | data[off + 1];
        off += 2;
        if (h & 0x8000) {
            nimbet::fuzz::age(h & 0x7fff);
            frag_serve_timers(rec, (h & 0x1) != 0);
            frag_next_timer(rec);
            check_invariants();
        } else if (h & 0x4000) {
            if (size - off < kIdLen)
                break;
            std::vector<unsigned char> bytes(h & 0x0fff);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<unsigned char>(i * 7);
            n_frag_init_send(rec->fd, data + off, bytes.data(), static_cast<uint32_t>(bytes.size()), kType);
            off += kIdLen;
            check_invariants();
        } else {
            const std::size_t n = std::min<std::size_t>(h & 0x3fff, size - off);
            handle_bytes(rec, ack, data + off, n, fix_crc);
            off += n;
        }
    }

    nimbet::fuzz::forget_transfers();
    ack_history_clear();
    n_socket_set_lastacks(5);
    return 0;
}
