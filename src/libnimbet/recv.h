// SPDX-License-Identifier: MIT
// Receiving as the library's modules use it: waits with deadlines, classification, and the frames a wait delivers.
#pragma once

#include <cstddef>

#include "frame.h"
#include "internal.h"
#include "socket.h"

namespace nimbet {

// What a frame is, from its first "CAD" and "CAC" tuples and the receiving
// socket's identifier alone.
enum class FrameClass {
    ForEverybody,     // no "CAD" tuple
    ForOtherNode,     // "CAD" names another node (or is too short to name this one)
    ForThisNode,      // addressed here, no "CAC" tuple
    Acknowledgement,  // reply of a single acknowledged packet
    FragmentAck,      // reply of a fragment
    Request,          // single packet asking for acknowledgement
    Fragment,         // one part of a fragmented transfer
    Invalid,          // "CAC" of an unknown kind, or too short to carry control and sequence
};

struct Classified {
    FrameClass cls;
    uint8_t seq;  // the "CAC" sequence byte, where there is one
};

Classified classify_frame(const FrameView &view, const unsigned char self_id[8]);

// How long a receive may wait: not at all, until a time, or without limit.
// A wake descriptor, when given, ends the wait as soon as it is readable.
struct Wait {
    enum Kind { Now, Until, Forever } kind = Now;
    uint32_t until = 0;  // n_util_getmstime() value, for Until
    int wake_fd = -1;
    int ms = 0;          // the length of an Until wait from the moment it is made

    static Wait now() { return {}; }
    static Wait forever() { return {Forever, 0, -1, 0}; }
    static Wait for_ms(int ms)
    {
        if (ms < 0)
            return forever();
        return {Until, n_util_getmstime() + static_cast<uint32_t>(ms), -1, ms};
    }
};

// A frame that a receive hands to its caller: the datagram's bytes, the view
// of them, its sender, and whether it was acknowledged on receipt.
struct Delivered {
    unsigned char buf[kMaxFrame];
    FrameView view;
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    bool acked = false;
};

enum class Received {
    Frame,     // a frame to deliver is in Delivered
    Empty,     // the wait ended without one (nothing waiting, time out, woken)
    Closed,    // the socket was closed meanwhile
    Invalid,   // a "CAC" of an unknown kind (the receive fails with 11)
    Consumed,  // a fragment taken by the transfers (the receive fails with 227)
    Rejected,  // a datagram that is no frame, on a receive that does not wait (42)
};

// Receives on `rec` (bound already) until a frame is to be delivered or the
// wait ends, serving fragment timers when the socket has SOCKET_FRAG and
// applying every effect of what arrives (acknowledgements through `ack`,
// which may be null; repeats; transfers). A receive that waits passes over
// frames that are not delivered; one that does not wait reports them.
// With `filter` (a filter chain id), a request that does not pass it is
// neither acknowledged nor remembered: what the application drops is never
// reported delivered.
// With `hold`, a frame to deliver is kept for the next receive instead
// (the caller waits for an acknowledgement, which alone ends the wait).
Received receive_frame(socket_record *rec, socket_record *ack, const Wait &wait, Delivered &out, int filter = 0,
                       bool hold = false);

// The effects of one datagram of n bytes already in out.buf (n may exceed
// the buffer: the datagram was longer than a frame). Empty: nothing for the
// caller (a receive that waits goes on).
Received process_datagram(socket_record *rec, socket_record *ack, Delivered &out, std::size_t n, bool waiting,
                          int filter = 0, bool hold = false);

// n_socket_recv with a given wait: a frame kept by an earlier wait first,
// then what arrives; a new packet, or null with the error number.
n_pkt *receive_packet(socket_record *rec, int ack_fd, const Wait &wait, int filter = 0);

}  // namespace nimbet
