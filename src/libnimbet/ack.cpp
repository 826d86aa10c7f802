// SPDX-License-Identifier: MIT
// Acknowledgement replies, the per-node history of accepted requests, and senders waiting for their reply.
#include "ack.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "recent.h"
#include "send.h"
#include "trace.h"

using namespace nimbet;

namespace {

// ---------------------------------------------------------------- history

// A request accepted from one node by another: its sequence byte and when it
// first arrived.
struct Seq {
    uint8_t value;
    uint32_t at;
};

// The pair of nodes a history belongs to: the receiving node (the socket's
// own identifier) and the requesting one. Two nodes in one process keep
// apart what each has accepted.
struct PairKey {
    NodeKey self, peer;
    bool operator==(const PairKey &o) const { return self == o.self && peer == o.peer; }
};

struct PairKeyHash {
    std::size_t operator()(const PairKey &k) const
    {
        return NodeKeyHash{}(k.peer) * 31u ^ NodeKeyHash{}(k.self);
    }
};

// The requests of one pair, newest last.
struct PairHistory {
    std::deque<Seq> seqs;
};

// Pairs are forgotten when more than 4096 are known (the one heard longest
// ago first) or when not heard for 5 minutes.
GlobalLock g_history_mu(kRankHistory);
RecentTable<PairKey, PairHistory, PairKeyHash> g_history(4096, 5u * 60u * 1000u);

}  // namespace

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

// The reply to a request with "CAD" = B (this node, as the requester named
// it), "CAC" = control, seq and source identifier A:
//
//   header: format 2 | socket's location | srcid B | socket's next seq
//   tuples: ACM (A5 0E 00)
//           CAC (66 40 02) control|1 seq
//           [CAT (D0 80 09) 0C nonce index]  echo of a transfer descriptor
//           CAD (6C 80 08) A[8]
//   CRC
//
// 75 bytes for a 2-byte "CAC". The requester recognises it by its "CAD".
int ack_reply(socket_record *rec, const AckRequest &req, const Descriptor *echo)
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
    Outgoing out = prepare(rec);
    FrameWriter w(out.stamp.loc, req.cad.data, out.stamp.seq);
    w.tuple(kTypeACM, nullptr, 0);
    w.tuple(kTypeCAC, control, req.cac.len);
    if (echo != nullptr) {
        unsigned char desc[kDescMax];
        w.tuple(kTypeCAT, desc, write_descriptor(*echo, desc));
    }
    w.tuple(kTypeCAD, req.srcid, kIdLen);
    if (transmit(rec, out, w.finish(), N_TRACE_ACK_SENT) <= 0)
        return -1;
    count(rec->stats.acks_sent);
    return 0;
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
        if (ack_reply(rec, req, nullptr) != 0)
            return -1;
        request->flags |= PACKET_ACK_SENT;
        return 0;
    });
}

bool ack_history_repeat(const unsigned char self[8], const unsigned char peer[8], uint8_t seq, uint32_t window_ms)
{
    const int capacity = lastacks();
    std::lock_guard lock(g_history_mu);
    const uint32_t now = n_util_getmstime();
    // A capacity below 1 keeps no history: no request counts as a repeat.
    if (capacity < 1) {
        g_history.clear();
        return false;
    }
    PairHistory &h = g_history.touch({NodeKey::of(self), NodeKey::of(peer)}, now);
    // Only the newest `capacity` entries count: a capacity lowered since they
    // were added takes effect at once.
    while (h.seqs.size() > static_cast<std::size_t>(capacity))
        h.seqs.pop_front();
    for (auto it = h.seqs.begin(); it != h.seqs.end(); ++it) {
        if (it->value != seq)
            continue;
        // A resend arrives while its sender still retries; the same sequence
        // byte after that is a new request (a restarted node's counter met
        // an old value), which takes the entry's place.
        if (now - it->at <= window_ms)
            return true;
        h.seqs.erase(it);
        break;
    }
    if (h.seqs.size() >= static_cast<std::size_t>(capacity))
        h.seqs.pop_front();
    h.seqs.push_back({seq, now});
    return false;
}

std::size_t ack_history_size()
{
    std::lock_guard lock(g_history_mu);
    std::size_t n = 0;
    g_history.each([&n](const PairHistory &h) { n += h.seqs.size(); });
    return n;
}

void ack_history_clear()
{
    std::lock_guard lock(g_history_mu);
    g_history.clear();
}

void waiter_add(socket_record *rec, AckWaiter *w)
{
    std::lock_guard lock(rec->mu);
    w->next = rec->waiters;
    rec->waiters = w;
}

void waiter_remove(socket_record *rec, AckWaiter *w)
{
    std::lock_guard lock(rec->mu);
    for (AckWaiter **p = &rec->waiters; *p != nullptr; p = &(*p)->next)
        if (*p == w) {
            *p = w->next;
            break;
        }
    w->next = nullptr;
}

void settle_waiters(socket_record *rec, const FrameView &view)
{
    // Only a frame from the addressed node carrying "ACM" answers a wait: one
    // without "CAC" is a malformed reply, one with control byte 1 and the
    // request's sequence the reply; anything else is passed over.
    if (!view.acm)
        return;
    std::lock_guard lock(rec->mu);
    for (AckWaiter *w = rec->waiters; w != nullptr; w = w->next) {
        if (w->outcome.load() != 0 || !same_id(view.srcid(), w->dest))
            continue;
        int outcome = 0;
        if (!view.cac)
            outcome = 2;
        else if (view.cac.len >= 2 && view.cac.data[0] == kCacReply && view.cac.data[1] == w->q)
            outcome = 1;
        if (outcome == 0)
            continue;
        w->outcome.store(outcome);
        // The waiter's own thread reads its outcome when the receive returns;
        // only another thread has to wake it.
        if (w->wake_fd != t_wake.fd) {
            w->woken.store(true);
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(w->wake_fd, &one, sizeof one);
        }
    }
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
