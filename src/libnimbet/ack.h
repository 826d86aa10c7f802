// SPDX-License-Identifier: MIT
// Acknowledgements: replies, and senders waiting for a reply.
#pragma once

#include <cstddef>

#include "frame.h"
#include "socket.h"

namespace nimbet {

// What an acknowledgement is made of: the requester's identifier, and the
// request's first "CAD" and "CAC" tuples.
struct AckRequest {
    const unsigned char *srcid;
    TupleAt cad;
    TupleAt cac;
};

AckRequest ack_request_of(const FrameView &view);

// A transfer part's request copied out of the datagram that carried it, to
// be acknowledged once that datagram is gone: the requester, the "CAD" it
// addressed (an identifier) and its "CAC" (control and sequence bytes).
class KeptRequest {
public:
    KeptRequest() = default;
    explicit KeptRequest(const AckRequest &r);
    AckRequest request() const;

private:
    static constexpr uint8_t kCacMax = 2;
    unsigned char srcid_[kIdLen] = {};
    unsigned char cad_[kIdLen] = {};
    unsigned char cac_[kCacMax] = {};
    uint8_t cad_len_ = 0, cac_len_ = 0;
};

// What an acknowledgement carries beyond the plain protocol's tuples, between
// nodes of this library: a transfer descriptor's echo, or the request
// identifier ("CAR": the request's own, or an empty one that says this node
// takes identifiers).
struct AckExtras {
    const Descriptor *echo = nullptr;
    bool mark = false;             // a "CAR" tuple
    const RequestId *id = nullptr;  // its data (none: an empty "CAR")
};

// Sends the acknowledgement of a request through `rec`: "ACM", the request's
// "CAC" data with the reply bit set, then "CAD" naming the requester, under
// the identifier the request addressed; the extras follow the "CAC" where
// they fit the 64-byte tuple area. 0, or -1 with 227 (no usable
// "CAC"/"CAD", or a reply that would not fit the 64-byte tuple area) or the
// send's error.
int ack_reply(socket_record *rec, const AckRequest &req, const AckExtras &extras = {});

// The acknowledgement of a received packet through socket ack_fd; marks the
// packet acknowledged on success. As ack_reply, or -1 with 22 (null packet,
// unknown socket).
int send_ack_reply(int ack_fd, n_pkt *request);

// The calling thread's wake-up descriptor (an eventfd), made on first use.
int thread_wake_fd();
// Reads away pending wake-ups.
void drain_wake_fd(int fd);

}  // namespace nimbet
