// SPDX-License-Identifier: MIT
// The gateway's node: frames and finished transfers going up, commands coming down and their outcomes.
#include "bridge_node.h"

#include "frame_json.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace nimbet::bridge {

namespace {

// "CAC" control byte: bit 0 marks a reply, the bits above it the kind.
constexpr unsigned char kCacReply = 0x01;
constexpr unsigned kKindSingle = 0, kKindFragment = 1, kKindLastFragment = 2;

constexpr int kMaxReadsPerPump = 2048;
constexpr std::size_t kMaxAckedSends = 64;

struct Control {
    bool present = false;
    bool reply = false;
    unsigned kind = 0;
    uint8_t seq = 0;
};

Control control_of(n_pkt *pkt)
{
    n_acl *cac = nullptr;
    if (n_acl_findfirst_str(pkt, "CAC", &cac) < 0 || cac->len < 2)
        return {};
    return {true, (cac->data[0] & kCacReply) != 0, static_cast<unsigned>(cac->data[0] >> 1), cac->data[1]};
}

// True when the frame names a node other than `self` in its "CAD".
bool for_other_node(n_pkt *pkt, const NodeId &self)
{
    n_acl *cad = nullptr;
    if (n_acl_findfirst_str(pkt, "CAD", &cad) < 0)
        return false;
    return cad->len < 8 || std::memcmp(cad->data, self.data(), 8) != 0;
}

NodeId id_of(const unsigned char *bytes)
{
    NodeId id;
    std::memcpy(id.data(), bytes, id.size());
    return id;
}

}  // namespace

Node::Node(int fd, bool all, int filter_id, NodeSinks sinks)
    : fd_(fd), all_(all), filter_id_(filter_id), sinks_(std::move(sinks))
{
    std::memcpy(self_.data(), n_socket_get_id(fd), self_.size());
    // Every frame comes up to the gateway, which picks what to publish
    // itself; fragments of transfers addressed to it are joined on the way.
    n_socket_set_option(fd, SOCKET_AUTOACK | SOCKET_FRAG | SOCKET_RECV_ALL, 1);
}

Node::~Node() = default;

bool Node::pump()
{
    bool more = true;
    for (int reads = 0; reads < kMaxReadsPerPump; ++reads) {
        n_pkt *pkt = n_socket_recv_timeout(fd_, fd_, 0);
        if (pkt != nullptr) {
            on_packet(pkt);
            n_pkt_free(pkt);
        } else if (n_errno == N_EAGAIN || n_errno == N_EBADF || n_errno == N_ENOTBOUND) {
            more = false;  // nothing (more) right now
            break;
        }  // else a datagram was refused or consumed: read on
    }
    n_socket_serve_timers(fd_);
    for (n_event ev; n_socket_next_event(fd_, &ev, sizeof ev) == 1;) {
        // Nothing that goes wrong with one outcome may end the gateway.
        try {
            on_event(ev);
        } catch (const std::exception &e) {
            fail(nullptr, std::string("cannot report an outcome: ") + e.what());
        }
    }
    return more;
}

void Node::on_packet(n_pkt *pkt)
{
    const bool other = for_other_node(pkt, self_);
    const Control c = control_of(pkt);
    const bool part = !other && c.present && !c.reply && (c.kind == kKindFragment || c.kind == kKindLastFragment);
    // The acknowledgements of the gateway's own commands are the library's
    // business; a gateway hears its own broadcasts too, and handing them up
    // would echo every command back as a received frame.
    const bool ours = !other && c.present && c.reply && c.kind == kKindSingle;
    const bool own = std::memcmp(pkt->srcid, self_.data(), 8) == 0;
    if ((other || part || ours || own) && !all_)
        return;
    if (filter_id_ > 0 && n_filter_apply(filter_id_, pkt) != 1)
        return;
    sinks_.frame(pkt);
}

// What the library reports: the outcome of an acknowledged command, a
// transfer that started, finished or was aborted.
void Node::on_event(const n_event &ev)
{
    const uint32_t now = n_util_getmstime();
    const NodeId peer = id_of(ev.peer);
    if (ev.kind == N_EVENT_ACKED || ev.kind == N_EVENT_NOT_ACKED) {
        const auto a = acked_.find(ev.request);
        if (a == acked_.end())
            return;
        if (ev.kind == N_EVENT_ACKED)
            sinks_.result(ok_result(a->second.id, now - a->second.started));
        else
            fail(a->second.id, "not acknowledged by " + nimbet_tool::id_text(ev.peer) + " (" +
                                   std::to_string(now - a->second.started) + " ms): " +
                                   (ev.syserr != 0 ? std::strerror(ev.syserr) : n_util_strerr(ev.error)));
        acked_.erase(a);
        return;
    }
    if (!ev.receiving) {
        const auto o = outgoing_.find(peer);
        if (o == outgoing_.end() || ev.kind == N_EVENT_TRANSFER_STARTED)
            return;
        if (ev.kind == N_EVENT_TRANSFER_FINISHED)
            sinks_.result(ok_result(o->second.id, now - o->second.started, {{"bytes", o->second.bytes}}));
        else
            fail(o->second.id, "transfer to " + nimbet_tool::id_text(ev.peer) + " aborted: " +
                                   (ev.reason != nullptr ? ev.reason : "not acknowledged"));
        n_frag_delete(ev.peer);
        outgoing_.erase(o);
        return;
    }
    char type[4] = {};
    n_util_acl2str(ev.type, type);
    if (ev.kind == N_EVENT_TRANSFER_STARTED) {
        incoming_[peer] = InTransfer{type, now};
        return;
    }
    const auto in = incoming_.find(peer);
    const uint32_t started = in != incoming_.end() ? in->second.started : now;
    if (in != incoming_.end())
        incoming_.erase(in);
    if (ev.kind != N_EVENT_TRANSFER_FINISHED || ev.length < 0)
        return;
    // Taken and let go at once: a last part sent again (its acknowledgement
    // lost) is acknowledged again by the library, which remembers the
    // transfer after it is deleted.
    std::string data(static_cast<std::size_t>(ev.length), '\0');
    if (n_frag_copy_data(ev.peer, reinterpret_cast<unsigned char *>(data.data()), data.size()) == ev.length) {
        ++counters_.transfers_received;
        sinks_.transfer(peer, type, data, now - started);
    }
    n_frag_delete(ev.peer);
}

