// SPDX-License-Identifier: MIT
// The gateway's node: frames and finished transfers going up, commands coming down and their outcomes.
#include "bridge_node.h"

#include "frame_json.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

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

// True when the frame's "CAD" names exactly `self`.
bool names_node(n_pkt *pkt, const NodeId &self)
{
    n_acl *cad = nullptr;
    return n_acl_findfirst_str(pkt, "CAD", &cad) >= 0 && cad->len == 8 && std::memcmp(cad->data, self.data(), 8) == 0;
}

NodeId id_of(const unsigned char *bytes)
{
    NodeId id;
    std::memcpy(id.data(), bytes, id.size());
    return id;
}

// The type of the first tuple that is not a control tuple: a transfer's data type.
std::string data_type_of(n_pkt *pkt)
{
    char name[4];
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
        n_acl_get_type_str(t, name);
        if (strcasecmp(name, "CAD") != 0 && strcasecmp(name, "CAC") != 0 && strcasecmp(name, "CAT") != 0)
            return name;
    }
    return "";
}

}  // namespace

Node::Node(int fd, bool all, int filter_id, NodeSinks sinks)
    : fd_(fd), all_(all), filter_id_(filter_id), sinks_(std::move(sinks)),
      next_q_(static_cast<uint8_t>(std::rand()))
{
    std::memcpy(self_.data(), n_socket_get_id(fd), self_.size());
    // Every frame comes up to the gateway, which picks what to publish
    // itself; fragments of transfers addressed to it are joined on the way.
    n_socket_set_option(fd, SOCKET_AUTOACK | SOCKET_FRAG | SOCKET_RECV_ALL, 1);
}

Node::~Node()
{
    for (AckedSend &a : acked_)
        n_pkt_free(a.pkt);
}

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
    check_acked_sends();
    check_transfers();
    return more;
}

void Node::on_packet(n_pkt *pkt)
{
    if (settles_acked_send(pkt))
        return;
    const bool other = for_other_node(pkt, self_);
    const Control c = control_of(pkt);
    const bool part = !other && c.present && !c.reply && (c.kind == kKindFragment || c.kind == kKindLastFragment);
    if (part && n_frag_get_status(pkt->srcid, FRAG_RECEIVING) == FRAG_RECEIVING) {
        InTransfer &in = incoming_[id_of(pkt->srcid)];
        in.last_type = data_type_of(pkt);
        if (in.started == 0)
            in = InTransfer{in.last_type, n_util_getmstime() | 1u, in.last_type};
    }
    // A gateway hears its own broadcasts; handing them up would echo every
    // command back as a received frame.
    const bool own = std::memcmp(pkt->srcid, self_.data(), 8) == 0;
    if ((other || part || own) && !all_)
        return;
    if (filter_id_ > 0 && n_filter_apply(filter_id_, pkt) != 1)
        return;
    sinks_.frame(pkt);
}

// An acknowledgement of one of our acknowledged sends: from the addressed
// node, with "ACM", the request's "CAC" sequence byte, and a "CAD" that
// names this node (a reply to another requester with the same byte settles
// nothing here).
bool Node::settles_acked_send(n_pkt *pkt)
{
    if (acked_.empty() || n_acl_findfirst_str(pkt, "ACM", nullptr) < 0 || !names_node(pkt, self_))
        return false;
    const Control c = control_of(pkt);
    if (!c.present || !c.reply || c.kind != kKindSingle)
        return false;
    for (auto a = acked_.begin(); a != acked_.end(); ++a) {
        if (a->q == c.seq && std::memcmp(a->dest.data(), pkt->srcid, 8) == 0) {
            const uint32_t now = n_util_getmstime();
            sinks_.result(ok_result(a->id, now - a->started, {{"attempts", a->attempts}}));
            n_pkt_free(a->pkt);
            acked_.erase(a);
            return true;
        }
    }
    return false;
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
    n_pkt *pkt = n_pkt_alloc();
    if (pkt == nullptr)
        return fail(c.id, "out of memory");
    for (const TupleSpec &t : c.tuples) {
        if (n_acl_add_str(pkt, t.type.c_str(), reinterpret_cast<const unsigned char *>(t.bytes.data()),
                          static_cast<uint16_t>(t.bytes.size()), 0) < 0) {
            n_pkt_free(pkt);
            return fail(c.id, std::string("cannot add tuple ") + t.type + ": " + n_util_strerr(n_errno));
        }
    }
    const uint32_t t0 = n_util_getmstime();
    if (!c.acked) {
        const int r = c.addressed ? n_socket_send_addressed(fd_, pkt, c.to.data()) : n_socket_send(fd_, pkt);
        const int seq = n_pkt_get_seq(pkt);
        n_pkt_free(pkt);
        if (r < 0)
            return fail(c.id, std::string("send failed: ") + n_util_strerr(n_errno));
        return sinks_.result(ok_result(c.id, n_util_getmstime() - t0, {{"seq", seq}}));
    }
    // Acknowledged: the request carries "CAD" and a "CAC" with its own
    // sequence byte, and goes out again every timeout until the
    // acknowledgement comes (see settles_acked_send) or the retries run out.
    const uint8_t q = next_q_++;
    const unsigned char cac[2] = {0, q};
    if (n_acl_add_str(pkt, "CAD", c.to.data(), 8, 0) < 0 || n_acl_add_str(pkt, "CAC", cac, 2, 0) < 0) {
        n_pkt_free(pkt);
        return fail(c.id, "the tuples leave no room for the acknowledgement control");
    }
    if (n_socket_send(fd_, pkt) < 0) {
        n_pkt_free(pkt);
        return fail(c.id, std::string("send failed: ") + n_util_strerr(n_errno));
    }
    acked_.push_back({pkt, c.id, c.to, q, 1, t0, t0});
}

