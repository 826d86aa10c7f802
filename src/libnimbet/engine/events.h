// SPDX-License-Identifier: MIT
// The events a socket queues for its application: outcomes of acknowledged sends, transfers that start, finish or abort.
#pragma once

#include <cstdint>
#include <list>

#include "nimbet/nimbet.h"

namespace nimbet {

struct socket_record;

namespace engine {

// The room of one event, made before the event happens, so that queuing it
// cannot run out of memory.
using EventRoom = std::list<n_event>;

/*
 * A socket's events, oldest first. Outcomes of acknowledged sends started
 * without blocking are never dropped (the application asked for them, one
 * each, and their room is made when the send starts); of transfer events
 * the last kKeptTransferEvents are kept when nobody takes them, and one
 * that finds no memory is dropped. Not locked: the socket's lock guards it.
 */
class EventQueue {
public:
    static constexpr std::size_t kKeptTransferEvents = 1024;

    static EventRoom room() { return EventRoom(1); }
    // Queues an event in room made for it (which must hold one element).
    void push(EventRoom &&room, const n_event &ev) noexcept;
    bool pop(n_event &out) noexcept;
    std::size_t size() const { return events_.size(); }
    void clear() { events_.clear(), transfer_events_ = 0; }

private:
    std::list<n_event> events_;
    std::size_t transfer_events_ = 0;
};

}  // namespace engine

// Queues a transfer event on a socket (takes its lock).
void queue_transfer_event(socket_record *rec, n_event_kind kind, const unsigned char peer[8], bool receiving,
                          const unsigned char type[2], int64_t length, const char *reason);

}  // namespace nimbet
