// SPDX-License-Identifier: MIT
// What a receiver does with a transfer's part, decided without I/O: store, hold, acknowledge again, start, refuse or ignore.
#pragma once

#include <cstdint>
#include <span>

#include "frame.h"

namespace nimbet::engine {

// A part a receiver stored, as much of it as telling its repeats from other
// parts takes: where it stands in its transfer, and a CRC-32 of its bytes.
struct PartSummary {
    bool described;     // its transfer carries a descriptor
    uint32_t nonce;
    uint32_t index;     // its part index (counted from 0, not wrapped)
    uint8_t seq, kind, len;
    uint32_t crc;       // CRC-32 of the part's data bytes
    uint32_t stored_at; // n_util_getmstime() when it was stored
    uint8_t window;     // the first part: the window its acknowledgement accepted (0: none)
};

// What a received fragment says, read once.
struct Fragment {
    const FrameView &view;
    uint8_t kind;
    uint8_t seq;
    Descriptor d;
    bool first;     // a described first part: the first-part flag and index 0
    uint32_t now;
};

// The receiving socket's view of time: how long its peer may still resend
// a part (retry x timeout), and one timeout.
struct Pace {
    uint32_t window;
    uint32_t timeout;
};

// The peer's receiving transfer as the decision reads it (a copy of its
// record's fields, taken under the record's lock).
struct Receiver {
    unsigned state;            // FRAG_ACTIVE, FRAG_FINISHED or FRAG_ABORTED
    bool taken;                // finished data the application took
    bool described;
    uint32_t nonce;
    uint64_t part_index;       // parts stored
    uint8_t part_no;           // the sequence byte expected next
    uint32_t heard;            // when a part of it last came
    uint32_t rival, rival_since, rival_seen;  // a first part of another transfer seen meanwhile
    PartSummary last;          // the part stored last
    std::span<const PartSummary> recent;  // with a window: the last parts stored, by index modulo its size
    const unsigned char *data_type;
};

// The transfers from a peer that ended, as far as the receiver remembers
// them: the last part each stored.
class EndedTransfers {
public:
    virtual ~EndedTransfers() = default;
    virtual bool by_nonce(const unsigned char *peer, uint32_t nonce, PartSummary &out) const = 0;
    virtual bool plain(const unsigned char *peer, PartSummary &out) const = 0;
};

enum class Verdict {
    Store,    // the part expected next
    Hold,     // a part of the window ahead of its turn
    Reack,    // a stored part again: its acknowledgement was lost
    Start,    // the first part of a new transfer
    Replace,  // the first part of a new transfer that takes the place of one that stalled
    Rival,    // the first part of a new transfer while one from that peer is under way
    Refuse,   // a new transfer while the application still holds the last one
    Conflict, // a part that differs from the one stored under its sequence byte
    Ignore,   // belongs to no transfer, or not the part expected
};

struct Decision {
    Verdict verdict;
    const char *why = nullptr;
    PartSummary repeated{};  // for Reack: the stored part it repeats
};

// What a fragment from the peer of `f` (null: none registered) does.
Decision decide(const Receiver *f, const Fragment &frag, const Pace &pace, const EndedTransfers &ended);

// The CRC-32 of a part's data bytes, as a summary keeps it.
uint32_t part_crc(const TupleAt &part);

}  // namespace nimbet::engine
