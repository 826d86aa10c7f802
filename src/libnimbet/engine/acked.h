// SPDX-License-Identifier: MIT
// Acknowledged sends without I/O: what a reply settles, when the clock asks for a resend or a give-up.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/deadlines.h"
#include "engine/events.h"
#include "frame.h"
#include "rtt.h"

namespace nimbet::engine {

// What an acknowledged send transmits and waits for.
struct AckedSpec {
    unsigned char dest[8];  // the addressed node, which must reply
    unsigned char self[8];  // the requester, which the reply's "CAD" names
    uint8_t q;              // the "CAC" sequence byte of every transmission
    bool has_id;            // with a request identifier ("CAR"), for a peer that takes them
    RequestId id;
    int retry;              // transmissions at most (the plain rule), or at least (adaptive)
    uint32_t timeout;       // milliseconds of wait after each (plain), the ceiling (adaptive)
    bool adaptive;          // resend after the peer's measured round trip
};

enum class Outcome : uint8_t {
    Pending,
    Acked,      // the addressed node replied
    Malformed,  // it replied with "ACM" but no "CAC"
    TimedOut,   // no reply in time
    Closed,     // the socket was closed meanwhile
};

// What the socket layer keeps with a send and the core never looks at: the
// frame of its first transmission (a resend takes the next sequence
// number), the socket it goes out through, and who waits for it.
struct SendShell {
    std::vector<unsigned char> frame;
    int send_fd = -1;
    uint64_t send_serial = 0;
    bool blocking = false;  // a caller waits for it in n_socket_send_acked
    int wake_fd = -1;       // that caller's, to wake it from another thread
    bool woken = false;
    EventRoom outcome_room;  // where the outcome of a send nobody waits for goes
};

// One acknowledged send: its settings, its estimate of the peer's round
// trip, and where it stands.
struct AckedSend {
    uint64_t number = 0;
    AckedSpec spec{};
    RttEstimator rtt;
    uint32_t start = 0;     // the first transmission
    uint32_t sent_at = 0;   // the last one
    uint32_t deadline = 0;  // when the next resend or the give-up is due
    uint32_t budget = 0;    // adaptive: retry x timeout ms from the start
    int sends = 1;
    Outcome outcome = Outcome::Pending;
    bool marked = false;    // the reply carried "CAR": the peer takes identifiers
    bool sampled = false;   // the reply answered a send that went out once: a round-trip sample
    uint32_t round_trip = 0;
    SendShell shell;
};

// What the clock asks of a send that is due.
enum class Due { Resend, GiveUp };

/*
 * The acknowledged sends whose replies one socket reads. Inputs: a new send
 * (its first transmission just left), a reply read from the network, the
 * clock, a resend done. Outputs: which sends a reply settled, which are due
 * for a resend or are given up, and the next deadline. The timing is the
 * send's own: with the plain rule `retry` transmissions `timeout` ms apart;
 * adaptive, a resend as soon as the peer's measured round trip says the
 * reply is late (backing off on each miss), given up once retry x timeout ms
 * have passed since the first transmission and at least `retry` went out.
 * Sends stay until the caller takes them (take). Not locked: its owner (the
 * socket) guards it.
 */
class AckedSends {
public:
    // Enters a send, with what its shell keeps; all or nothing when memory
    // runs out (std::bad_alloc leaves the sends as they were).
    void add(uint64_t number, const AckedSpec &spec, const RttEstimator &rtt, uint32_t now, SendShell shell);

    // A frame from the network that may be a reply: calls on_settled(send)
    // for each send it settles (outcome Acked or Malformed). A reply
    // settles only the send of the node its "CAD" names, and, for a request
    // with an identifier, only one that carries it back (or none at all).
    template <class Fn>
    void settle(const FrameView &view, uint32_t now, Fn on_settled);

    // Sends whose deadline passed: on_due(send, Resend) for those to
    // transmit again (then call resent), on_due(send, GiveUp) for those
    // given up (outcome TimedOut).
    template <class Fn>
    void expire(uint32_t now, Fn on_due);

    // The first transmission left at `now`, which may be later than the
    // send was entered: its waits count from then.
    void sent_first(AckedSend &s, uint32_t now);
    void resent(AckedSend &s, uint32_t now);

    // Every pending send ends (the socket is closing).
    template <class Fn>
    void close_all(Fn on_closed);

    // Milliseconds until the next deadline (0: due), or -1 when none.
    int next_ms(uint32_t now);

    AckedSend *find(uint64_t number);
    void take(uint64_t number);
    bool empty() const { return sends_.empty(); }

private:
    // Keys of the library's own type: containers of them are never exported
    // from the module.
    struct Key {
        uint64_t v;
        bool operator==(const Key &o) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key &k) const { return static_cast<std::size_t>(k.v ^ (k.v >> 31)); }
    };

    // Where the next transmission's wait ends.
    void schedule(AckedSend &s);
    static Key key_of(const unsigned char *dest, uint8_t q);

    std::unordered_map<Key, AckedSend, KeyHash> sends_;
    std::unordered_multimap<Key, Key, KeyHash> by_reply_;  // (dest, q) -> numbers
    Deadlines<uint64_t> deadlines_;
};

// What a frame from the addressed node carrying "ACM" says to one send: a
// malformed reply (no "CAC"), the reply, or nothing for it.
Outcome answer_to(const AckedSpec &spec, const FrameView &view);

template <class Fn>
void AckedSends::settle(const FrameView &view, uint32_t now, Fn on_settled)
{
    if (!view.acm || sends_.empty())
        return;
    // Only the control byte and sequence of a reply narrow the search; a
    // reply without "CAC" may answer any send to its node.
    std::vector<uint64_t> candidates;
    if (view.cac && view.cac.len >= 2) {
        auto range = by_reply_.equal_range(key_of(view.srcid(), view.cac.data[1]));
        for (auto it = range.first; it != range.second; ++it)
            candidates.push_back(it->second.v);
    } else {
        for (auto &[number, s] : sends_)
            candidates.push_back(number.v);
    }
    for (uint64_t number : candidates) {
        AckedSend *s = find(number);
        if (s == nullptr || s->outcome != Outcome::Pending || !same_id(view.srcid(), s->spec.dest))
            continue;
        const Outcome o = answer_to(s->spec, view);
        if (o == Outcome::Pending)
            continue;
        s->outcome = o;
        s->marked = static_cast<bool>(view.car);
        s->sampled = o == Outcome::Acked && s->sends == 1;
        s->round_trip = now - s->sent_at;
        on_settled(*s);
    }
}

template <class Fn>
void AckedSends::expire(uint32_t now, Fn on_due)
{
    std::vector<uint64_t> due;
    deadlines_.take_due(now, [this](uint64_t n, uint32_t at) {
        const AckedSend *s = find(n);
        return s != nullptr && s->outcome == Outcome::Pending && s->deadline == at;
    }, due);
    for (uint64_t number : due) {
        AckedSend *s = find(number);
        s->rtt.timed_out();
        const bool spent = s->sends >= s->spec.retry && (!s->spec.adaptive || now - s->start >= s->budget);
        if (spent) {
            s->outcome = Outcome::TimedOut;
            on_due(*s, Due::GiveUp);
        } else {
            on_due(*s, Due::Resend);
        }
    }
}

template <class Fn>
void AckedSends::close_all(Fn on_closed)
{
    for (auto &[number, s] : sends_)
        if (s.outcome == Outcome::Pending) {
            s.outcome = Outcome::Closed;
            on_closed(s);
        }
}

}  // namespace nimbet::engine
