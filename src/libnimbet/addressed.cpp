// Addressed sending (one "CAD" tuple, sent once) and acknowledged sending (sent until acknowledged).
#include <poll.h>

#include "frag.h"
#include "internal.h"
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

enum class Wait { Acknowledged, Malformed, TimedOut };

// Receives on recv_fd until the acknowledgement of sequence q from `dest`
// arrives or `timeout` ms have passed since t0. Every other frame that comes
// is consumed; requests among them are answered through send_fd.
Wait await_ack(socket_record *send, socket_record *recv, const unsigned char *dest, uint8_t q, uint32_t t0)
{
    const uint32_t timeout = static_cast<uint32_t>(send->timeout);
    for (;;) {
        const uint32_t elapsed = n_util_getmstime() - t0;
        if (elapsed >= timeout)
            return Wait::TimedOut;
        // Wait for the next datagram, at most one poll slot, so that the
        // acknowledgement is seen as soon as it arrives.
        const uint32_t left = timeout - elapsed;
        pollfd p{recv->fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left < kPollSlotMs ? left : kPollSlotMs));
        PacketPtr reply(n_socket_recv(recv->fd, send->fd));
        if (!reply) {
            // An unbindable socket reads nothing however often it is asked:
            // keep to the poll interval instead of spinning.
            if (n_errno == kNotBound)
                n_util_sleepms(kPollSlotMs);
            continue;
        }
        if (!same_id(reply->srcid, dest) || n_acl_findfirst(reply.get(), kTypeACM, nullptr) < 0)
            continue;
        n_acl *cac = nullptr;
        if (n_acl_findfirst(reply.get(), kTypeCAC, &cac) < 0)
            return Wait::Malformed;
        if (cac->len >= 2 && cac->data[0] == kCacReply && cac->data[1] == q)
            return Wait::Acknowledged;
    }
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
    const unsigned char cac[2] = {0, q};
    if (n_acl_add(packet, kTypeCAC, cac, 2, 0) < 0)
        return fail(kNoMem);

    for (int attempt = 0; attempt < send->retry; ++attempt) {
        const int result = n_socket_send(send_fd, packet);
        switch (await_ack(send, recv, dest, q, n_util_getmstime())) {
        case Wait::Acknowledged:
            return result;
        case Wait::Malformed:
            return fail(kProto);
        case Wait::TimedOut:
            break;
        }
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
