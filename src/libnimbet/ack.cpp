// SPDX-License-Identifier: MIT
// Acknowledgement replies, and the wake-up descriptor of a thread that waits for one.
#include "ack.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "send.h"
#include "trace.h"

using namespace nimbet;

namespace {

struct WakeFd {
    int fd = -1;
    ~WakeFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

thread_local WakeFd t_wake;

}  // namespace

namespace nimbet {

AckRequest ack_request_of(const FrameView &view) { return {view.srcid(), view.cad, view.cac}; }

namespace {
// Kept tuples have no frame around them: a type that only says "present".
constexpr unsigned char kKeptType[kTupleHeader] = {};
}  // namespace

KeptRequest::KeptRequest(const AckRequest &r)
    : cad_len_(r.cad ? std::min<uint8_t>(r.cad.len, kIdLen) : 0), cac_len_(r.cac ? std::min(r.cac.len, kCacMax) : 0)
{
    std::memcpy(srcid_, r.srcid, kIdLen);
    if (cad_len_ != 0)
        std::memcpy(cad_, r.cad.data, cad_len_);
    if (cac_len_ != 0)
        std::memcpy(cac_, r.cac.data, cac_len_);
}

AckRequest KeptRequest::request() const
{
    return {srcid_, {cad_len_ != 0 ? kKeptType : nullptr, cad_, cad_len_}, {cac_len_ != 0 ? kKeptType : nullptr, cac_, cac_len_}};
}

// The reply to a request with "CAD" = B (this node, as the requester named
// it), "CAC" = control, seq and source identifier A:
//
//   header: format 2 | socket's location | srcid B | socket's next seq
//   tuples: ACM (A5 0E 00)
//           CAC (66 40 02) control|1 seq
//           [CAT (D0 80 09) 0C nonce index]  echo of a transfer descriptor
//           [CAR (C4 00 08) session counter]  or CAR (C4 00 00): identifiers taken
//           CAD (6C 80 08) A[8]
//   CRC
//
// 75 bytes for a 2-byte "CAC" without extras. The requester recognises it
// by its "CAD".
int ack_reply(socket_record *rec, const AckRequest &req, const AckExtras &extras)
{
    if (!req.cac || !req.cad)
        return fail(kProto);
    // A "CAD" must name a whole identifier and a "CAC" carry control and
    // sequence bytes; shorter ones cannot be answered without inventing bytes.
    if (req.cad.len < kIdLen || req.cac.len < 2)
        return fail(kProto);
    // The reply's tuples obey the 64-byte area of every frame a node builds:
    // "ACM", the copied "CAC" and "CAD" leave room for 47 bytes of "CAC" data.
    if (!fits_tuple_area(tuple_size(0) + tuple_size(req.cac.len) + tuple_size(kIdLen)))
        return fail(kProto);

    unsigned char control[UINT8_MAX];
    std::memcpy(control, req.cac.data, req.cac.len);
    control[0] |= kCacReply;
    unsigned char desc[kDescMax];
    const std::size_t desc_len = extras.echo != nullptr ? write_descriptor(*extras.echo, desc) : 0;
    unsigned char id[kRequestIdLen];
    const std::size_t id_len = extras.id != nullptr ? kRequestIdLen : 0;
    if (extras.id != nullptr)
        write_request_id(*extras.id, id);
    std::size_t area = tuple_size(0) + tuple_size(req.cac.len) + tuple_size(kIdLen);
    const bool with_echo = extras.echo != nullptr && fits_tuple_area(area + tuple_size(desc_len));
    if (with_echo)
        area += tuple_size(desc_len);
    const bool with_mark = extras.mark && fits_tuple_area(area + tuple_size(id_len));
    Outgoing out = prepare(rec);
    FrameWriter w(out.stamp.loc, req.cad.data, out.stamp.seq);
    w.tuple(kTypeACM, nullptr, 0);
    w.tuple(kTypeCAC, control, req.cac.len);
    if (with_echo)
        w.tuple(kTypeCAT, desc, desc_len);
    if (with_mark)
        w.tuple(kTypeCAR, id, id_len);
    w.tuple(kTypeCAD, req.srcid, kIdLen);
    return transmit(rec, out, w.finish(), N_TRACE_ACK_SENT, &SocketCounters::acks_sent) > 0 ? 0 : -1;
}

int send_ack_reply(int ack_fd, n_pkt *request)
{
    if (request == nullptr)
        return fail(kInval);
    return on_socket(ack_fd, kInval, [&](socket_record *rec) {
        n_acl *cac = nullptr;
        n_acl *cad = nullptr;
        if (n_acl_findfirst(request, kTypeCAC, &cac) < 0 || n_acl_findfirst(request, kTypeCAD, &cad) < 0)
            return fail(kProto);
        const AckRequest req{request->srcid, {cad->type, cad->data, cad->len}, {cac->type, cac->data, cac->len}};
        if (ack_reply(rec, req) != 0)
            return -1;
        request->flags |= PACKET_ACK_SENT;
        return 0;
    });
}

int thread_wake_fd()
{
    if (t_wake.fd < 0)
        t_wake.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return t_wake.fd;
}

void drain_wake_fd(int fd)
{
    uint64_t v = 0;
    while (::read(fd, &v, sizeof v) > 0) {
    }
}

}  // namespace nimbet
