// SPDX-License-Identifier: MIT
// The gateway's outbox: messages waiting for the broker, bounded, kept in order, with drops counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace nimbet::bridge {

struct OutMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    int mid = 0;           // the client's message id once handed over; 0 while waiting
};

// Messages stay here from the moment they are made until the broker has
// confirmed them (at QoS 0: until the client has written them). The first
// `window` of them may be handed to the MQTT client at once; the rest wait
// their turn, so that what reaches the broker keeps the order of the queue.
// After a lost connection everything unconfirmed is handed over again, from
// the oldest (rewind). When the queue is full, the oldest message not handed
// over yet is dropped and counted.
//
// Owned and used by one thread only.
class Outbox {
public:
    Outbox(std::size_t capacity, std::size_t window) : capacity_(capacity < 1 ? 1 : capacity), window_(window) {}

    // Appends a message; drops (and counts) the oldest waiting one, or this
    // one when every queued message is handed over already.
    void push(OutMessage m)
    {
        if (queue_.size() >= capacity_) {
            ++dropped_;
            auto oldest = queue_.begin() + static_cast<std::ptrdiff_t>(handed_);
            if (oldest == queue_.end())
                return;
            queue_.erase(oldest);
        }
        queue_.push_back(std::move(m));
    }

    // The next message to hand over, or null when none waits or the window is
    // full. Call handed() with its message id after the client took it.
    OutMessage *next()
    {
        if (handed_ >= window_ || handed_ >= queue_.size())
            return nullptr;
        return &queue_[handed_];
    }
    void handed(int mid)
    {
        queue_[handed_].mid = mid;
        ++handed_;
    }

    // The message next() returned can never be published: it is dropped and counted.
    void refuse_next()
    {
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(handed_));
        ++dropped_;
    }

    // The broker confirmed message `mid`: it leaves the queue. Returns false
    // for an id that is not handed over (a status or statistics message).
    bool confirmed(int mid)
    {
        for (std::size_t i = 0; i < handed_; ++i) {
            if (queue_[i].mid == mid) {
                queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
                --handed_;
                ++published_;
                return true;
            }
        }
        return false;
    }

    // The connection broke: everything unconfirmed is handed over anew, from
    // the oldest; confirmations of the earlier copies no longer match.
    void rewind()
    {
        for (std::size_t i = 0; i < handed_; ++i)
            queue_[i].mid = 0;
        handed_ = 0;
    }

    std::size_t size() const { return queue_.size(); }
    std::size_t in_flight() const { return handed_; }
    uint64_t published() const { return published_; }
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<OutMessage> queue_;  // handed-over messages first, in order
    std::size_t handed_ = 0;
    std::size_t capacity_;
    std::size_t window_;
    uint64_t published_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace nimbet::bridge
