// SPDX-License-Identifier: MIT
// Transfers that ended, remembered for as long as copies of their parts can still arrive.
#include <mutex>
#include <new>

#include "frag.h"
#include "window_table.h"

using namespace nimbet;

namespace {

// What is remembered of one transfer: the last part it stored (its
// acknowledgement is sent again when that part comes again), or nothing
// yet while it runs or when it stored none.
struct Ended {
    bool stored = false;
    PartSummary last{};
};

struct NonceKey {
    NodeKey peer;
    uint32_t nonce;
    bool operator==(const NonceKey &o) const = default;
};

struct NonceKeyHash {
    std::size_t operator()(const NonceKey &k) const { return NodeKeyHash{}(k.peer) * 131u ^ k.nonce; }
};

// Each receiving transfer takes its entry when it starts, so that its end
// can always be remembered: a full memory refuses new transfers instead of
// forgetting old ones. A described transfer is remembered by its nonce; of
// a plain one only the newest of each peer counts (its parts are told
// apart only within the sender's window).
WindowTable<NonceKey, Ended, NonceKeyHash> g_described GUARDED_BY(frag_mutex())(kEndedTransfers);
WindowTable<NodeKey, Ended, NodeKeyHash> g_plain GUARDED_BY(frag_mutex())(kEndedTransfers);

// A transfer under way keeps its entry however long it runs.
constexpr uint32_t kLiveMs = 24u * 3600u * 1000u;

}  // namespace

namespace nimbet {

bool ended_reserve(const unsigned char *peer, bool described, uint32_t nonce)
{
    const uint32_t now = n_util_getmstime();
    const ScopedLock lock(frag_mutex());
    bool made = false;
    Ended *e = described ? g_described.find_or_make({NodeKey::of(peer), nonce}, now, made)
                         : g_plain.find_or_make(NodeKey::of(peer), now, made);
    if (e == nullptr)
        return false;
    *e = Ended{};
    if (described)
        g_described.expire_in({NodeKey::of(peer), nonce}, now, kLiveMs);
    else
        g_plain.expire_in(NodeKey::of(peer), now, kLiveMs);
    return true;
}

void ended_remember(const n_frag *f)
{
    const uint32_t now = n_util_getmstime();
    const uint32_t keep = f->described || f->channel == nullptr ? kEndedMemoryMs : resend_window_ms(f->channel);
    const ScopedLock lock(frag_mutex());
    bool made = false;
    Ended *e = nullptr;
    try {
        e = f->described ? g_described.find_or_make({NodeKey::of(f->id), f->nonce}, now, made)
                         : g_plain.find_or_make(NodeKey::of(f->id), now, made);
    } catch (const std::bad_alloc &) {
        // An abort or a finish must not fail halfway for want of memory.
    }
    if (e == nullptr)
        return;  // (a transfer started through n_frag_init_recv on a full memory, or no memory)
    e->stored = f->part_index > 0;
    e->last = f->last;
    if (f->described)
        g_described.expire_in({NodeKey::of(f->id), f->nonce}, now, keep);
    else
        g_plain.expire_in(NodeKey::of(f->id), now, keep);
}

bool ended_by_nonce(const unsigned char *peer, uint32_t nonce, PartSummary &out)
{
    const ScopedLock lock(frag_mutex());
    const Ended *e = g_described.find({NodeKey::of(peer), nonce}, n_util_getmstime());
    if (e == nullptr)
        return false;
    out = e->stored ? e->last : PartSummary{};
    return true;
}

bool ended_plain(const unsigned char *peer, PartSummary &out)
{
    const ScopedLock lock(frag_mutex());
    const Ended *e = g_plain.find(NodeKey::of(peer), n_util_getmstime());
    if (e == nullptr || !e->stored)
        return false;
    out = e->last;
    return true;
}

std::size_t ended_size()
{
    const ScopedLock lock(frag_mutex());
    return g_described.size() + g_plain.size();
}

void ended_clear()
{
    const ScopedLock lock(frag_mutex());
    g_described.clear();
    g_plain.clear();
}

}  // namespace nimbet
