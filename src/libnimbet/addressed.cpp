// SPDX-License-Identifier: MIT
// Addressed sending (one "CAD" tuple, sent once) and acknowledged sending (sent until acknowledged).
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "ack.h"
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

// What an acknowledged send transmits and waits for.
struct Request {
    unsigned char dest[kIdLen];  // the addressed node, which must reply
    unsigned char self[kIdLen];  // the requester, which the reply's "CAD" names
    uint8_t q;                   // the "CAC" sequence byte of every transmission
    bool has_id;                 // with an identifier ("CAR"), for a peer that takes them
    RequestId id;
    int retry;                   // transmissions at most (the plain rule), or at least (adaptive)
    uint32_t timeout;            // milliseconds of wait after each
    bool adaptive;               // resend after the measured round trip (n_socket_set_adaptive_retry)
};

// Registers a wait for an acknowledgement on a socket for the duration of an
// acknowledged send.
class AckWait {
public:
    AckWait(socket_record *rec, const Request &req) : rec_(rec)
    {
        std::memcpy(w_.dest, req.dest, kIdLen);
        std::memcpy(w_.self, req.self, kIdLen);
        w_.q = req.q;
        w_.has_id = req.has_id;
        w_.id = req.id;
        w_.wake_fd = thread_wake_fd();
        waiter_add(rec_, &w_);
    }
    ~AckWait()
    {
        waiter_remove(rec_, &w_);
        if (w_.woken.load())
            drain_wake_fd(w_.wake_fd);  // for the next wait of this thread
    }
    AckWait(const AckWait &) = delete;
    AckWait &operator=(const AckWait &) = delete;

    int outcome() const { return w_.outcome.load(); }
    // The reply carried a "CAR" tuple: its sender takes request identifiers.
    bool marked() const { return w_.marked.load(); }

    // Receives on the socket until the reply settles the wait (whoever reads
    // it) or `timeout` ms have passed since t0. Every other frame that comes
    // is consumed; requests among them are answered through `ack`. False
    // when the socket was closed meanwhile.
    bool await(socket_record *ack, uint32_t t0, uint32_t timeout)
    {
        Delivered d;
        while (outcome() == 0) {
            const uint32_t elapsed = n_util_getmstime() - t0;
            if (elapsed >= timeout)
                return true;
            const Wait wait{Wait::Until, t0 + timeout, w_.wake_fd, static_cast<int>(timeout - elapsed)};
            if (receive_frame(rec_, ack, wait, d) == Received::Closed)
                return false;
            if (outcome() == 0)
                drain_wake_fd(w_.wake_fd);  // a wake-up left from an earlier wait
        }
        return true;
    }

private:
    socket_record *rec_;
    AckWaiter w_;
};

// Sets the packet's "CAR" tuple to the request identifier, in place when it
// has one from an earlier send. False when it does not fit the tuple area:
// the request then goes without one.
bool set_request_id(n_pkt *packet, const RequestId &id)
{
    unsigned char bytes[kRequestIdLen];
    write_request_id(id, bytes);
    const int saved = n_errno;
    n_acl *old = nullptr;
    bool done = false;
    if (n_acl_findfirst(packet, kTypeCAR, &old) >= 0) {
        done = old->len == kRequestIdLen;
        if (done)
            std::memcpy(old->data, bytes, kRequestIdLen);
    } else {
        done = n_acl_add(packet, kTypeCAR, bytes, kRequestIdLen, 0) >= 0;
    }
    n_errno = saved;
    return done;
}

// A packet sent before with an identifier loses it when this request goes
// without one: a stale identifier would make it a repeat.
void drop_request_id(n_pkt *packet)
{
    const int saved = n_errno;
    n_acl *old = nullptr;
    if (n_acl_findfirst(packet, kTypeCAR, &old) >= 0 && n_acl_remove_tuple(packet, old) == 0)
        std::free(old);
    n_errno = saved;
}

// The next identifier for requests to `peer`, when the socket sends them and
// the peer takes them; false otherwise. Called with send->mu held.
bool next_request_id(socket_record *send, const unsigned char *peer, RequestId &out)
{
    if (!send->request_ids)
        return false;
    PeerRequests &p = send->peer_requests.touch(NodeKey::of(peer), n_util_getmstime());
    if (!p.takes_ids)
        return false;
    // A session lasts until its counter would wrap (or the entry is
    // forgotten): a new one then, so no identifier is ever used twice.
    if (p.session == 0 || p.counter == UINT32_MAX) {
        p.session = static_cast<uint32_t>(system_random()) | 1u;
        p.counter = 0;
    }
    out = {p.session, ++p.counter};
    return true;
}

