// SPDX-License-Identifier: MIT
// Sending as the library's own modules do it: on socket records, from frames built in place.
#pragma once

#include <span>

#include "frame.h"
#include "held.h"
#include "socket.h"

namespace nimbet {

// What one frame needs from its socket, taken under the socket's lock in one
// step: the header values and a copy of the destination list.
struct Outgoing {
    Stamp stamp;
    int count = 0;
    sockaddr_in to[kMaxDestinations];
};

// The socket's location and identifier, its next sequence number (the
// counter advances), and its destinations.
Outgoing prepare(socket_record *rec);

// Sends a finished frame to every destination in `out`: 1 when any took it,
// else -1 with the first refusal's errno as the system cause and the number
// that fits it (11 no buffer space, 12, 13 not permitted, 9, 22 too long,
// 227 anything else, such as an unreachable network; 225 without any
// destination). Counts the frame (and `also`, when it went) and reports
// `event` to the trace hook. While the thread holds a library lock the
// frame waits until it holds none (held.h) and 1 is returned: a SentFrames
// made by the call learns whether it went.
int transmit(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
             SentCounter also = nullptr);

// The same, at once, whatever the thread holds.
int transmit_now(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
                 SentCounter also = nullptr);

// n_socket_send on a record.
int send_packet(socket_record *rec, n_pkt *packet);

}  // namespace nimbet
