// Receiving: reading datagrams, classifying frames, automatic acknowledgement, duplicate suppression, fragment timers.
#include "recv.h"

#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>

#include "frag.h"

using namespace nimbet;

namespace {

struct HistoryEntry {
    unsigned char id[kIdLen];
    uint8_t seq;
};

std::deque<HistoryEntry> g_ack_history;

bool is_sending(const n_frag *f) { return (f->status & FRAG_RECEIVING) == 0; }

unsigned state_of(const n_frag *f) { return f->status & FRAG_STATE_MASK; }

// The part counter minus one, without wrapping: a counter of 0 has no
// previous part, so no sequence byte matches it.
bool is_previous_part(const n_frag *f, uint8_t seq) { return f->part_no != 0 && f->part_no - 1 == seq; }

// How long a fragmentation's timer waits, or false when it has none. A
// sending transfer waits `timeout` ms for the acknowledgement of its part in
// flight; finished and aborted ones wait for nothing. A receiver gives up, and
// releases even finished data, when no part came for (timeout + 13) * retries
// ms (in 64 bits: with a large timeout the product passes 32 bits, and a
// wrapped one would abort at once); an aborted one has nothing left to
// release.
bool timer_wait(const n_frag *f, const socket_record *rec, uint64_t &wait)
{
    if (is_sending(f)) {
        wait = timeout_ms(rec);
        return state_of(f) == FRAG_ACTIVE;
    }
    const uint64_t periods = f->retries > 0 ? static_cast<uint64_t>(f->retries) : 0u;
    wait = (uint64_t{timeout_ms(rec)} + 13u) * periods;
    return state_of(f) != FRAG_ABORTED;
}

// Elapsed time in unsigned 32-bit arithmetic, so the clock's wrap does not
// matter.
uint32_t elapsed_since(const n_frag *f, uint32_t now) { return now - f->last_time; }

void on_fragment_ack(const n_pkt *pkt, uint8_t seq)
{
    n_frag *f = n_frag_get_frag(pkt->srcid);
    if (f == nullptr || !is_sending(f))
        return;  // acknowledgements advance only our own sending transfers
    if (is_previous_part(f, seq)) {
        n_frag_next_part(f->id);  // the receiver has the part before: send the one in flight again
    } else if (f->part_no == seq) {
        n_frag_acked(f->id);
        n_frag_next_part(f->id);
    }
}

void on_fragment(socket_record *rec, int ack_fd, n_pkt *pkt, uint8_t seq)
{
    // Without an acknowledgement socket the parts are acknowledged through
    // the socket they arrived on; a transfer that is never acknowledged
    // would only stall.
    const int reply_fd = ack_fd != 0 ? ack_fd : rec->fd;
    n_frag *f = n_frag_get_frag(pkt->srcid);
    if (f == nullptr || is_sending(f))
        n_frag_init_recv(reply_fd, pkt);
    else if (f->part_no == seq)
        n_frag_append(f->id, pkt);
    else if (is_previous_part(f, seq))
        send_ack_reply(reply_fd, pkt);  // stored already; its acknowledgement was lost
}

}  // namespace

