// SPDX-License-Identifier: MIT
// Receiving: waiting for datagrams, checking and classifying frames, and dispatching them to their handlers.
#include "recv.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "ack.h"
#include "acked_send.h"
#include "deadline.h"
#include "frag.h"
#include "history.h"
#include "packet.h"
#include "trace.h"

using namespace nimbet;

namespace {

enum class Read { Datagram, Empty, Closed };

bool time_reached(const Wait &w)
{
    return w.kind == Wait::Until && static_cast<int32_t>(n_util_getmstime() - w.until) >= 0;
}

// Milliseconds a poll may wait: the caller's wait, shortened to the next
// fragment timer (-1: no limit). On the first round of a wait its whole
// length is left, and the clock need not be read.
int poll_ms(const Wait &w, int timer, bool first)
{
    int ms = -1;
    if (w.kind == Wait::Now)
        return 0;
    if (w.kind == Wait::Until) {
        const int32_t left = first ? w.ms : static_cast<int32_t>(w.until - n_util_getmstime());
        ms = left > 0 ? left : 0;
    }
    if (timer >= 0 && (ms < 0 || timer < ms))
        ms = timer;
    return ms;
}

// Lets a blocking read on the socket serve a wait of ms milliseconds
// (negative: no limit): the read ends before the wait's deadline (see
// read_timeout_for), or never with ms < 0. A system call only when the
// timeout set does not fit already. False when the wait is too short for a
// blocking read to end in time.
bool set_read_timeout(socket_record *rec, int ms)
{
    const int tick = system_tick_ms();
    if (ms >= 0 && read_timeout_for(ms, tick) == 0)
        return false;
    if (read_timeout_fits(rec->read_timeout.load(std::memory_order_relaxed), ms, tick))
        return true;
    const int want = read_timeout_to_set(ms, tick);
    const timeval tv{want / 1000, static_cast<suseconds_t>(want % 1000) * 1000};
    ::setsockopt(rec->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    rec->read_timeout.store(want, std::memory_order_relaxed);
    return true;
}

// Counts a call reading the system socket for as long as it reads.
struct Reading {
    explicit Reading(socket_record *r) : rec(r) { rec->readers.fetch_add(1, std::memory_order_relaxed); }
    ~Reading() { rec->readers.fetch_sub(1, std::memory_order_relaxed); }
    socket_record *rec;
};

// One read of the system socket into buf, the sender in out.from. With a
// trace hook installed, the read also asks for the address the datagram was
// sent to (IP_PKTINFO, on for every socket), and the hook sees the datagram
// as it arrived, before anything is done with it (an acknowledgement it
// causes is traced after it).
ssize_t read_now(socket_record *rec, std::span<unsigned char> buf, Delivered &out, int flags)
{
    out.fromlen = sizeof out.from;
    if (!trace_enabled())
        return ::recvfrom(rec->fd, buf.data(), buf.size(), flags, reinterpret_cast<sockaddr *>(&out.from),
                          &out.fromlen);
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &out.from;
    msg.msg_namelen = sizeof out.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(rec->fd, &msg, flags);
    if (n < 0)
        return n;
    out.fromlen = msg.msg_namelen;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    {
        const ScopedLock lock(rec->mu);
        to.sin_port = rec->port;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            to.sin_addr = info.ipi_addr;
        }
    }
    trace_emit(N_TRACE_RECEIVED, rec->fd, buf.data(), std::min(static_cast<std::size_t>(n), buf.size()), &out.from,
               nullptr, &to, 1);
    return n;
}

bool nothing_waiting(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int earlier(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

// The timers a receive serves: the transfers' on a socket with SOCKET_FRAG,
// and the acknowledged sends whose replies the socket reads. Milliseconds
// until the next is due (0: now), or -1.
int next_timer(socket_record *rec, uint32_t options)
{
    return earlier((options & SOCKET_FRAG) ? frag_next_timer(rec) : -1, acked_next_ms(rec));
}

int serve_timers(socket_record *rec, uint32_t options, bool drained)
{
    return earlier((options & SOCKET_FRAG) ? frag_serve_timers(rec, drained) : -1, acked_serve(rec));
}

// More than a full receive buffer of the largest size a socket may be given
// holds: a backlog is read whole before a transfer is given up.
constexpr int kReadsBeforeGivingUp = 8192;

// Reads one datagram into buf, waiting as `w` allows. Fragment timers are
// served on a socket with SOCKET_FRAG, and a wait never outlasts the next
// one, so a lost part goes out again while the application waits. When a
// timer is due, what is already waiting is read first: the timers run once
// the queue is found empty, so that a receiver that was descheduled does not
// give up on a transfer whose parts sit in its queue. A socket closed by
// another thread ends the wait at once: closing shuts it down, which wakes
// poll and recvfrom alike, or, for a socket shared with another process
// since a fork(), writes to its wake descriptor, which the wait then polls.
//
// A wait costs one system call per datagram where it can: on a blocking
// socket that no other thread reads, the read itself waits, bounded by the
// socket's receive timeout, which ends it before the deadline; the rest of
// the wait, and a wait too short for that, is a poll, which keeps time.
// Otherwise a read that finds nothing is followed by a poll (also on the
// caller's wake-up descriptor) and a read again. Either way the wait ends
// within a millisecond of its deadline or of the next fragment timer.
Read read_datagram(socket_record *rec, const Wait &w, bool fresh, std::span<unsigned char> buf, Delivered &out,
                   std::size_t &len)
{
    const Reading reading(rec);
    bool tried = false;
    for (;;) {
        if (rec->closed.load(std::memory_order_acquire))
            return Read::Closed;
        const uint32_t options = option_bits(rec);
        int timer = next_timer(rec, options);
        if (timer == 0 || w.kind == Wait::Now) {
            const ssize_t n = read_now(rec, buf, out, MSG_TRUNC | MSG_DONTWAIT);
            if (n >= 0) {
                // A flood that never lets the queue empty defers giving
                // up for a bounded number of reads only.
                if (timer == 0 && rec->reads_while_due.fetch_add(1, std::memory_order_relaxed) >= kReadsBeforeGivingUp) {
                    rec->reads_while_due.store(0, std::memory_order_relaxed);
                    serve_timers(rec, options, true);
                }
                len = static_cast<std::size_t>(n);
                return Read::Datagram;
            }
            if (errno == EBADF || rec->closed.load(std::memory_order_acquire))
                return Read::Closed;
            const bool drained = nothing_waiting(errno);
            if (drained)
                rec->reads_while_due.store(0, std::memory_order_relaxed);
            timer = serve_timers(rec, options, drained);
            tried = true;
            if (w.kind == Wait::Now || time_reached(w))
                return Read::Empty;
        }
        const int ms = poll_ms(w, timer, fresh && !tried);
        const bool alone = rec->readers.load(std::memory_order_relaxed) == 1;
        const bool shared = socket_shared(rec);
        int flags = MSG_TRUNC | MSG_DONTWAIT;
        const bool blocking_read = ms != 0 && alone && !shared && (options & SOCKET_BLOCKING);
        if (blocking_read && (ms < 0 || !tried) && set_read_timeout(rec, ms)) {
            flags = MSG_TRUNC;
        } else if (ms != 0 && tried) {
            // A wait too short for a blocking read polls once a read found
            // nothing: during a transfer the next datagram is mostly
            // waiting already, and one read takes it.
            const int wake = alone ? -1 : w.wake_fd;
            pollfd p[3] = {{rec->fd, POLLIN, 0}, {shared ? rec->wake_fd : -1, POLLIN, 0}, {wake, POLLIN, 0}};
            const int ready = poll_for_ms(p, 3, ms);
            if (rec->closed.load(std::memory_order_acquire))
                return Read::Closed;
            if (ready > 0 && p[2].revents != 0)
                return Read::Empty;
            if (ready == 0) {
                if (time_reached(w))
                    return Read::Empty;
                continue;  // a fragment timer is due, or the poll ended early to end on time
            }
        }
        const ssize_t n = read_now(rec, buf, out, flags);
        if (rec->closed.load(std::memory_order_acquire))
            return Read::Closed;
        if (n >= 0) {
            len = static_cast<std::size_t>(n);
            return Read::Datagram;
        }
        if (errno == EBADF)
            return Read::Closed;
        tried = true;
        if (time_reached(w))
            return Read::Empty;
        // Nothing yet (EAGAIN, EINTR, a receive timeout) or a read that
        // failed for another reason: the wait goes on; a failure that
        // persists must not spin.
        if (!nothing_waiting(errno))
            n_util_sleepms(1);
    }
}

enum class Outcome { Deliver, Ignore, Invalid, Consumed };

void trace_received(n_trace_event e, socket_record *rec, const Delivered &d, std::size_t len,
                    const char *reason = nullptr)
{
    if (trace_enabled())
        trace_emit(e, rec->fd, d.buf, len, &d.from, reason);
}

// Whether a frame passes a filter chain. A chain that cannot be applied
// lets it through: the filtered receive then reports the chain's error.
bool passes(int filter, const FrameView &v)
{
    PacketPtr pkt(n_pkt_alloc());
    return !pkt || parse_verified_frame(pkt.get(), {v.bytes, v.len}) != 0 || n_filter_apply(filter, pkt.get()) != 0;
}

// A request addressed to `rec`: the history says whether it is new, a
// repeat or one that cannot be told from a repeat. A new one and a repeat
// are acknowledged (a repeat means our earlier acknowledgement was lost);
// only a new one is delivered; a refused one is neither, so its sender
// gives up rather than being told it arrived. Requests with an identifier
// are remembered by it, others by their sequence byte.
Outcome take_request(socket_record *rec, socket_record *ack, Delivered &d, const unsigned char *self, uint8_t seq,
                     int filter)
{
    const FrameView &v = d.view;
    if (filter > 0 && !passes(filter, v)) {
        count(rec->stats.requests_refused);
        trace_received(N_TRACE_REQUEST_REFUSED, rec, d, v.len, "refused by the filter");
        return Outcome::Ignore;
    }
    const uint32_t options = option_bits(rec);
    bool ids = false;
    {
        const ScopedLock lock(rec->mu);
        ids = rec->request_ids;
    }
    RequestId id;
    const bool with_id = ids && read_request_id(v, id);
    const uint32_t now = n_util_getmstime();
    const uint32_t window = resend_window_ms(rec);
    Seen seen = Seen::Refused;
    const char *why = "quiet after the start";
    if (!socket_quiet(rec, now)) {
        seen = with_id ? history_check_id(self, v.srcid(), id, window, now)
                       : history_check_plain(self, v.srcid(), seq, window, now);
        why = "history full or too old";
    }
    if (seen == Seen::Refused) {
        count(rec->stats.requests_refused);
        trace_received(N_TRACE_REQUEST_REFUSED, rec, d, v.len, why);
        return Outcome::Ignore;
    }
    if ((options & SOCKET_AUTOACK) && ack != nullptr)
        d.acked = ack_reply(ack, ack_request_of(v), AckExtras{nullptr, ids, with_id ? &id : nullptr}) == 0;
    if (seen == Seen::Repeat) {
        count(rec->stats.duplicates);
        trace_received(N_TRACE_DUPLICATE, rec, d, v.len);
        return Outcome::Ignore;
    }
    return Outcome::Deliver;
}

// Applies the effects of one frame received on `rec` and says what becomes of
// it. `ack` is the socket acknowledgements go out through (null: none for
// single requests; fragments then use the receiving socket).
Outcome handle_frame(socket_record *rec, socket_record *ack, Delivered &d, int filter)
{
    const FrameView &v = d.view;
    unsigned char self[kIdLen];
    const uint32_t options = option_bits(rec);
    {
        const ScopedLock lock(rec->mu);
        std::memcpy(self, rec->id, kIdLen);
    }
    const Classified c = classify_frame(v, self);
    switch (c.cls) {
    case FrameClass::ForEverybody:
    case FrameClass::ForThisNode:
        return Outcome::Deliver;
    case FrameClass::Acknowledgement:
        count(rec->stats.acks_received);
        return Outcome::Deliver;
    case FrameClass::ForOtherNode:
        if (options & SOCKET_RECV_ALL)
            return Outcome::Deliver;
        count(rec->stats.not_for_us);
        trace_received(N_TRACE_NOT_FOR_US, rec, d, v.len);
        return Outcome::Ignore;
    case FrameClass::FragmentAck:
        frag_on_ack(rec, v);
        return Outcome::Deliver;
    case FrameClass::Request:
        return take_request(rec, ack, d, self, c.seq, filter);
    case FrameClass::Fragment:
        // Without an acknowledgement socket the parts are acknowledged through
        // the socket they arrived on; a transfer never acknowledged would
        // only stall.
        if (options & SOCKET_FRAG)
            d.acked = frag_on_fragment(rec, ack != nullptr ? ack : rec, v);
        return (options & SOCKET_RECV_ALL) ? Outcome::Deliver : Outcome::Consumed;
    case FrameClass::Invalid:
        break;
    }
    return Outcome::Invalid;
}

// Keeps a delivered frame for the next receive (the oldest goes when
// kHeldFrames wait already: a flood during one acknowledged send cannot
// take all memory).
void keep(socket_record *rec, const Delivered &d)
{
    HeldFrame f{{d.buf, d.buf + d.view.len}, d.from, d.fromlen, d.acked};
    const ScopedLock lock(rec->mu);
    if (rec->held.size() >= kHeldFrames) {
        rec->held.pop_front();
        count(rec->stats.held_dropped);
    }
    rec->held.push_back(std::move(f));
}

// The oldest frame kept for the next receive, as a packet; null when none.
n_pkt *take_held(socket_record *rec)
{
    HeldFrame f;
    {
        const ScopedLock lock(rec->mu);
        if (rec->held.empty())
            return nullptr;
        f = std::move(rec->held.front());
        rec->held.pop_front();
    }
    PacketPtr pkt(n_pkt_alloc());
    if (!pkt || parse_verified_frame(pkt.get(), {f.bytes.data(), f.bytes.size()}) != 0)
        return fail_null<n_pkt>(kNoMem);
    pkt->from = f.from;
    pkt->fromlen = static_cast<int32_t>(f.fromlen);
    if (f.acked)
        pkt->flags |= PACKET_ACK_SENT;
    if (trace_enabled())
        trace_emit(N_TRACE_DELIVERED, rec->fd, f.bytes.data(), f.bytes.size(), &f.from, nullptr);
    return pkt.release();
}

}  // namespace

namespace nimbet {

Classified classify_frame(const FrameView &view, const unsigned char self_id[8])
{
    if (!view.cad)
        return {FrameClass::ForEverybody, 0};
    // A "CAD" shorter than an identifier cannot name this node.
    if (view.cad.len < kIdLen || !same_id(view.cad.data, self_id))
        return {FrameClass::ForOtherNode, 0};
    if (!view.cac)
        return {FrameClass::ForThisNode, 0};
    // Control and sequence come from the first "CAC", the one that an
    // acknowledgement echoes, so the repeat history and the reply agree.
    if (view.cac.len < 2)
        return {FrameClass::Invalid, 0};
    const unsigned char control = view.cac.data[0];
    const uint8_t seq = view.cac.data[1];
    const unsigned kind = cac_kind(control);
    const bool reply = (control & kCacReply) != 0;
    if (kind == kKindSingle)
        return {reply ? FrameClass::Acknowledgement : FrameClass::Request, seq};
    if (kind == kKindFragment || kind == kKindLastFragment)
        return {reply ? FrameClass::FragmentAck : FrameClass::Fragment, seq};
    return {FrameClass::Invalid, seq};
}

Received process_datagram(socket_record *rec, socket_record *ack, Delivered &out, std::size_t n, bool waiting,
                          int filter, bool hold)
{
    out.acked = false;
    // A datagram longer than a frame can be is never parsed from its
    // truncated copy.
    const bool too_long = n > sizeof out.buf;
    const Reject why = too_long ? Reject::Short : view_frame(out.buf, n, out.view);
    out.view.from = &out.from;
    if (why != Reject::None) {
        count(rec->stats.frames_rejected);
        trace_received(N_TRACE_REJECTED, rec, out, too_long ? sizeof out.buf : n,
                       too_long ? "too long" : reject_reason(why));
        return waiting || too_long ? Received::Empty : Received::Rejected;
    }
    count(rec->stats.frames_received);
    switch (handle_frame(rec, ack, out, filter)) {
    case Outcome::Deliver: {
        const bool reply = acked_on_reply(rec, out.view);
        if (hold) {
            // A call that waits for a reply keeps every other frame for the
            // next receive; the reply it waited for is its own.
            if (reply)
                return Received::Frame;
            keep(rec, out);
            return Received::Empty;
        }
        trace_received(N_TRACE_DELIVERED, rec, out, n);
        return Received::Frame;
    }
    case Outcome::Ignore:
        return Received::Empty;
    case Outcome::Invalid:
        return Received::Invalid;
    case Outcome::Consumed:
        return Received::Consumed;
    }
    return Received::Invalid;
}

Received receive_frame(socket_record *rec, socket_record *ack, const Wait &wait, Delivered &out, int filter, bool hold)
{
    const bool waiting = wait.kind != Wait::Now;
    for (bool fresh = true;; fresh = false) {
        std::size_t n = 0;
        switch (read_datagram(rec, wait, fresh, out.buf, out, n)) {
        case Read::Closed:
            return Received::Closed;
        case Read::Empty:
            return Received::Empty;
        case Read::Datagram:
            break;
        }
        const Received r = process_datagram(rec, ack, out, n, waiting, filter, hold);
        if (r != Received::Empty || !waiting)
            return r;
    }
}

// n_socket_recv with a given wait, up to the frame: a packet kept by an
// earlier wait (in `kept`), or the frame that arrived (in `d`); 0, or -1
// with the error number.
int receive_delivered(socket_record *rec, int ack_fd, const Wait &wait, int filter, Delivered &d, PacketPtr &kept)
{
    if (!ensure_bound(rec))
        return fail_sys(kNotBound, errno);
    kept.reset(take_held(rec));
    if (kept)
        return 0;
    SocketRef ack = ack_fd != 0 ? socket_acquire(ack_fd) : SocketRef();
    switch (receive_frame(rec, ack.get(), wait, d, filter)) {
    case Received::Frame:
        return 0;
    case Received::Closed:
        return fail(kBadF);
    case Received::Empty:
    case Received::Invalid:
        return fail(kAgain);
    case Received::Consumed:
        return fail(kProto);
    case Received::Rejected:
        return fail(kIlSeq);
    }
    return fail(kAgain);
}

// A delivered frame as a packet; null with 12.
n_pkt *packet_of(const Delivered &d)
{
    // The frame passed every check already: it becomes a packet without a
    // second CRC.
    PacketPtr pkt(n_pkt_alloc());
    if (!pkt || parse_verified_frame(pkt.get(), {d.buf, d.view.len}) != 0)
        return fail_null<n_pkt>(kNoMem);
    pkt->from = d.from;
    pkt->fromlen = static_cast<int32_t>(d.fromlen);
    if (d.acked)
        pkt->flags |= PACKET_ACK_SENT;
    return pkt.release();
}

n_pkt *receive_packet(socket_record *rec, int ack_fd, const Wait &wait, int filter)
{
    Delivered d;
    PacketPtr kept;
    if (receive_delivered(rec, ack_fd, wait, filter, d, kept) != 0)
        return nullptr;
    return kept ? kept.release() : packet_of(d);
}

}  // namespace nimbet

extern "C" {

n_pkt *n_socket_recv(int fd, int ack_fd)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const bool blocking = (option_bits(rec) & SOCKET_BLOCKING) != 0;
        return receive_packet(rec, ack_fd, blocking ? Wait::forever() : Wait::now());
    });
} catch (...) {
    return failed_by_exception(n_socket_recv);
}

