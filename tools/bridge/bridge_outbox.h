// SPDX-License-Identifier: MIT
// The gateway's outbox: messages waiting for the broker, bounded, kept in order (and in a store), with drops counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "bridge_store.h"

namespace nimbet::bridge {

struct OutMessage {
    std::string topic;
    std::string payload;
    int mid = 0;       // the client's message id once handed over; 0 while waiting
    int64_t seq = 0;   // the store's number
};

// Messages stay here from the moment they are made until the broker has
// confirmed them (at QoS 0: until the client has written them), and in the
// store as well, so that a restarted gateway publishes them. The first
// `window` of them may be handed to the MQTT client at once; the rest wait
// their turn, so that what reaches the broker keeps the order of the queue.
// When the queue is full (messages or bytes), the oldest message not handed
// over yet is dropped and counted.
//
// Owned and used by one thread only.
class Outbox {
public:
    struct Limits {
        std::size_t messages, bytes, window;
    };
    // `store` (not owned) outlives the outbox; what it holds comes first.
    Outbox(Limits limits, Store &store) : limits_(limits), store_(store)
    {
        for (StoredMessage &m : store_.load()) {
            bytes_ += cost(m.topic, m.payload);
            queue_.push_back({std::move(m.topic), std::move(m.payload), 0, m.seq});
        }
    }

    // Called when dropping starts (true) and when a message fits again after
    // drops (false), with the messages dropped in that episode.
    std::function<void(bool dropping, uint64_t dropped)> on_episode;

    // Appends a message; drops (and counts) the oldest waiting ones while it
    // does not fit, or this one when every queued message is handed over.
    void push(std::string topic, std::string payload)
    {
        const std::size_t need = cost(topic, payload);
        bool dropped_one = false;
        while (queue_.size() >= limits_.messages || bytes_ + need > limits_.bytes) {
            dropped_one = true;
            if (handed_ == queue_.size()) {
                count_drop(dropped_full_);
                return;
            }
            erase(handed_);
            count_drop(dropped_full_);
        }
        if (!dropped_one && episode_ > 0) {
            if (on_episode)
                on_episode(false, episode_);
            episode_ = 0;
        }
        const int64_t seq = store_.add(topic, payload);
        bytes_ += need;
        queue_.push_back({std::move(topic), std::move(payload), 0, seq});
    }

    // The next message to hand over, or null when none waits or the window is
    // full. Call handed() with its message id after the client took it.
    const OutMessage *next() const
    {
        if (handed_ >= limits_.window || handed_ >= queue_.size())
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
        erase(handed_);
        ++dropped_refused_;
    }

    // The broker confirmed message `mid`: it leaves the queue. Returns false
    // for an id that is not handed over (a status or statistics message).
    bool confirmed(int mid)
    {
        for (std::size_t i = 0; i < handed_; ++i) {
            if (queue_[i].mid == mid) {
                erase(i);
                --handed_;
                ++published_;
                return true;
            }
        }
        return false;
    }

    // Everything unconfirmed is to be handed over anew, from the oldest;
    // confirmations of the earlier copies no longer match.
    void rewind()
    {
        for (std::size_t i = 0; i < handed_; ++i)
            queue_[i].mid = 0;
        handed_ = 0;
    }

    std::size_t size() const { return queue_.size(); }
    std::size_t bytes() const { return bytes_; }
    std::size_t in_flight() const { return handed_; }
    uint64_t published() const { return published_; }
    uint64_t dropped_full() const { return dropped_full_; }
    uint64_t dropped_refused() const { return dropped_refused_; }
    uint64_t dropped() const { return dropped_full_ + dropped_refused_; }

private:
    static std::size_t cost(const std::string &topic, const std::string &payload)
    {
        return topic.size() + payload.size();
    }
    void erase(std::size_t i)
    {
        const OutMessage &m = queue_[i];
        bytes_ -= cost(m.topic, m.payload);
        store_.remove(m.seq);
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void count_drop(uint64_t &counter)
    {
        ++counter;
        if (episode_++ == 0 && on_episode)
            on_episode(true, 0);
    }

    Limits limits_;
    Store &store_;
    std::deque<OutMessage> queue_;  // handed-over messages first, in order
    std::size_t handed_ = 0;
    std::size_t bytes_ = 0;
    uint64_t published_ = 0;
    uint64_t dropped_full_ = 0;
    uint64_t dropped_refused_ = 0;
    uint64_t episode_ = 0;  // drops since dropping last started
};

}  // namespace nimbet::bridge
