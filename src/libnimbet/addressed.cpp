// SPDX-License-Identifier: MIT
// Addressed sending (one "CAD" tuple, sent once) and the entry points of acknowledged sending.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "acked_send.h"
#include "frag.h"
#include "internal.h"
#include "recv.h"
#include "send.h"
#include "socket.h"

using namespace nimbet;

namespace {

// An oversize packet holds one large tuple; it travels as a fragmented
// transfer of that tuple's data, under its type.
int send_fragmented(socket_record *rec, n_pkt *packet, const unsigned char *dest_id)
{
    n_acl *t = AclQueue::first(packet->acl_head);
    if (t == nullptr || dest_id == nullptr)
        return fail(kInval);
    return frag_start_send(rec, dest_id, t->data, t->len, t->type);
}

}  // namespace

extern "C" {

int n_socket_send_addressed(int fd, n_pkt *packet, const unsigned char *dest_id)
try {
    if (packet == nullptr)
        return fail(kInval);
    if (packet->flags & PACKET_OVERSIZE)
        return on_socket(fd, kInval, [&](socket_record *rec) { return send_fragmented(rec, packet, dest_id); });
    if (dest_id == nullptr)
        return fail(kInval);
    if (n_acl_add(packet, kTypeCAD, dest_id, kIdLen, 0) < 0)
        return fail(kNoMem);
    return n_socket_send(fd, packet);
} catch (...) {
    return failed_by_exception(n_socket_send_addressed);
}

int n_socket_send_addressed_str(int fd, n_pkt *packet, const char *dest_text)
try {
    if (dest_text == nullptr)
        return fail(kInval);
    unsigned char dest[kIdLen];
    if (!decode_destination(dest_text, dest))
        return fail(kIlSeq);
    return n_socket_send_addressed(fd, packet, dest);
} catch (...) {
    return failed_by_exception(n_socket_send_addressed_str);
}

int n_socket_send_acked(int send_fd, int recv_fd, n_pkt *packet, const unsigned char *dest_id)
try {
    if (packet == nullptr)
        return fail(kInval);
    return on_sockets(send_fd, recv_fd, kInval, [&](socket_record *send, socket_record *recv) {
        if (packet->flags & PACKET_OVERSIZE) {
            // A transfer's acknowledgements are read on recv_fd: it handles
            // fragments from now on, as after n_socket_send_buffer.
            set_option_bits(recv, SOCKET_FRAG, true);
            return send_fragmented(send, packet, dest_id);
        }
        const int64_t number = acked_start(send, recv, packet, dest_id, true);
        return number < 0 ? -1 : acked_wait(send, recv, static_cast<uint64_t>(number));
    });
} catch (...) {
    return failed_by_exception(n_socket_send_acked);
}

int64_t n_socket_send_acked_start(int send_fd, int recv_fd, n_pkt *packet, const unsigned char *dest_id)
try {
    if (packet == nullptr)
        return fail(kInval);
    return on_sockets(send_fd, recv_fd, kInval, [&](socket_record *send, socket_record *recv) -> int64_t {
        if (packet->flags & PACKET_OVERSIZE) {
            set_option_bits(recv, SOCKET_FRAG, true);
            return send_fragmented(send, packet, dest_id) < 0 ? -1 : 0;
        }
        return acked_start(send, recv, packet, dest_id, false);
    });
} catch (...) {
    return failed_by_exception(n_socket_send_acked_start);
}

int n_socket_send_acked_str(int send_fd, int recv_fd, n_pkt *packet, const char *dest_text)
try {
    unsigned char dest[kIdLen];
    if (dest_text != nullptr && !decode_destination(dest_text, dest))
        return fail(kIlSeq);
    return n_socket_send_acked(send_fd, recv_fd, packet, dest_text != nullptr ? dest : nullptr);
} catch (...) {
    return failed_by_exception(n_socket_send_acked_str);
}

}  // extern "C"
