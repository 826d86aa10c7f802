// SPDX-License-Identifier: MIT
// The history of accepted requests: what makes a resend or a late copy of a request a repeat, never a second delivery.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace nimbet {

// What the history makes of a request.
enum class Seen {
    New,      // heard for the first time: acknowledge and deliver
    Repeat,   // heard before: acknowledge again, do not deliver
    Refused,  // cannot be told from a repeat (its memory is full, or it is
              // older than what is remembered): neither acknowledged nor
              // delivered, so its sender gives up instead of being misled
};

/*
 * Requests with an identifier (between nodes of this library). Per pair of
 * nodes (the receiving socket's identifier `self`, the requester `peer`)
 * and session, the highest counter taken and which of the 512 counters
 * below it were taken; a session is remembered for two minutes after its
 * last request (or the sender's window when that is longer), so a copy
 * held back in the network for less than that is a repeat, however many
 * requests came between. A counter more than 512 below the highest is
 * refused. At most kIdSessions sessions are remembered: then requests of
 * new sessions are refused until one is forgotten.
 */
inline constexpr std::size_t kIdSessions = 8192;
inline constexpr uint32_t kIdMemoryMs = 2u * 60u * 1000u;
inline constexpr uint32_t kIdWindow = 512;
Seen history_check_id(const unsigned char self[8], const unsigned char peer[8], const RequestId &id,
                      uint32_t window_ms, uint32_t now);

/*
 * Requests without one (nodes that know only the sequence byte). Per pair
 * of nodes, every sequence byte taken within `window_ms` (how long the
 * sender may still resend, retry x timeout of the receiving socket), with
 * the order it was taken in. A byte taken again is a repeat, unless one of
 * the kPlainReorder bytes before it was taken after it: a sender that
 * counts its requests one by one has then come round again, even inside
 * the window. So a copy held back behind up to 255 - kPlainReorder newer
 * requests of its sender is a repeat, and a sender's requests may overtake
 * each other by up to kPlainReorder. A pair is remembered for the window
 * after its last request; at most kPlainPairs of them, then requests of new
 * pairs are refused until one is forgotten. With lastacks below 1 nothing
 * is remembered and no request is a repeat.
 */
inline constexpr unsigned kPlainReorder = 16;
inline constexpr std::size_t kPlainPairs = 4096;
inline constexpr unsigned kPlainDepth = 128;  // the requests a byte tells apart
Seen history_check_plain(const unsigned char self[8], const unsigned char peer[8], uint8_t seq, uint32_t window_ms,
                         uint32_t now);

// Entries held (sequence bytes and sessions), for checks.
std::size_t ack_history_size();
void ack_history_clear();

}  // namespace nimbet