void Node::check_acked_sends()
{
    const uint32_t now = n_util_getmstime();
    const uint32_t timeout = static_cast<uint32_t>(n_socket_get_timeout(fd_));
    const int retry = n_socket_get_retry(fd_);
    for (auto a = acked_.begin(); a != acked_.end();) {
        if (now - a->last_sent < timeout) {
            ++a;
        } else if (a->attempts < retry) {
            n_socket_send(fd_, a->pkt);  // a failed send counts as an attempt: the peer heard nothing
            a->last_sent = now;
            ++a->attempts;
            ++a;
        } else {
            fail(a->id, "not acknowledged by " + nimbet_tool::id_text(a->dest.data()) + " after " +
                            std::to_string(a->attempts) + " attempts (" + std::to_string(now - a->started) + " ms)");
            n_pkt_free(a->pkt);
            a = acked_.erase(a);
        }
    }
}

void Node::start_transfer(const Command &c)
{
    if (outgoing_.count(c.to) != 0)
        return fail(c.id, "busy: a transfer to " + nimbet_tool::id_text(c.to.data()) + " is in progress");
    // The registry holds one transfer per peer, either direction. One
    // received from this peer and already handed up gives way.
    if (n_frag_get_frag(c.to.data()) != nullptr) {
        const auto in = incoming_.find(c.to);
        const int state = n_frag_get_status(c.to.data(), FRAG_STATE_MASK);
        if (state == FRAG_ACTIVE && (in == incoming_.end() || !in->second.published))
            return fail(c.id, "busy: a transfer from " + nimbet_tool::id_text(c.to.data()) + " is in progress");
        n_frag_abort(c.to.data());
        n_frag_delete(c.to.data());
        if (in != incoming_.end())
            incoming_.erase(in);
    }
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

void Node::check_transfers()
{
    const uint32_t now = n_util_getmstime();
    for (auto o = outgoing_.begin(); o != outgoing_.end();) {
        const int state = n_frag_get_status(o->first.data(), FRAG_STATE_MASK);
        if (state == FRAG_ACTIVE) {
            ++o;
            continue;
        }
        if (state == FRAG_FINISHED)
            sinks_.result(ok_result(o->second.id, now - o->second.started, {{"bytes", o->second.bytes}}));
        else
            fail(o->second.id, "transfer to " + nimbet_tool::id_text(o->first.data()) + " aborted: not acknowledged");
        n_frag_delete(o->first.data());
        o = outgoing_.erase(o);
    }

    // A received transfer is handed up once finished, then kept a while, so
    // that a last part sent again (its acknowledgement lost) is acknowledged
    // again rather than left unanswered.
    const uint32_t linger = 2u * static_cast<uint32_t>(n_socket_get_timeout(fd_));
    for (auto in = incoming_.begin(); in != incoming_.end();) {
        const unsigned char *id = in->first.data();
        int64_t total = -1;
        const int status = n_frag_get_progress(id, nullptr, &total);
        // The peer started another transfer while its last one lingered.
        if (in->second.published && status == (FRAG_RECEIVING | FRAG_ACTIVE))
            in->second = InTransfer{in->second.last_type, now | 1u, in->second.last_type};
        if (status == (FRAG_RECEIVING | FRAG_FINISHED) && !in->second.published && total >= 0) {
            std::string data(static_cast<std::size_t>(total), '\0');
            if (n_frag_copy_data(id, reinterpret_cast<unsigned char *>(data.data()), data.size()) == total) {
                ++counters_.transfers_received;
                sinks_.transfer(in->first, in->second.type, data, now - in->second.started);
            }
            in->second.published = true;
            in->second.finished = now;
        }
        const bool done = status < 0 || (status & FRAG_RECEIVING) == 0 || (status & FRAG_STATE_MASK) == FRAG_ABORTED ||
                          (in->second.published && now - in->second.finished >= linger);
        if (!done) {
            ++in;
            continue;
        }
        if (status >= 0 && (status & FRAG_RECEIVING) != 0) {
            n_frag_abort(id);
            n_frag_delete(id);
        }
        in = incoming_.erase(in);
    }
}

int Node::next_wake_ms(int max_ms) const
{
    int wait = max_ms;
    const uint32_t now = n_util_getmstime();
    const uint32_t timeout = static_cast<uint32_t>(n_socket_get_timeout(fd_));
    for (const AckedSend &a : acked_) {
        const uint32_t since = now - a.last_sent;
        wait = std::min<int>(wait, since >= timeout ? 0 : static_cast<int>(timeout - since));
    }
    if (!incoming_.empty() || !outgoing_.empty())
        wait = std::min(wait, 20);  // transfer states are polled
    const int timer = n_socket_next_timer(fd_);
    if (timer >= 0)
        wait = std::min(wait, timer);
    return wait;
}

void Node::fail(const nlohmann::json &id, const std::string &error)
{
    ++counters_.commands_failed;
    sinks_.result(error_result(id, error));
}

}  // namespace nimbet::bridge