// Takes the request's sequence byte (and identifier, for a peer that takes
// them) and the socket's retry settings, and adds "CAD" (unless the packet
// names its node already), "CAC" and "CAR" to the packet. Every
// transmission carries the same sequence byte and identifier, so the
// receiver recognises repeats; the counter advances once per call. 0, or -1
// with 22 (no usable destination) or 12.
int make_request(socket_record *send, n_pkt *packet, const unsigned char *dest_id, Request &req)
{
    {
        std::lock_guard lock(send->mu);
        req.q = (packet->flags & PACKET_SEQ_SET) ? packet->seq : static_cast<uint8_t>(send->ack_seq + 1);
        send->ack_seq = static_cast<uint8_t>(send->ack_seq + 1);
        req.retry = send->retry;
        req.timeout = timeout_ms(send->timeout);
        req.adaptive = send->adaptive_retry;
        std::memcpy(req.self, (packet->flags & PACKET_SRCID_SET) ? packet->srcid : send->id, kIdLen);
    }
    n_acl *cad = nullptr;
    if (n_acl_findfirst(packet, kTypeCAD, &cad) >= 0) {
        if (cad->len != kIdLen)
            return fail(kInval);
        std::memcpy(req.dest, cad->data, kIdLen);
    } else {
        if (dest_id == nullptr)
            return fail(kInval);
        std::memcpy(req.dest, dest_id, kIdLen);
        if (n_acl_add(packet, kTypeCAD, req.dest, kIdLen, 0) < 0)
            return fail(kNoMem);
    }
    if (set_request_control(packet, req.q) < 0)
        return -1;
    // A caller that sets the sequence byte chooses what counts as a repeat
    // (the same byte again is one): such a request goes without identifier.
    if (!(packet->flags & PACKET_SEQ_SET)) {
        std::lock_guard lock(send->mu);
        req.has_id = next_request_id(send, req.dest, req.id);
    }
    if (req.has_id)
        req.has_id = set_request_id(packet, req.id);
    if (!req.has_id)
        drop_request_id(packet);
    return 0;
}

// What the reply said of its sender: whether it takes request identifiers.
void learn_peer(socket_record *send, const unsigned char *peer, bool takes_ids)
{
    std::lock_guard lock(send->mu);
    PeerRequests &p = send->peer_requests.touch(NodeKey::of(peer), n_util_getmstime());
    p.takes_ids = takes_ids;
}

// Transmits the request until the addressed node acknowledges it; returns
// the last transmission's result then. The plain rule: `retry`
// transmissions, `timeout` ms apart. Adaptive: a resend as soon as the
// destination's measured round trip says the acknowledgement is late
// (backing off on each miss), until retry x timeout ms have passed since the
// first transmission and at least `retry` went out; a reply to a request
// sent once is a round-trip sample. Failures: the first transmission refused
// outright (its error: nothing went out, so nothing can be acknowledged; a
// full send buffer, 11, is retried instead), the socket closed meanwhile
// (9), a reply without "CAC" (227, EBADMSG), no reply in time (227,
// ETIMEDOUT; at once when `retry` is 0).
int send_until_acked(socket_record *send, socket_record *recv, n_pkt *packet, const Request &req)
{
    if (req.retry <= 0)
        return fail_sys(kProto, ETIMEDOUT);
    // The wait is registered before the first transmission: a reply read by
    // another thread receiving on recv settles it as well.
    AckWait wait(recv, req);
    RttEstimator rtt = req.adaptive ? known_round_trip(send, req.dest) : RttEstimator{};
    const uint64_t whole = uint64_t{static_cast<uint32_t>(req.retry)} * req.timeout;
    const uint32_t budget = static_cast<uint32_t>(whole < UINT32_MAX / 2 ? whole : UINT32_MAX / 2);
    const uint32_t start = n_util_getmstime();
    for (int sends = 0;; ++sends) {
        if (sends > 0)
            count(send->stats.retransmissions);
        const uint32_t sent_at = n_util_getmstime();
        const int result = send_packet(send, packet);
        if (result < 0 && sends == 0 && n_errno != kAgain)
            return -1;
        const uint32_t left = budget - std::min(budget, sent_at - start);
        const uint32_t patience = req.adaptive ? std::min(rtt.rto_ms(req.timeout), left) : req.timeout;
        if (!wait.await(send, sent_at, patience))
            return fail(kBadF);
        if (wait.outcome() == 1) {
            learn_peer(send, req.dest, wait.marked());
            if (req.adaptive && sends == 0) {
                rtt.sample(n_util_getmstime() - sent_at);
                remember_round_trip(send, req.dest, rtt);
            }
            return result;
        }
        if (wait.outcome() == 2)
            return fail_sys(kProto, EBADMSG);
        rtt.timed_out();
        if (sends + 1 >= req.retry && (!req.adaptive || n_util_getmstime() - start >= budget))
            return fail_sys(kProto, ETIMEDOUT);
    }
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
        Request req{};
        if (make_request(send, packet, dest_id, req) < 0)
            return -1;
        // The acknowledgement comes back to recv_fd's port: bind it before
        // the first transmission, so that a reply cannot arrive before the
        // socket takes datagrams, and so that a socket that both sends and
        // receives is not bound to a temporary port by its own first send.
        // A socket that cannot be bound would never hear the reply: the
        // call ends before sending, with the bind's errno as the cause.
        if (!ensure_bound(recv))
            return fail_sys(kProto, errno);
        return send_until_acked(send, recv, packet, req);
    });
} catch (...) {
    return failed_by_exception(n_socket_send_acked);
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
