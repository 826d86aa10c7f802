// SPDX-License-Identifier: MIT
// The events a socket queues for its application: outcomes of acknowledged sends, transfers that start, finish or abort.
#pragma once

#include <cstdint>
#include <deque>

#include "nimbet/nimbet.h"

namespace nimbet {

struct socket_record;

namespace engine {

/*
 * A socket's events, oldest first. Outcomes of acknowledged sends started
 * without blocking are never dropped (the application asked for them, one
 * each); of transfer events the last kKeptTransferEvents are kept when
 * nobody takes them. Not locked: the socket's lock guards it.
 */
class EventQueue {
public:
    static constexpr std::size_t kKeptTransferEvents = 1024;

    void push(const n_event &ev);
    bool pop(n_event &out);
    std::size_t size() const { return events_.size(); }
    void clear() { events_.clear(), transfer_events_ = 0; }

private:
    std::deque<n_event> events_;
    std::size_t transfer_events_ = 0;
};

}  // namespace engine

// Queues a transfer event on a socket (takes its lock).
void queue_transfer_event(socket_record *rec, n_event_kind kind, const unsigned char peer[8], bool receiving,
                          const unsigned char type[2], int64_t length, const char *reason);

}  // namespace nimbet
