// SPDX-License-Identifier: MIT
// Acknowledged sends on sockets: the shell that sends, waits and queues events around the I/O-free core.
#pragma once

#include <cstdint>

#include "frame.h"
#include "socket.h"

namespace nimbet {

// Starts an acknowledged send of `packet` through `send`, its replies read
// on `recv`: adds "CAD", "CAC" (and "CAR" for a peer that takes request
// identifiers) to the packet, transmits it once, and registers it with
// recv's acknowledged sends. Its number (1 or more), or -1 with 22, 12, 227
// (retry 0, or a socket that cannot be bound, with the bind's errno) or the
// first transmission's error. A blocking send's outcome is for acked_wait;
// another's comes as an event on recv.
int64_t acked_start(socket_record *send, socket_record *recv, n_pkt *packet, const unsigned char *dest_id,
                    bool blocking);

// Receives on recv until the blocking send `number` has its outcome (frames
// that come meanwhile are kept for the next receive); 1 when it was
// acknowledged, else -1 with 227 (EBADMSG, ETIMEDOUT) or 9.
int acked_wait(socket_record *send, socket_record *recv, uint64_t number);

// A frame delivered on `rec`: settles the sends it replies to. True when it
// settled one that a caller waits for (the frame was its reply).
bool acked_on_reply(socket_record *rec, const FrameView &view);

// Resends and gives up the sends of `rec` that are due. Both return the
// milliseconds until the next deadline (0: due), or -1 when none waits.
int acked_serve(socket_record *rec);
int acked_next_ms(socket_record *rec);

// The socket is closing: its pending sends end with 9.
void acked_socket_closed(socket_record *rec);

}  // namespace nimbet
