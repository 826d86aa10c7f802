// SPDX-License-Identifier: MIT
// Sending: a packet becomes one frame, sent as one datagram to every destination of a socket.
#include "send.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "packet.h"
#include "trace.h"

using namespace nimbet;

namespace {

// Frames built from ordinary packets are at most 120 bytes; anything larger
// (a resent received packet with a long tuple area) goes to the heap.
constexpr std::size_t kInlineFrame = 320;

// Copies the destination list into `out`; rec->mu is held.
void take_destinations_locked(const socket_record *rec, Outgoing &out) REQUIRES(rec->mu)
{
    out.count = rec->num_interfaces;
    std::memcpy(out.to, rec->send_to, sizeof out.to);
}

// Fills in what the caller has not set: format, the socket's location and
// identifier (which then count as set, so a packet keeps the values of its
// first send), and the socket's next sequence number. Takes the destination
// list in the same step.
Outgoing complete_header(socket_record *rec, n_pkt *packet)
{
    Outgoing out;
    const ScopedLock lock(rec->mu);
    if ((packet->flags & PACKET_FORMAT_SET) == 0)
        packet->format = 2;
    if ((packet->flags & PACKET_LOCATION_SET) == 0)
        n_pkt_set_location(packet, rec->loc);
    if ((packet->flags & PACKET_SRCID_SET) == 0)
        n_pkt_set_srcid(packet, rec->id);
    if ((packet->flags & PACKET_SEQ_SET) == 0) {
        rec->last_seq = static_cast<uint8_t>(rec->last_seq + 1);
        packet->seq = rec->last_seq;
    }
    take_destinations_locked(rec, out);
    return out;
}

}  // namespace

namespace nimbet {

Outgoing prepare(socket_record *rec)
{
    Outgoing out;
    const ScopedLock lock(rec->mu);
    std::memcpy(out.stamp.loc, rec->loc, kLocLen);
    std::memcpy(out.stamp.id, rec->id, kIdLen);
    rec->last_seq = static_cast<uint8_t>(rec->last_seq + 1);
    out.stamp.seq = rec->last_seq;
    take_destinations_locked(rec, out);
    return out;
}

int transmit(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
             SentCounter also)
{
    if (hold_send(rec, out, frame, event, also))
        return 1;
    const int r = transmit_now(rec, out, frame, event, also);
    SentFrames::note(r);
    return r;
}

int transmit_now(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
                 SentCounter also)
{
    // Each destination is tried on its own; one that refuses the datagram
    // does not keep it from the others. The trace learns which took it; the
    // first refusal is the cause kept when none did.
    const bool tracing = trace_enabled();
    sockaddr_in went[kMaxDestinations];
    std::size_t gone = 0;
    int cause = 0;
    for (int i = 0; i < out.count; ++i) {
        ssize_t sent = 0;
        do {
            sent = ::sendto(rec->fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr *>(&out.to[i]),
                            sizeof out.to[i]);
        } while (sent < 0 && errno == EINTR);
        if (sent <= 0) {
            if (sent < 0 && cause == 0)
                cause = errno;
            continue;
        }
        if (tracing)
            went[gone] = out.to[i];
        ++gone;
    }
    if (gone != 0) {
        count(rec->stats.frames_sent);
        if (also != nullptr)
            count(rec->stats.*also);
    }
    if (tracing)
        trace_emit(event, rec->fd, frame.data(), frame.size(), nullptr, nullptr, went, gone);
    if (gone != 0)
        return 1;
    // Stored after the trace hook ran, which may itself call the library.
    if (out.count == 0)
        return fail(kNotFound);
    return fail_sys(error_of_errno(cause, kProto), cause);
}

int send_packet(socket_record *rec, n_pkt *packet)
{
    // Oversize packets travel only as fragmented transfers.
    if ((packet->flags & PACKET_OVERSIZE) != 0)
        return fail(kProto);
    const Outgoing out = complete_header(rec, packet);

    const std::size_t size = frame_size(packet);
    unsigned char inline_frame[kInlineFrame];
    MallocPtr<unsigned char> heap_frame;
    unsigned char *frame = inline_frame;
    if (size > sizeof inline_frame) {
        heap_frame.reset(static_cast<unsigned char *>(std::malloc(size)));
        if (!heap_frame)
            return fail(kNoMem);
        frame = heap_frame.get();
    }
    if (n_acl_first(packet) == nullptr)
        return fail(kProto);
    if (!serialise_packet(packet, {frame, size}))
        return fail(kInval);

    const int result = transmit(rec, out, {frame, size}, N_TRACE_SENT);
    // A caller-set sequence number serves one send; the next send of the same
    // packet is numbered by the socket again.
    packet->flags &= ~static_cast<uint32_t>(PACKET_SEQ_SET);
    return result;
}

}  // namespace nimbet

extern "C" {

int n_socket_send(int fd, n_pkt *packet)
try {
    if (packet == nullptr)
        return fail(kInval);
    return on_socket(fd, kInval, [&](socket_record *rec) { return send_packet(rec, packet); });
} catch (...) {
    return failed_by_exception(n_socket_send);
}

int n_socket_send_raw(int fd, const unsigned char *data, int length)
try {
    if (data == nullptr || length < 0)
        return fail(kInval);
    return on_socket(fd, kInval, [&](socket_record *rec) {
        Outgoing out;
        {
            const ScopedLock lock(rec->mu);
            take_destinations_locked(rec, out);
        }
        return transmit(rec, out, {data, static_cast<std::size_t>(length)}, N_TRACE_SENT);
    });
} catch (...) {
    return failed_by_exception(n_socket_send_raw);
}

}  // extern "C"