void Node::submit(const std::string &payload, const std::string &file_dir)
{
    ++counters_.commands;
    Command c;
    // Whatever goes wrong becomes the command's error result: nothing a
    // publisher sends may end the gateway.
    try {
        std::string error;
        if (!parse_command(payload, file_dir, c, error))
            return fail(c.id, error);
        if (c.transfer)
            start_transfer(c);
        else
            send_frame(c);
    } catch (const std::exception &e) {
        fail(c.id, std::string("command failed: ") + e.what());
    }
}

void Node::send_frame(const Command &c)
{
    if (c.acked && acked_.size() >= kMaxAckedSends)
        return fail(c.id, "busy: " + std::to_string(acked_.size()) + " acknowledged sends are waiting");
    std::unique_ptr<n_pkt, int (*)(n_pkt *)> pkt(n_pkt_alloc(), n_pkt_free);
    if (!pkt)
        return fail(c.id, "out of memory");
    for (const TupleSpec &t : c.tuples) {
        if (n_acl_add_str(pkt.get(), t.type.c_str(), reinterpret_cast<const unsigned char *>(t.bytes.data()),
                          static_cast<uint16_t>(t.bytes.size()), 0) < 0)
            return fail(c.id, std::string("cannot add tuple ") + t.type + ": " + n_util_strerr(n_errno));
    }
    const uint32_t t0 = n_util_getmstime();
    if (!c.acked) {
        const int r = c.addressed ? n_socket_send_addressed(fd_, pkt.get(), c.to.data()) : n_socket_send(fd_, pkt.get());
        if (r < 0)
            return fail(c.id, std::string("send failed: ") + n_util_strerr(n_errno));
        return sinks_.result(ok_result(c.id, n_util_getmstime() - t0, {{"seq", n_pkt_get_seq(pkt.get())}}));
    }
    // Acknowledged: the library resends it as the socket's settings say
    // while the gateway goes on, and reports the outcome as an event.
    const int64_t number = n_socket_send_acked_start(fd_, fd_, pkt.get(), c.to.data());
    if (number <= 0)
        return fail(c.id, n_errno == N_EPROTO ? "the tuples leave no room for the acknowledgement control"
                                              : std::string("send failed: ") + n_util_strerr(n_errno));
    acked_[static_cast<uint64_t>(number)] = AckedSend{c.id, t0};
}

void Node::start_transfer(const Command &c)
{
    if (outgoing_.count(c.to) != 0)
        return fail(c.id, "busy: a transfer to " + nimbet_tool::id_text(c.to.data()) + " is in progress");
    // The registry holds one transfer per peer, either direction: one being
    // received from this peer keeps it busy.
    if (n_frag_get_status(c.to.data(), FRAG_STATE_MASK) == FRAG_ACTIVE)
        return fail(c.id, "busy: a transfer from " + nimbet_tool::id_text(c.to.data()) + " is in progress");
    n_frag_delete(c.to.data());
    unsigned char type[2];
    n_util_str2acl(c.type.c_str(), type);
    const uint32_t t0 = n_util_getmstime();
    // A first part that could not go out stays registered and goes out
    // again from the timers; only a transfer that never registered failed.
    if (n_socket_send_buffer(fd_, fd_, reinterpret_cast<const unsigned char *>(c.data.data()),
                             static_cast<int>(c.data.size()), c.to.data(), type) < 0 &&
        n_frag_get_frag(c.to.data()) == nullptr)
        return fail(c.id, std::string("cannot start the transfer: ") + n_util_strerr(n_errno));
    outgoing_[c.to] = OutTransfer{c.id, t0, c.data.size()};
}

int Node::next_wake_ms(int max_ms) const
{
    const int timer = n_socket_next_timer(fd_);
    return timer >= 0 ? std::min(max_ms, timer) : max_ms;
}

void Node::fail(const nlohmann::json &id, const std::string &error)
{
    ++counters_.commands_failed;
    sinks_.result(error_result(id, error));
}

}  // namespace nimbet::bridge
