// SPDX-License-Identifier: MIT
// The gateway's outbox: messages waiting for the broker, bounded, kept in order (and in a store), with drops counted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "bridge_store.h"

namespace nimbet::bridge {

struct OutMessage {
    std::string topic;
    std::string payload;
    int mid = 0;          // the client's message id once handed over; 0 while waiting
    int64_t seq = 0;      // its number: increases with every message, across restarts
    bool stored = false;  // written to the store
};

// Messages stay here from the moment they are made until the broker has
// confirmed them (at QoS 0: until the client has written them), and in the
// store as well, so that a restarted gateway publishes them. The first
// `window` of them may be handed to the MQTT client at once; the rest wait
// their turn, so that what reaches the broker keeps the order of the queue.
// When the queue is full (messages or bytes), the oldest message not handed
// over yet is dropped and counted.
//
// The store is written by sync(), when the gateway calls it: the messages
// added since and the removals in one transaction. With a durable store only
// written messages are handed over. A write that
// fails (a full disk) loses nothing: the messages stay here, within the
// bounds, and sync() tries again, at most once per `retry_ms`, until the
// store takes them.
//
// Owned and used by one thread only.
class Outbox {
public:
    struct Limits {
        std::size_t messages, bytes, window;
        uint32_t retry_ms = 1000;
    };
    // `store` (not owned) outlives the outbox, or is replaced by adopt();
    // what it holds comes first. New messages are numbered from first_seq,
    // or after the last one stored when that is higher.
    Outbox(Limits limits, Store &store, int64_t first_seq = 1)
        : limits_(limits), store_(&store), next_seq_(first_seq)
    {
        take_stored();
    }

    // Called when dropping starts (true) and when a message fits again after
    // drops (false), with the messages dropped in that episode.
    std::function<void(bool dropping, uint64_t dropped)> on_episode;
    // Called when a write to the store fails after succeeding (durable
    // false, with the reason), and when one succeeds after failing (true).
    std::function<void(bool durable, const std::string &why)> on_store;

    // New bounds take effect with the next message.
    void set_limits(Limits limits) { limits_ = limits; }

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
        bytes_ += need;
        ++unsaved_;
        queue_.push_back({std::move(topic), std::move(payload), 0, next_seq_++, false});
    }

    // Writes what changed since the last call to the store, in one
    // transaction. Returns whether the store holds the queue now.
    bool sync(uint32_t now_ms)
    {
        if (unsaved_ == 0 && removed_.empty())
            return true;
        if (failing_ && now_ms - last_try_ < limits_.retry_ms)
            return false;
        last_try_ = now_ms;
        // Unsaved messages are the newest: the last unsaved_ of the queue.
        const std::size_t first = queue_.size() - unsaved_;
        std::vector<MessageRef> added;
        added.reserve(unsaved_);
        for (std::size_t i = first; i < queue_.size(); ++i)
            added.push_back({queue_[i].seq, &queue_[i].topic, &queue_[i].payload});
        std::string why;
        if (!store_->save(added, removed_, why)) {
            ++store_failures_;
            if (!failing_ && on_store)
                on_store(false, why);
            failing_ = true;
            return false;
        }
        for (std::size_t i = first; i < queue_.size(); ++i)
            queue_[i].stored = true;
        unsaved_ = 0;
        removed_.clear();
        if (failing_ && on_store)
            on_store(true, {});
        failing_ = false;
        return true;
    }

    // Goes on with another store (a durable one that could not be opened at
    // the start): what it holds comes first, then what waits here, with
    // their numbers, written to it by the next sync().
    void adopt(Store &store)
    {
        store_ = &store;
        removed_.clear();
        std::deque<OutMessage> mine = std::move(queue_);
        queue_.clear();
        bytes_ = 0;
        take_stored();
        for (OutMessage &m : mine) {
            next_seq_ = std::max(next_seq_, m.seq + 1);
            m.stored = false;
            ++unsaved_;
            bytes_ += cost(m.topic, m.payload);
            queue_.push_back(std::move(m));
        }
        failing_ = false;
    }

    // The next message to hand over, or null when none waits or the window is
    // full. Call handed() with its message id after the client took it.
    // With a durable store, only what it holds is handed over (unless its
    // writes fail: then waiting would lose more than it saves).
    const OutMessage *next() const
    {
        if (handed_ >= limits_.window || handed_ >= queue_.size())
            return nullptr;
        if (!queue_[handed_].stored && store_->durable() && !failing_)
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
    // What sync() would write: new messages, and removals.
    std::size_t unsynced() const { return unsaved_; }
    std::size_t removals() const { return removed_.size(); }
    std::size_t bytes() const { return bytes_; }
    std::size_t in_flight() const { return handed_; }
    // Messages that only this process holds: a restart now would lose them.
    std::size_t unsaved() const { return store_->durable() ? unsaved_ : queue_.size(); }
    bool durable() const { return store_->durable() && !failing_; }
    uint64_t store_failures() const { return store_failures_; }
    uint64_t published() const { return published_; }
    uint64_t dropped_full() const { return dropped_full_; }
    uint64_t dropped_refused() const { return dropped_refused_; }
    uint64_t dropped() const { return dropped_full_ + dropped_refused_; }

private:
    static std::size_t cost(const std::string &topic, const std::string &payload)
    {
        return topic.size() + payload.size();
    }
    void take_stored()
    {
        for (StoredMessage &m : store_->load()) {
            bytes_ += cost(m.topic, m.payload);
            next_seq_ = std::max(next_seq_, m.seq + 1);
            queue_.push_back({std::move(m.topic), std::move(m.payload), 0, m.seq, true});
        }
    }
    void erase(std::size_t i)
    {
        const OutMessage &m = queue_[i];
        bytes_ -= cost(m.topic, m.payload);
        if (m.stored)
            removed_.push_back(m.seq);
        else
            --unsaved_;
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void count_drop(uint64_t &counter)
    {
        ++counter;
        if (episode_++ == 0 && on_episode)
            on_episode(true, 0);
    }

    Limits limits_;
    Store *store_;
    std::deque<OutMessage> queue_;  // handed-over messages first, in order
    std::vector<int64_t> removed_;  // stored messages that left the queue since the last sync
    std::size_t handed_ = 0;
    std::size_t bytes_ = 0;
    std::size_t unsaved_ = 0;  // queued messages not in the store yet
    int64_t next_seq_;
    bool failing_ = false;  // the last write to the store failed
    uint32_t last_try_ = 0;
    uint64_t store_failures_ = 0;
    uint64_t published_ = 0;
    uint64_t dropped_full_ = 0;
    uint64_t dropped_refused_ = 0;
    uint64_t episode_ = 0;  // drops since dropping last started
};

}  // namespace nimbet::bridge