n_pkt *n_socket_recv_timeout(int fd, int ack_fd, int timeout_ms)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) { return receive_packet(rec, ack_fd, Wait::for_ms(timeout_ms)); });
} catch (...) {
    return failed_by_exception(n_socket_recv_timeout);
}

int n_socket_recv_frame(int fd, int ack_fd, int timeout_ms, int filter_id, unsigned char *buffer, int size,
                        struct sockaddr_in *from, uint32_t *flags)
try {
    if (buffer == nullptr || size < SOCKET_RECV_BUFFER)
        return fail(kInval);
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        // One deadline for the whole call, however many frames the chain
        // refuses. Past it, what waits already is still read, as a receive
        // does, but a flood of refused frames cannot hold the call for long.
        const Wait wait = Wait::for_ms(timeout_ms);
        constexpr int kRefusedPastTime = 64;
        int late = 0;
        for (;;) {
            // A request the chain refuses is not acknowledged either.
            Delivered d;
            PacketPtr pkt;
            if (receive_delivered(rec, ack_fd, wait, filter_id, d, pkt) != 0)
                return -1;  // the receive's error
            // A frame that arrived goes out as it came; only a chain needs
            // it as a packet, and a frame kept by an earlier wait is one.
            if (!pkt && filter_id != 0 && !(pkt = PacketPtr(packet_of(d))))
                return -1;
            if (filter_id != 0) {
                const int passes = n_filter_apply(filter_id, pkt.get());
                if (passes < 0)
                    return -1;  // the filter's error
                if (passes == 0) {
                    if (time_reached(wait) && ++late > kRefusedPastTime)
                        return fail(kAgain);
                    continue;
                }
            }
            if (!pkt) {
                const std::span<const unsigned char> frame(d.buf, d.view.len);
                std::memcpy(buffer, frame.data(), frame.size());
                if (from != nullptr)
                    *from = d.from;
                if (flags != nullptr)
                    *flags = verified_frame_flags(frame) | (d.acked ? PACKET_ACK_SENT : 0u);
                return static_cast<int>(frame.size());
            }
            const std::size_t length = frame_size(pkt.get());
            if (length > static_cast<std::size_t>(size) || !serialise_packet(pkt.get(), {buffer, length}))
                return fail(kInval);
            if (from != nullptr)
                *from = pkt->from;
            if (flags != nullptr)
                *flags = pkt->flags;
            return static_cast<int>(length);
        }
    });
} catch (...) {
    return failed_by_exception(n_socket_recv_frame);
}

