// SPDX-License-Identifier: MIT
// The history of accepted requests, with and without request identifiers.
#include "history.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "internal.h"
#include "socket.h"
#include "window_table.h"

using namespace nimbet;

namespace {

// The pair of nodes a history belongs to: the receiving node (the socket's
// own identifier) and the requesting one. Two nodes in one process keep
// apart what each has accepted.
struct PairKey {
    NodeKey self, peer;
    bool operator==(const PairKey &o) const = default;
};

struct PairKeyHash {
    std::size_t operator()(const PairKey &k) const
    {
        return NodeKeyHash{}(k.peer) * 31u ^ NodeKeyHash{}(k.self);
    }
};

struct SessionKey {
    PairKey pair;
    uint32_t session;
    bool operator==(const SessionKey &o) const = default;
};

struct SessionKeyHash {
    std::size_t operator()(const SessionKey &k) const { return PairKeyHash{}(k.pair) * 131u ^ k.session; }
};

// The counters of one session: the highest taken, and a bit for each of the
// kIdWindow counters at and below it (bit 0: the highest itself).
struct Counters {
    uint32_t highest = 0;
    uint64_t taken[kIdWindow / 64] = {};

    bool test(uint32_t back) const { return (taken[back / 64] >> (back % 64)) & 1u; }
    void set(uint32_t back) { taken[back / 64] |= uint64_t{1} << (back % 64); }

    // Makes `counter` the highest: the bits move down by the difference.
    void raise(uint32_t counter)
    {
        const uint32_t shift = counter - highest;
        highest = counter;
        if (shift >= kIdWindow) {
            std::fill(std::begin(taken), std::end(taken), 0);
            return;
        }
        const uint32_t words = shift / 64, bits = shift % 64;
        constexpr uint32_t n = kIdWindow / 64;
        for (uint32_t i = n; i-- > 0;) {
            const uint64_t hi = i >= words ? taken[i - words] : 0;
            const uint64_t lo = i >= words + 1 ? taken[i - words - 1] : 0;
            taken[i] = bits == 0 ? hi : (hi << bits) | (lo >> (64 - bits));
        }
    }
};

// A sequence byte taken from a pair: when, and in which order among the
// pair's requests.
struct Heard {
    uint8_t seq;
    uint32_t at;
    uint32_t order;
};

struct Bytes {
    std::vector<Heard> heard;
    uint32_t taken = 0;  // requests taken from the pair so far
};

GlobalLock g_mu(kRankHistory);
WindowTable<SessionKey, Counters, SessionKeyHash> g_sessions GUARDED_BY(g_mu)(kIdSessions);
WindowTable<PairKey, Bytes, PairKeyHash> g_pairs GUARDED_BY(g_mu)(kPlainPairs);

PairKey pair_of(const unsigned char self[8], const unsigned char peer[8])
{
    return {NodeKey::of(self), NodeKey::of(peer)};
}

}  // namespace

namespace nimbet {

Seen history_check_id(const unsigned char self[8], const unsigned char peer[8], const RequestId &id,
                      uint32_t window_ms, uint32_t now)
{
    const SessionKey key{pair_of(self, peer), id.session};
    const ScopedLock lock(g_mu);
    bool made = false;
    Counters *c = g_sessions.find_or_make(key, now, made);
    if (c == nullptr)
        return Seen::Refused;
    Seen seen = Seen::New;
    if (made || id.counter > c->highest) {
        c->raise(id.counter);
        c->set(0);
    } else if (const uint32_t back = c->highest - id.counter; back >= kIdWindow) {
        seen = Seen::Refused;
    } else if (c->test(back)) {
        seen = Seen::Repeat;
    } else {
        c->set(back);
    }
    g_sessions.keep(key, now, std::max(kIdMemoryMs, window_ms));
    return seen;
}

Seen history_check_plain(const unsigned char self[8], const unsigned char peer[8], uint8_t seq, uint32_t window_ms,
                         uint32_t now)
{
    const PairKey key = pair_of(self, peer);
    const ScopedLock lock(g_mu);
    if (lastacks() < 1) {
        g_pairs.clear();
        return Seen::New;
    }
    bool made = false;
    Bytes *b = g_pairs.find_or_make(key, now, made);
    if (b == nullptr)
        return Seen::Refused;
    auto &h = b->heard;
    // A resend arrives while its sender still retries; the same byte after
    // that is a new request.
    std::erase_if(h, [&](const Heard &e) { return now - e.at > window_ms; });
    // A byte taken before is a repeat, unless one of the bytes just before
    // it was taken after it: a sender that counts its requests one by one
    // has then come round again (even inside the window). The 16 bytes
    // before allow for requests of one sender overtaking each other; a copy
    // held back behind up to 239 newer requests is still told apart.
    Heard *same = nullptr;
    bool came_round = false;
    for (Heard &e : h) {
        const auto back = static_cast<uint8_t>(seq - e.seq);
        if (back == 0)
            same = &e;
    }
    if (same != nullptr)
        for (const Heard &e : h) {
            const auto back = static_cast<uint8_t>(seq - e.seq);
            came_round = came_round || (back >= 1 && back <= kPlainReorder && static_cast<int32_t>(e.order - same->order) > 0);
        }
    Seen seen = Seen::New;
    if (same != nullptr && !came_round)
        seen = Seen::Repeat;
    else if (same != nullptr)
        *same = {seq, now, b->taken++};
    else
        h.push_back({seq, now, b->taken++});
    g_pairs.keep(key, now, window_ms);
    return seen;
}

std::size_t ack_history_size()
{
    const ScopedLock lock(g_mu);
    std::size_t n = g_sessions.size();
    g_pairs.each([&n](const PairKey &, const Bytes &b) { n += b.heard.size(); });
    return n;
}

void ack_history_clear()
{
    const ScopedLock lock(g_mu);
    g_sessions.clear();
    g_pairs.clear();
}

}  // namespace nimbet