namespace nimbet {

Classified classify_frame(n_pkt *pkt, const unsigned char self_id[8])
{
    n_acl *cad = nullptr;
    if (n_acl_findfirst(pkt, kTypeCAD, &cad) < 0)
        return {FrameClass::ForEverybody, 0};
    // A "CAD" shorter than an identifier cannot name this node.
    if (cad->len < kIdLen || !same_id(cad->data, self_id))
        return {FrameClass::ForOtherNode, 0};
    n_acl *cac = nullptr;
    if (n_acl_findfirst(pkt, kTypeCAC, &cac) < 0)
        return {FrameClass::ForThisNode, 0};
    // Control and sequence come from the first "CAC", the one that an
    // acknowledgement echoes, so the repeat history and the reply agree.
    if (cac->len < 2)
        return {FrameClass::Invalid, 0};
    const unsigned char control = cac->data[0];
    const uint8_t seq = cac->data[1];
    const unsigned kind = cac_kind(control);
    const bool reply = (control & kCacReply) != 0;
    if (kind == kKindSingle)
        return {reply ? FrameClass::Acknowledgement : FrameClass::Request, seq};
    if (kind == kKindFragment || kind == kKindLastFragment)
        return {reply ? FrameClass::FragmentAck : FrameClass::Fragment, seq};
    return {FrameClass::Invalid, seq};
}

Outcome handle_frame(socket_record *rec, int ack_fd, n_pkt *pkt)
{
    const Classified c = classify_frame(pkt, rec->id);
    switch (c.cls) {
    case FrameClass::ForEverybody:
    case FrameClass::ForThisNode:
    case FrameClass::Acknowledgement:
        return Outcome::Deliver;
    case FrameClass::ForOtherNode:
        return (rec->options & SOCKET_RECV_ALL) ? Outcome::Deliver : Outcome::Ignore;
    case FrameClass::FragmentAck:
        on_fragment_ack(pkt, c.seq);
        return Outcome::Deliver;
    case FrameClass::Request:
        // The reply goes out before the duplicate test: a repeat means our
        // earlier acknowledgement was lost, so it is acknowledged again.
        if ((pkt->flags & PACKET_ACK_REQUESTED) && (rec->options & SOCKET_AUTOACK) && ack_fd != 0)
            send_ack_reply(ack_fd, pkt);
        if (ack_history_contains(pkt->srcid, c.seq))
            return Outcome::Ignore;
        ack_history_add(pkt->srcid, c.seq);
        return Outcome::Deliver;
    case FrameClass::Fragment:
        if (rec->options & SOCKET_FRAG)
            on_fragment(rec, ack_fd, pkt, c.seq);
        return (rec->options & SOCKET_RECV_ALL) ? Outcome::Deliver : Outcome::Consumed;
    case FrameClass::Invalid:
        break;
    }
    return Outcome::Invalid;
}

void serve_fragment_timers(const socket_record *rec)
{
    const uint32_t now = n_util_getmstime();
    for (n_frag *f : TailQueue<&n_frag::link>::each(frag_registry())) {
        uint64_t wait = 0;
        if (!timer_wait(f, rec, wait) || elapsed_since(f, now) <= wait)
            continue;
        if (is_sending(f) && f->retries >= 1)
            n_frag_next_part(f->id);  // the part in flight goes out again
        else
            n_frag_abort(f->id);
    }
}

int next_timer_delay(const socket_record *rec)
{
    const uint32_t now = n_util_getmstime();
    int64_t best = -1;
    for (n_frag *f : TailQueue<&n_frag::link>::each(frag_registry())) {
        uint64_t wait = 0;
        if (!timer_wait(f, rec, wait))
            continue;
        const uint32_t elapsed = elapsed_since(f, now);
        const int64_t left = elapsed > wait ? 0 : static_cast<int64_t>(wait - elapsed) + 1;
        if (best < 0 || left < best)
            best = left;
    }
    return best < 0 ? -1 : static_cast<int>(best < INT32_MAX ? best : INT32_MAX);
}

bool ack_history_contains(const unsigned char id[8], uint8_t seq)
{
    // Only the newest `lastacks` entries count: a capacity lowered since they
    // were added (to 0: no history at all) takes effect at once.
    const int capacity = n_socket_get_lastacks();
    const std::size_t kept = capacity < 1 ? 0 : std::min(g_ack_history.size(), static_cast<std::size_t>(capacity));
    for (auto e = g_ack_history.rbegin(); e != g_ack_history.rbegin() + static_cast<std::ptrdiff_t>(kept); ++e)
        if (e->seq == seq && same_id(e->id, id))
            return true;
    return false;
}

void ack_history_add(const unsigned char id[8], uint8_t seq)
{
    // A capacity below 1 keeps no history: no request counts as a repeat.
    const int capacity = n_socket_get_lastacks();
    if (capacity < 1) {
        g_ack_history.clear();
        return;
    }
    while (g_ack_history.size() >= static_cast<std::size_t>(capacity))
        g_ack_history.pop_front();
    HistoryEntry e{};
    std::memcpy(e.id, id, kIdLen);
    e.seq = seq;
    g_ack_history.push_back(e);
}

std::size_t ack_history_size() { return g_ack_history.size(); }

void ack_history_clear() { g_ack_history.clear(); }

bool ensure_bound(socket_record *rec)
{
    if (rec->options & SOCKET_BOUND)
        return true;
    if (bind_socket(rec) != 0)
        return false;
    rec->options |= SOCKET_BOUND;
    return true;
}

}  // namespace nimbet

namespace {

// Reads one datagram into buf. Returns its size, or -1 when nothing was read:
// no datagram waiting on a non-blocking socket, a failed read, one longer
// than a frame can be (never delivered, even in part), or, on a blocking
// socket that drives fragmentations, a fragment timer falling due first.
ssize_t read_datagram(socket_record *rec, std::span<unsigned char> buf, n_pkt *pkt)
{
    if ((rec->options & SOCKET_BLOCKING) && (rec->options & SOCKET_FRAG)) {
        // Wait no longer than the next fragment timer, so that a lost part or
        // acknowledgement is retransmitted while the application waits.
        const int delay = next_timer_delay(rec);
        if (delay >= 0) {
            pollfd p{rec->fd, POLLIN, 0};
            if (poll(&p, 1, delay) <= 0)
                return -1;
        }
    }
    socklen_t fromlen = sizeof(pkt->from);
    const ssize_t n = recvfrom(rec->fd, buf.data(), buf.size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr *>(&pkt->from), &fromlen);
    pkt->fromlen = static_cast<int32_t>(fromlen);
    if (n < 0 || static_cast<std::size_t>(n) > buf.size())
        return -1;
    return n;
}

}  // namespace