namespace {

constexpr int64_t kNsPerSec = 1000000000;

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// The nanoseconds a select-style time value stands for (a microsecond part
// of a million or more carries into the seconds, as select takes it), or -1
// for negative parts, which select refuses. Waits beyond some 30 years are
// cut to that.
int64_t select_ns(const timeval &tv)
{
    constexpr int64_t kLongest = int64_t{1} << 30;  // seconds
    if (tv.tv_sec < 0 || tv.tv_usec < 0)
        return -1;
    const int64_t sec = tv.tv_sec < kLongest ? tv.tv_sec : kLongest;
    const int64_t usec = tv.tv_usec < kLongest ? tv.tv_usec : kLongest;
    return sec * kNsPerSec + usec * 1000;
}

// Waits until a datagram can be read (1) or the time runs out (0; no limit
// without a timeout); -1 with 9 when the socket is closed meanwhile, 22 for
// a negative time, or the poll's error. A socket that another process
// holds is not shut down by a close: its wake descriptor is watched too.
int wait_for_datagram(socket_record *rec, const timeval *timeout)
{
    const int64_t length = timeout != nullptr ? select_ns(*timeout) : 0;
    if (length < 0)
        return fail(kInval);
    const int64_t deadline = monotonic_ns() + length;
    for (;;) {
        // poll serves any descriptor number, where a select set stops at FD_SETSIZE.
        pollfd p[2] = {{rec->fd, POLLIN, 0}, {socket_shared(rec) ? rec->wake_fd : -1, POLLIN, 0}};
        const int64_t span = poll_span_ns(deadline - monotonic_ns());
        const timespec ts{static_cast<time_t>(span / kNsPerSec), static_cast<long>(span % kNsPerSec)};
        const int ready = ::ppoll(p, 2, timeout != nullptr ? &ts : nullptr, nullptr);
        if (rec->closed.load(std::memory_order_acquire))
            return fail(kBadF);
        // A long wait is polled in two steps, so that it ends on time.
        if (ready == 0 && monotonic_ns() < deadline)
            continue;
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (errno != EINTR) {
            const int e = errno;
            return fail_sys(error_of_errno(e, kInval), e);
        }
    }
}

}  // namespace

