// The fragmentation record and the internal operations that the receive path uses.
#pragma once

#include "_obstack.h"
#include "internal.h"

/*
 * One side of a fragmented transfer, named by the peer's identifier. A sender
 * owns a copy of the whole data (frag_data) and has one part in flight
 * (part_len bytes from done_len); a receiver collects parts in the chunk
 * stack and joins them into frag_data when the last part arrives. Records
 * belong to the registry; n_frag_delete frees them.
 */
struct n_frag {
    unsigned char id[8];
    uint16_t status;          // FRAG_ state and FRAG_RECEIVING
    uint32_t total_len;       // sender: whole data; receiver: 0 until finished
    uint32_t done_len;        // sender: acknowledged bytes; receiver: stored bytes
    uint8_t part_len;         // sender: bytes of the part in flight, 0 between parts
    int32_t socket;           // descriptor used for parts (sender) or acknowledgements (receiver)
    int32_t retries;          // retransmissions left (sender), timeout periods to wait (receiver)
    uint32_t last_time;       // n_util_getmstime() of the last part sent or stored
    uint8_t part_no;          // parts acknowledged / stored, modulo 256; the "CAC" sequence byte
    unsigned char data_type[2];
    unsigned char *frag_data;
    nimbet::chunk_stack frag_obstack;
    nimbet::TqLink<n_frag> link;
};

namespace nimbet {

// New zero-filled record (not yet registered); null with 22 when fd names no
// socket, 12 without memory.
n_frag *frag_new(int fd, const unsigned char *id, const unsigned char *type, bool receiving);

// The process-wide registry, in lookup order (receivers at the front,
// senders at the back).
TqHead<n_frag> &frag_registry();

// Stores the part carried by pkt and acknowledges it; 0 or -1.
int frag_take_part(n_frag *f, n_pkt *pkt);

}  // namespace nimbet
