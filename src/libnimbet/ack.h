// SPDX-License-Identifier: MIT
// Acknowledgements: replies, the history that suppresses repeated requests, senders waiting for a reply.
#pragma once

#include <atomic>
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

// Sends the acknowledgement of a request through `rec`: "ACM", the request's
// "CAC" data with the reply bit set, then "CAD" naming the requester, under
// the identifier the request addressed. With `echo`, that transfer
// descriptor follows the "CAC". 0, or -1 with 227 (no usable
// "CAC"/"CAD", or a reply that would not fit the 64-byte tuple area) or the
// send's error.
int ack_reply(socket_record *rec, const AckRequest &req, const Descriptor *echo);

// The acknowledgement of a received packet through socket ack_fd; marks the
// packet acknowledged on success. As ack_reply, or -1 with 22 (null packet,
// unknown socket).
int send_ack_reply(int ack_fd, n_pkt *request);

// The history of accepted requests, per pair of nodes (the receiving
// socket's identifier `self`, the requesting node `peer`): the newest
// `lastacks` sequence numbers of each pair. True when seq is a repeat: held,
// and first heard at most window_ms ago (a sender resends only while it
// retries); otherwise records it and returns false.
bool ack_history_repeat(const unsigned char self[8], const unsigned char peer[8], uint8_t seq, uint32_t window_ms);
// Entries held for all nodes together (for checks).
std::size_t ack_history_size();
void ack_history_clear();

// A sender in n_socket_send_acked, waiting on a socket for the reply to its
// request (`q` to node `dest`). Whichever thread receives that reply on the
// socket settles the wait and wakes the waiter through `wake_fd`.
struct AckWaiter {
    unsigned char dest[kIdLen];
    uint8_t q;
    int wake_fd;
    std::atomic<int> outcome{0};      // 0 waiting, 1 acknowledged, 2 malformed reply
    std::atomic<bool> woken{false};   // another thread wrote to wake_fd
    AckWaiter *next = nullptr;
};

void waiter_add(socket_record *rec, AckWaiter *w);
void waiter_remove(socket_record *rec, AckWaiter *w);

// Settles the waits on `rec` that a delivered frame answers.
void settle_waiters(socket_record *rec, const FrameView &view);

// The calling thread's wake-up descriptor (an eventfd), made on first use.
int thread_wake_fd();
// Reads away pending wake-ups.
void drain_wake_fd(int fd);

}  // namespace nimbet