int n_socket_recv_raw(int fd, unsigned char *buffer, int size)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (buffer == nullptr || size < 0)
            return fail(kInval);
        if (!ensure_bound(rec))
            return fail_sys(kNotBound, errno);
        // A blocking read here waits as long as it takes: no receive timeout
        // that a receive of the library set before. On a socket that another
        // process holds, a close does not shut it down: the wait watches the
        // wake descriptor as well, and reads only what is there.
        set_read_timeout(rec, -1);
        const bool blocking = (option_bits(rec) & SOCKET_BLOCKING) != 0;
        for (;;) {
            const bool shared = blocking && socket_shared(rec);
            if (shared && wait_for_datagram(rec, nullptr) < 0)
                return -1;
            const ssize_t n = ::recvfrom(rec->fd, buffer, static_cast<std::size_t>(size), shared ? MSG_DONTWAIT : 0,
                                         nullptr, nullptr);
            if (rec->closed.load(std::memory_order_acquire))
                return fail(kBadF);
            if (n >= 0)
                return static_cast<int>(n);
            const int e = errno;
            if (!shared || !nothing_waiting(e))  // (the other process read it first: wait again)
                return fail_sys(error_of_errno(e, kAgain), e);
        }
    });
} catch (...) {
    return failed_by_exception(n_socket_recv_raw);
}

// A signal that interrupts the wait does not end it: the wait goes on for
// what is left of its time.
int n_socket_select(int fd, struct timeval *timeout)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) { return wait_for_datagram(rec, timeout); });
} catch (...) {
    return failed_by_exception(n_socket_select);
}

int n_socket_next_timer(int fd)
try {
    return on_socket(fd, kBadF, [](socket_record *rec) { return next_timer(rec, option_bits(rec)); });
} catch (...) {
    return failed_by_exception(n_socket_next_timer);
}

int n_socket_serve_timers(int fd)
try {
    return on_socket(fd, kBadF, [](socket_record *rec) {
        // Giving up waits while datagrams are waiting: the next receive reads
        // them, then serves what is still due.
        pollfd p{rec->fd, POLLIN, 0};
        frag_serve_timers(rec, ::poll(&p, 1, 0) == 0);
        acked_serve(rec);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_serve_timers);
}

}  // extern "C"
