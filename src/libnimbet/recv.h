// What the receive path decides about a frame, kept apart from the system calls that move it.
#pragma once

#include <cstddef>

#include "internal.h"
#include "socket.h"

namespace nimbet {

// Binds the socket on its first receive (SOCKET_BOUND set); false when the
// system refuses the bind.
bool ensure_bound(socket_record *rec);

// What a received frame is, from its tuples and the receiving socket's
// identifier alone.
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

Classified classify_frame(n_pkt *pkt, const unsigned char self_id[8]);

// What happens to a frame once its effects (acknowledgements, duplicate
// history, fragmentations) have been applied.
enum class Outcome {
    Deliver,   // hand the packet to the application
    Ignore,    // not for the application: a blocking receive waits for the next frame
    Invalid,   // malformed control data: the receive fails with 11
    Consumed,  // a fragment taken by the fragmentations: the receive fails with 227
};

// Applies the effects of one parsed frame received on `rec` and says what
// becomes of it. ack_fd is the socket acknowledgements go out through (0:
// none for single requests; fragments then use the receiving socket).
Outcome handle_frame(socket_record *rec, int ack_fd, n_pkt *pkt);

// Fragment timers: retransmit overdue parts, abort transfers that ran out of
// retries or heard nothing for too long. Run before every read of a socket
// with SOCKET_FRAG, with that socket's timeout.
void serve_fragment_timers(const socket_record *rec);

// Milliseconds until the next fragment timer can change anything (0 when
// one is due now), or -1 when no fragmentation waits on a timer.
int next_timer_delay(const socket_record *rec);

// The process-wide history of accepted requests, which suppresses repeats.
bool ack_history_contains(const unsigned char id[8], uint8_t seq);
void ack_history_add(const unsigned char id[8], uint8_t seq);
std::size_t ack_history_size();
void ack_history_clear();

}  // namespace nimbet
