// SPDX-License-Identifier: MIT
// The events a socket queues for its application, and taking them.
#include "engine/events.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "socket.h"

namespace nimbet {

namespace engine {

namespace {

bool of_transfer(const n_event &ev) { return ev.kind >= N_EVENT_TRANSFER_STARTED; }

}  // namespace

void EventQueue::push(EventRoom &&room, const n_event &ev) noexcept
{
    if (of_transfer(ev) && transfer_events_ >= kKeptTransferEvents) {
        const auto oldest = std::find_if(events_.begin(), events_.end(), of_transfer);
        if (oldest != events_.end()) {
            events_.erase(oldest);
            --transfer_events_;
        }
    }
    room.front() = ev;
    events_.splice(events_.end(), room, room.begin());
    transfer_events_ += of_transfer(ev) ? 1 : 0;
}

bool EventQueue::pop(n_event &out) noexcept
{
    if (events_.empty())
        return false;
    out = events_.front();
    events_.pop_front();
    transfer_events_ -= of_transfer(out) ? 1 : 0;
    return true;
}

}  // namespace engine

void queue_transfer_event(socket_record *rec, n_event_kind kind, const unsigned char peer[8], bool receiving,
                          const unsigned char type[2], int64_t length, const char *reason)
{
    n_event ev{};
    ev.kind = kind;
    ev.fd = rec->fd;
    std::memcpy(ev.peer, peer, sizeof ev.peer);
    ev.receiving = receiving ? 1 : 0;
    std::memcpy(ev.type, type, sizeof ev.type);
    ev.length = length;
    ev.reason = reason;
    // A closed socket's events could never be taken.
    if (rec->closed.load(std::memory_order_acquire))
        return;
    engine::EventRoom room;
    try {
        room = engine::EventQueue::room();
    } catch (const std::bad_alloc &) {
        return;  // dropped, as the oldest are when nobody takes them
    }
    const ScopedLock lock(rec->mu);
    rec->events.push(std::move(room), ev);
}

}  // namespace nimbet

extern "C" {

int n_socket_next_event(int fd, n_event *ev, size_t size)
try {
    using namespace nimbet;
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (ev == nullptr || size < offsetof(n_event, request))
            return fail(kInval);
        n_event got{};
        {
            const ScopedLock lock(rec->mu);
            if (!rec->events.pop(got))
                return 0;
        }
        std::memcpy(ev, &got, std::min(size, sizeof got));
        return 1;
    });
} catch (...) {
    return nimbet::failed_by_exception(n_socket_next_event);
}

}  // extern "C"
