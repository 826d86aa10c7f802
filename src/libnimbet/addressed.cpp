// Addressed sending (one "CAD" tuple, sent once) and acknowledged sending (sent until acknowledged).
#include <poll.h>

#include "frag.h"
#include "internal.h"
#include "recv.h"
#include "socket.h"

using namespace nimbet;

namespace {

constexpr int kPollSlotMs = 2;

// An oversize packet holds one large tuple; it travels as a fragmented
// transfer of that tuple's data, under its type.
int send_fragmented(int fd, n_pkt *packet, const unsigned char *dest_id)
{
    n_acl *t = AclQueue::first(packet->acl_head);
    if (t == nullptr)
        return fail(kInval);
    return n_frag_init_send(fd, dest_id, t->data, t->len, t->type);
}

// Restores the blocking mode of the receive socket on every way out of an
// acknowledged send.
struct BlockingRestore {
    socket_record *rec;
    bool was_blocking;
    ~BlockingRestore()
    {
        if (was_blocking)
            n_socket_set_option(rec->fd, SOCKET_BLOCKING, 1);
    }
};

enum class Wait { Acknowledged, Malformed, TimedOut, Other };

// What a frame received during the wait says about the request with "CAC"
// sequence byte q to node `dest`. Only frames from that node carrying "ACM"
// count: one without "CAC" is a malformed acknowledgement, one with control
// byte 1 and sequence q the acknowledgement; anything else is passed over.
Wait examine_reply(n_pkt *reply, const unsigned char *dest, uint8_t q)
{
    if (!same_id(reply->srcid, dest) || n_acl_findfirst(reply, kTypeACM, nullptr) < 0)
        return Wait::Other;
    n_acl *cac = nullptr;
    if (n_acl_findfirst(reply, kTypeCAC, &cac) < 0)
        return Wait::Malformed;
    if (cac->len >= 2 && cac->data[0] == kCacReply && cac->data[1] == q)
        return Wait::Acknowledged;
    return Wait::Other;
}

// Receives on recv_fd until the acknowledgement of sequence q from `dest`
// arrives or `timeout` ms have passed since t0. Every other frame that comes
// is consumed; requests among them are answered through send_fd.
Wait await_ack(socket_record *send, socket_record *recv, const unsigned char *dest, uint8_t q, uint32_t t0)
{
    const uint32_t timeout = timeout_ms(send);
    for (;;) {
        const uint32_t elapsed = n_util_getmstime() - t0;
        if (elapsed >= timeout)
            return Wait::TimedOut;
        PacketPtr reply(n_socket_recv(recv->fd, send->fd));
        const int err = n_errno;
        if (reply) {
            const Wait w = examine_reply(reply.get(), dest, q);
            if (w != Wait::Other)
                return w;
        }
        // Wait for the next datagram, at most one poll slot, so that the
        // acknowledgement is seen as soon as it arrives. An unbindable socket
        // reads nothing however often it is asked: sleep the slot instead.
        const uint32_t left = timeout - elapsed;
        const int slot = static_cast<int>(left < kPollSlotMs ? left : kPollSlotMs);
        if (!reply && err == kNotBound) {
            n_util_sleepms(static_cast<uint32_t>(slot));
        } else {
            pollfd p{recv->fd, POLLIN, 0};
            poll(&p, 1, slot);
        }
    }
}

// The "CAC" request tuple with sequence byte q. A packet that went through
// an acknowledged send before already holds one: it takes the new bytes
// there, since a receiver answers and remembers only the first "CAC" of a
// frame, and a second one behind it would never be acknowledged.
int set_request_control(n_pkt *packet, uint8_t q)
{
    const unsigned char cac[2] = {0, q};
    n_acl *old = nullptr;
    if (n_acl_findfirst(packet, kTypeCAC, &old) < 0)
        return n_acl_add(packet, kTypeCAC, cac, 2, 0) < 0 ? fail(kNoMem) : 0;
    if (old->len < 2)
        return fail(kInval);
    old->data[0] = cac[0];
    old->data[1] = cac[1];
    return 0;
}

}  // namespace

extern "C" {

int n_socket_send_addressed(int fd, n_pkt *packet, const unsigned char *dest_id)
{
    if (packet == nullptr)
        return fail(kInval);
    if (packet->flags & PACKET_OVERSIZE)
        return send_fragmented(fd, packet, dest_id);
    if (dest_id == nullptr)
        return fail(kInval);
    if (n_acl_add(packet, kTypeCAD, dest_id, kIdLen, 0) < 0)
        return fail(kNoMem);
    return n_socket_send(fd, packet);
}

int n_socket_send_addressed_str(int fd, n_pkt *packet, const char *dest_text)
{
    if (dest_text == nullptr)
        return fail(kInval);
    unsigned char dest[kIdLen];
    if (!decode_destination(dest_text, dest))
        return fail(kIlSeq);
    return n_socket_send_addressed(fd, packet, dest);
}

int n_socket_send_acked(int send_fd, int recv_fd, n_pkt *packet, const unsigned char *dest_id)
{
    socket_record *send = socket_lookup(send_fd);
    socket_record *recv = socket_lookup(recv_fd);
    if (send == nullptr || recv == nullptr || packet == nullptr)
        return fail(kInval);
    if (packet->flags & PACKET_OVERSIZE) {
        n_socket_set_option(recv_fd, SOCKET_FRAG, 1);
        return send_fragmented(send_fd, packet, dest_id);
    }

    const bool was_blocking = n_socket_get_blocking(recv_fd) == 1;
    n_socket_set_option(recv_fd, SOCKET_BLOCKING, 0);
    BlockingRestore restore{recv, was_blocking};

    // Every transmission carries the same sequence byte, so the receiver
    // recognises repeats; the counter advances once per call.
    const uint8_t q = (packet->flags & PACKET_SEQ_SET) ? packet->seq : static_cast<uint8_t>(send->ack_seq + 1);
    send->ack_seq = static_cast<uint8_t>(send->ack_seq + 1);

    unsigned char dest[kIdLen];
    n_acl *cad = nullptr;
    if (n_acl_findfirst(packet, kTypeCAD, &cad) >= 0) {
        if (cad->len != kIdLen)
            return fail(kInval);
        std::memcpy(dest, cad->data, kIdLen);
    } else {
        if (dest_id == nullptr)
            return fail(kInval);
        std::memcpy(dest, dest_id, kIdLen);
        if (n_acl_add(packet, kTypeCAD, dest, kIdLen, 0) < 0)
            return fail(kNoMem);
    }
    if (set_request_control(packet, q) < 0)
        return -1;

    // The acknowledgement comes back to recv_fd's port: bind it before the
    // first transmission, so that a reply cannot arrive before the socket
    // takes datagrams, and so that a socket that both sends and receives is
    // not bound to a temporary port by its own first send.
    ensure_bound(recv);

    for (int attempt = 0; attempt < send->retry; ++attempt) {
        const int result = n_socket_send(send_fd, packet);
        const Wait w = await_ack(send, recv, dest, q, n_util_getmstime());
        if (w == Wait::Acknowledged)
            return result;
        if (w == Wait::Malformed)
            return fail(kProto);
    }
    return fail(kProto);
}

int n_socket_send_acked_str(int send_fd, int recv_fd, n_pkt *packet, const char *dest_text)
{
    unsigned char dest[kIdLen];
    if (dest_text != nullptr && !decode_destination(dest_text, dest))
        return fail(kIlSeq);
    return n_socket_send_acked(send_fd, recv_fd, packet, dest_text != nullptr ? dest : nullptr);
}

}  // extern "C"
