// The socket record, the socket registry and the socket operations shared by sending, receiving and transfers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "internal.h"

namespace nimbet {

inline constexpr int kMaxDestinations = SOCKET_MAX_DESTINATIONS;

// One open socket. Owned by the registry from n_socket_open to
// n_socket_close; the application holds only `fd`. The fields keep this
// order, which the record has always had.
//
//   fd | port | recv_from | num_interfaces | send_to[10] | retry | timeout
//      | id[8] | loc[44] | last_seq | ack_seq | options | link
struct socket_record {
    int fd;                    // system socket, key of the registry
    uint16_t port;             // network byte order; copied into a slot when it is written
    sockaddr_in *recv_from;    // owned; local address of the first bind, null for any address
    int32_t num_interfaces;    // destination slots in use, 0..10
    sockaddr_in send_to[kMaxDestinations];
    int32_t retry;             // transmissions of an acknowledged send, 0..255
    int32_t timeout;           // milliseconds to wait for an acknowledgement
    unsigned char id[kIdLen];  // stamped on outgoing frames, compared with incoming "CAD"
    unsigned char loc[kLocLen];
    uint8_t last_seq;          // sequence number of the last automatically numbered frame
    uint8_t ack_seq;           // counter of acknowledged sends
    uint32_t options;          // SOCKET_ bits
    TqLink<socket_record> link;
};

using SocketQueue = TailQueue<&socket_record::link>;

// The open socket with this descriptor, or null. Sets no error number.
socket_record *socket_lookup(int fd);

// Binds the system socket to recv_from, or to the record's port on any
// address. Returns the system result (0 on success). Does not touch
// SOCKET_BOUND; the receive path sets it.
int bind_socket(socket_record *rec);

// Blocking (on != 0) or non-blocking system socket, SOCKET_BLOCKING to
// match. Returns the previous state of SOCKET_BLOCKING (1 or 0), or -1 with
// 22 for a null record.
int set_blocking_mode(socket_record *rec, int on);

// Writes destination slot i (0..9): AF_INET, the record's current port, the
// address (4 bytes, network order); num_interfaces becomes i + 1. Returns 0,
// or -1 with 9 for a null record and 22 for a slot outside the array.
int set_destination_slot(socket_record *rec, const unsigned char *address, int i);

// Users of the platform network stack: every open socket and every running
// interface discovery hold one reference. 0, or -1 with 13.
int net_acquire();
int net_release();
// Current number of references (for checks that nothing leaked).
int net_users();

// Owns a malloc'd block and frees it with free().
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Owns a packet and frees it with n_pkt_free.
struct PacketFree {
    void operator()(n_pkt *p) const { n_pkt_free(p); }
};
using PacketPtr = std::unique_ptr<n_pkt, PacketFree>;

// The record's timeout as a wait in milliseconds. The setter stores any int;
// a negative one waits not at all (rather than some 49 days as an unsigned
// count).
inline uint32_t timeout_ms(const socket_record *rec)
{
    return rec->timeout > 0 ? static_cast<uint32_t>(rec->timeout) : 0u;
}

// Capacity of the process-wide acknowledgement history (initially 5).
extern int g_lastacks;

// Sends the acknowledgement of a received request through ack_fd: "ACM",
// the request's "CAC" data with the reply bit set, and "CAD" naming the
// requester, under the identifier the request addressed. Marks the request
// acknowledged on success. 0, or -1 with 227 (no usable "CAC"/"CAD"), 12,
// or the send's error. The request is not changed on failure.
int send_ack_reply(int ack_fd, n_pkt *request);

}  // namespace nimbet
