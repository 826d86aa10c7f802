// Acknowledgement replies to requests addressed to this node.
#include <cstring>

#include "socket.h"

using namespace nimbet;

namespace nimbet {

// The reply to a request with "CAD" = B (this node, as the requester named
// it), "CAC" = control, seq and source identifier A:
//
//   header: format 2 | socket's location | srcid B | socket's next seq
//   tuples: ACM (A5 0E 00)
//           CAC (66 40 02) control|1 seq
//           CAD (6C 80 08) A[8]
//   CRC
//
// 75 bytes for a 2-byte "CAC". The requester recognises it by its "CAD".
int send_ack_reply(int ack_fd, n_pkt *request)
{
    if (request == nullptr)
        return fail(kInval);
    n_acl *cac = nullptr;
    n_acl *cad = nullptr;
    if (n_acl_findfirst(request, kTypeCAC, &cac) < 0 || n_acl_findfirst(request, kTypeCAD, &cad) < 0)
        return fail(kProto);
    // A "CAD" must name a whole identifier and a "CAC" carry control and
    // sequence bytes; shorter ones cannot be answered without inventing bytes.
    if (cad->len < kIdLen || cac->len < 2)
        return fail(kProto);

    PacketPtr reply(n_pkt_alloc());
    if (!reply)
        return fail(kNoMem);
    unsigned char control[UINT8_MAX];
    std::memcpy(control, cac->data, cac->len);
    control[0] |= kCacReply;
    if (n_pkt_set_srcid(reply.get(), cad->data) != 0 || n_acl_add(reply.get(), kTypeACM, nullptr, 0, 0) != 0 ||
        n_acl_add(reply.get(), kTypeCAC, control, cac->len, 0) != 0 ||
        n_acl_add(reply.get(), kTypeCAD, request->srcid, kIdLen, 0) != 0)
        return fail(kNoMem);

    if (n_socket_send(ack_fd, reply.get()) <= 0)
        return -1;
    request->flags |= PACKET_ACK_SENT;
    return 0;
}

}  // namespace nimbet