extern "C" {

n_pkt *n_socket_recv(int fd, int ack_fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<n_pkt>(kBadF);
    if (!ensure_bound(rec))
        return fail_null<n_pkt>(kNotBound);
    for (;;) {
        PacketPtr pkt(n_pkt_alloc());
        if (!pkt)
            return fail_null<n_pkt>(kNoMem);
        std::array<unsigned char, SOCKET_RECV_BUFFER> buf;
        if (rec->options & SOCKET_FRAG)
            serve_fragment_timers(rec);
        const bool blocking = (rec->options & SOCKET_BLOCKING) != 0;
        const ssize_t n = read_datagram(rec, buf, pkt.get());
        if (n < 0) {
            if (blocking)
                continue;
            return fail_null<n_pkt>(kAgain);
        }
        if (n_pkt_parse(pkt.get(), buf.data(), static_cast<unsigned>(n)) < 0) {
            if (blocking)
                continue;
            return fail_null<n_pkt>(kIlSeq);
        }
        switch (handle_frame(rec, ack_fd, pkt.get())) {
        case Outcome::Deliver:
            return pkt.release();
        case Outcome::Ignore:
            if (blocking)
                continue;
            return fail_null<n_pkt>(kAgain);
        case Outcome::Invalid:
            return fail_null<n_pkt>(kAgain);
        case Outcome::Consumed:
            return fail_null<n_pkt>(kProto);
        }
    }
}

n_pkt *n_socket_recv_filtered(int fd, int ack_fd, int filter_id)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<n_pkt>(kBadF);
    for (;;) {
        PacketPtr pkt(n_socket_recv(fd, ack_fd));
        if (!pkt)
            return fail_null<n_pkt>(kAgain);
        switch (n_filter_apply(filter_id, pkt.get())) {
        case 1:
            return pkt.release();
        case 0:
            // Rejected packets are lost to the application; a blocking
            // socket waits for one that passes.
            if (rec->options & SOCKET_BLOCKING)
                continue;
            return fail_null<n_pkt>(kAgain);
        default:
            return nullptr;  // the filter's error
        }
    }
}

int n_socket_recv_raw(int fd, unsigned char *buffer, int size)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    if (buffer == nullptr || size < 0)
        return fail(kInval);
    if (!ensure_bound(rec))
        return fail(kNotBound);
    return static_cast<int>(recvfrom(rec->fd, buffer, static_cast<std::size_t>(size), 0, nullptr, nullptr));
}

int n_socket_select(int fd, struct timeval *timeout)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    // poll serves any descriptor number, where a select set stops at FD_SETSIZE.
    pollfd p{rec->fd, POLLIN, 0};
    timespec ts{};
    if (timeout != nullptr) {
        // select takes a microsecond part of a million or more and carries
        // it into the seconds; ppoll would refuse such a time.
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0) {
            errno = EINVAL;
            return -1;
        }
        ts.tv_sec = timeout->tv_sec + timeout->tv_usec / 1000000;
        ts.tv_nsec = (timeout->tv_usec % 1000000) * 1000L;
    }
    return ppoll(&p, 1, timeout != nullptr ? &ts : nullptr, nullptr);
}

}  // extern "C"

// Provisional forms of the bounded wait and the event-loop entry points.
extern "C" {

n_pkt *n_socket_recv_timeout(int fd, int ack_fd, int timeout_ms)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<n_pkt>(kBadF);
    pollfd p{rec->fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return fail_null<n_pkt>(kAgain);
    const bool blocking = (rec->options & SOCKET_BLOCKING) != 0;
    set_blocking_mode(rec, 0);
    n_pkt *pkt = n_socket_recv(fd, ack_fd);
    set_blocking_mode(rec, blocking ? 1 : 0);
    return pkt;
}

int n_socket_next_timer(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    return next_timer_delay(rec);
}

int n_socket_serve_timers(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    serve_fragment_timers(rec);
    return 0;
}

int n_socket_get_stats(int fd, n_socket_stats *out)
{
    if (socket_lookup(fd) == nullptr)
        return fail(kBadF);
    if (out == nullptr)
        return fail(kInval);
    *out = n_socket_stats{};
    return 0;
}

int n_socket_reset_stats(int fd) { return socket_lookup(fd) == nullptr ? fail(kBadF) : 0; }

}  // extern "C"
