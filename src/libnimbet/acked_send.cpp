// SPDX-License-Identifier: MIT
// Acknowledged sends on sockets: requests made, first and later transmissions, waits, outcomes as events.
#include "acked_send.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <unistd.h>

#include "ack.h"
#include "packet.h"
#include "recv.h"
#include "send.h"

using namespace nimbet;
using engine::AckedSend;
using engine::Due;
using engine::Outcome;

namespace {

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
bool next_request_id(socket_record *send, const unsigned char *peer, RequestId &out) REQUIRES(send->mu)
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
int make_request(socket_record *send, n_pkt *packet, const unsigned char *dest_id, engine::AckedSpec &req)
{
    {
        const ScopedLock lock(send->mu);
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
        const ScopedLock lock(send->mu);
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
    const ScopedLock lock(send->mu);
    PeerRequests &p = send->peer_requests.touch(NodeKey::of(peer), n_util_getmstime());
    p.takes_ids = takes_ids;
}

// The outcome of a send as an event, or as the error of a blocking call.
void outcome_error(Outcome o, int &error, int &syserr)
{
    error = o == Outcome::Closed ? kBadF : kProto;
    syserr = o == Outcome::Malformed ? EBADMSG : o == Outcome::TimedOut ? ETIMEDOUT : 0;
}

n_event outcome_event(socket_record *rec, const AckedSend &s)
{
    n_event ev{};
    ev.kind = s.outcome == Outcome::Acked ? N_EVENT_ACKED : N_EVENT_NOT_ACKED;
    ev.fd = rec->fd;
    ev.request = s.number;
    std::memcpy(ev.peer, s.spec.dest, sizeof ev.peer);
    if (s.outcome != Outcome::Acked)
        outcome_error(s.outcome, ev.error, ev.syserr);
    return ev;
}

// A send ended (under rec->mu): a blocking caller is woken to take it,
// another's outcome becomes an event and the send is forgotten.
void ended_locked(socket_record *rec, AckedSend &s) REQUIRES(rec->mu)
{
    engine::SendShell &shell = s.shell;
    if (shell.blocking) {
        if (shell.wake_fd >= 0 && shell.wake_fd != thread_wake_fd()) {
            shell.woken = true;
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(shell.wake_fd, &one, sizeof one);
        }
        return;
    }
    rec->events.push(std::move(shell.outcome_room), outcome_event(rec, s));
    rec->acked.take(s.number);
}

// What a reply taught about its sender, for the socket the request went
// out through: whether the peer takes identifiers, and a round-trip sample.
struct Lesson {
    int send_fd;
    uint64_t send_serial;
    unsigned char dest[kIdLen];
    bool marked, sampled, adaptive;
    uint32_t round_trip;
    RttEstimator rtt;
};

void apply(const Lesson &l)
{
    SocketRef send = socket_acquire(l.send_fd);
    if (!send || send->serial != l.send_serial)
        return;
    learn_peer(send.get(), l.dest, l.marked);
    if (l.adaptive && l.sampled) {
        RttEstimator rtt = l.rtt;
        rtt.sample(l.round_trip);
        remember_round_trip(send.get(), l.dest, rtt);
    }
}

// Sends a frame again through its socket with the next sequence number;
// false when that socket is gone.
bool retransmit(int send_fd, uint64_t serial, std::vector<unsigned char> frame)
{
    SocketRef send = socket_acquire(send_fd);
    if (!send || send->serial != serial || frame.size() < PACKET_MIN_FRAME)
        return false;
    Outgoing out = prepare(send.get());
    frame[kSeqOffset] = out.stamp.seq;
    n_util_crc16_append(frame.data(), static_cast<unsigned>(frame.size()));
    count(send->stats.retransmissions);
    transmit(send.get(), out, frame, N_TRACE_SENT);
    return true;
}

}  // namespace

namespace nimbet {

int64_t acked_start(socket_record *send, socket_record *recv, n_pkt *packet, const unsigned char *dest_id,
                    bool blocking)
{
    engine::AckedSpec spec{};
    if (make_request(send, packet, dest_id, spec) < 0)
        return -1;
    // The reply comes back to recv's port: bind it before the first
    // transmission, so that a reply cannot arrive before the socket takes
    // datagrams, and so that a socket that both sends and receives is not
    // bound to a temporary port by its own first send. A socket that cannot
    // be bound would never hear the reply: the call ends before sending,
    // with the bind's errno as the cause.
    if (!ensure_bound(recv))
        return fail_sys(kProto, errno);
    if (spec.retry <= 0)
        return fail_sys(kProto, ETIMEDOUT);
    const RttEstimator rtt = spec.adaptive ? known_round_trip(send, spec.dest) : RttEstimator{};
    // What the send keeps is made before it is registered, so that what
    // runs out of memory leaves nothing behind.
    std::vector<unsigned char> frame(std::max(frame_size(packet), kMaxFrame));
    engine::EventRoom room = blocking ? engine::EventRoom{} : engine::EventQueue::room();
    // The send is registered before its first transmission: a reply read
    // by another thread receiving on recv settles it as well.
    uint64_t number = 0;
    {
        const ScopedLock lock(recv->mu);
        number = ++recv->next_request;
        engine::SendShell shell;
        shell.send_fd = send->fd;
        shell.send_serial = send->serial;
        shell.blocking = blocking;
        shell.wake_fd = blocking ? thread_wake_fd() : -1;
        shell.outcome_room = std::move(room);
        recv->acked.add(number, spec, rtt, n_util_getmstime(), std::move(shell));
    }
    const uint32_t sent_at = n_util_getmstime();
    const int result = send_packet(send, packet);
    frame.resize(std::min(frame_size(packet), frame.size()));
    const bool framed = serialise_packet(packet, frame);
    const ScopedLock lock(recv->mu);
    AckedSend *s = recv->acked.find(number);
    // A first transmission refused outright sent nothing that could be
    // acknowledged (a full send buffer, 11, is retried instead).
    if (s == nullptr || (result < 0 && n_errno != kAgain) || !framed) {
        const int err = n_errno, sys = n_util_syserr();
        recv->acked.take(number);
        return framed ? fail_sys(err, sys) : fail(kInval);
    }
    recv->acked.sent_first(*s, sent_at);
    s->shell.frame = std::move(frame);
    return static_cast<int64_t>(number);
}

bool acked_on_reply(socket_record *rec, const FrameView &view)
{
    if (!view.acm)
        return false;
    std::vector<Lesson> lessons;
    bool blocking = false;
    {
        const ScopedLock lock(rec->mu);
        std::vector<uint64_t> ended;
        rec->acked.settle(view, n_util_getmstime(), [&](AckedSend &s) {
            const engine::SendShell &shell = s.shell;
            if (s.outcome == Outcome::Acked) {
                Lesson l{shell.send_fd, shell.send_serial, {}, s.marked, s.sampled, s.spec.adaptive, s.round_trip, s.rtt};
                std::memcpy(l.dest, s.spec.dest, kIdLen);
                lessons.push_back(l);
            }
            ended.push_back(s.number);
            blocking = blocking || shell.blocking;
        });
        for (uint64_t n : ended)
            if (AckedSend *s = rec->acked.find(n))
                ended_locked(rec, *s);
    }
    for (const Lesson &l : lessons)
        apply(l);
    return blocking;
}

int acked_serve(socket_record *rec)
{
    struct Resend {
        uint64_t number;
        int fd;
        uint64_t serial;
        std::vector<unsigned char> frame;
    };
    std::vector<Resend> resends;
    {
        const ScopedLock lock(rec->mu);
        if (rec->acked.empty())
            return -1;
        std::vector<uint64_t> given_up;
        rec->acked.expire(n_util_getmstime(), [&](AckedSend &s, Due due) {
            const engine::SendShell &shell = s.shell;
            if (due == Due::Resend)
                resends.push_back({s.number, shell.send_fd, shell.send_serial, shell.frame});
            else
                given_up.push_back(s.number);
        });
        for (uint64_t n : given_up)
            if (AckedSend *s = rec->acked.find(n))
                ended_locked(rec, *s);
    }
    // Sends go out with no lock held.
    for (Resend &r : resends) {
        const bool sent = retransmit(r.fd, r.serial, std::move(r.frame));
        const ScopedLock lock(rec->mu);
        AckedSend *s = rec->acked.find(r.number);
        if (s == nullptr || s->outcome != Outcome::Pending)
            continue;
        if (sent) {
            rec->acked.resent(*s, n_util_getmstime());
        } else {
            s->outcome = Outcome::Closed;  // its socket was closed
            ended_locked(rec, *s);
        }
    }
    return acked_next_ms(rec);
}

int acked_next_ms(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    return rec->acked.empty() ? -1 : rec->acked.next_ms(n_util_getmstime());
}

int acked_wait(socket_record *send, socket_record *recv, uint64_t number)
{
    Outcome outcome = Outcome::Pending;
    int wake_fd = -1;
    const auto look = [&] {
        const ScopedLock lock(recv->mu);
        const AckedSend *s = recv->acked.find(number);
        outcome = s != nullptr ? s->outcome : Outcome::Closed;
        wake_fd = s != nullptr ? s->shell.wake_fd : -1;
    };
    for (look(); outcome == Outcome::Pending; look()) {
        const int next = acked_serve(recv);
        if (recv->closed.load(std::memory_order_acquire))
            break;
        look();
        if (outcome != Outcome::Pending)
            break;
        Wait wait = next < 0 ? Wait::forever() : Wait::for_ms(next);
        wait.wake_fd = wake_fd;
        Delivered d;
        const Received r = receive_frame(recv, send, wait, d, 0, true);
        if (r == Received::Closed)
            break;
        if (wake_fd >= 0)
            drain_wake_fd(wake_fd);
    }
    bool woken = false;
    {
        const ScopedLock lock(recv->mu);
        const AckedSend *s = recv->acked.find(number);
        outcome = s != nullptr ? s->outcome : Outcome::Closed;
        woken = s != nullptr && s->shell.woken;
        recv->acked.take(number);
    }
    if (woken && wake_fd >= 0)
        drain_wake_fd(wake_fd);  // for the next wait of this thread
    if (outcome == Outcome::Acked)
        return 1;
    int err = 0, sys = 0;
    outcome_error(outcome, err, sys);
    return fail_sys(err, sys);
}

void acked_socket_closed(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    std::vector<uint64_t> ended;
    rec->acked.close_all([&](AckedSend &s) { ended.push_back(s.number); });
    for (uint64_t n : ended)
        if (AckedSend *s = rec->acked.find(n))
            ended_locked(rec, *s);
}

}  // namespace nimbet
