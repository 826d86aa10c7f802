// SPDX-License-Identifier: MIT
// A bounded table of what peers did recently: the entry touched longest ago goes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <unordered_map>

namespace nimbet {

/*
 * Entries keyed by peer, each with the time it was last touched. The table
 * forgets the entry touched longest ago while it holds more than `max`, and
 * every entry not touched for `forget_ms`: what peers can make it hold stays
 * bounded however many identifiers they make up. Not locked: its owner
 * guards it.
 */
template <class Key, class Value, class Hash>
class RecentTable {
public:
    RecentTable(std::size_t max, uint32_t forget_ms) : max_(max), forget_ms_(forget_ms) {}

    // The entry of `key`, made (value-initialised) when there is none; it is
    // the newest from now on.
    Value &touch(const Key &key, uint32_t now)
    {
        forget_stale(now);
        auto it = map_.find(key);
        if (it == map_.end())
            it = make(key, now);
        else
            order_.splice(order_.end(), order_, it->second.age);
        it->second.touched = now;
        forget_stale(now);
        return it->second.value;
    }

    // The entry of `key`, or null; stale entries are forgotten first.
    Value *find(const Key &key, uint32_t now)
    {
        forget_stale(now);
        auto it = map_.find(key);
        return it != map_.end() ? &it->second.value : nullptr;
    }

    void clear()
    {
        map_.clear();
        order_.clear();
    }

    template <class Fn>
    void each(Fn fn) const
    {
        for (const auto &[key, entry] : map_)
            fn(entry.value);
    }

private:
    struct Entry {
        Value value;
        uint32_t touched;
        typename std::list<Key>::iterator age;  // place in the least-recently-touched order
    };

    // A new entry, the newest; when memory runs out (std::bad_alloc) the
    // table is left as it was.
    auto make(const Key &key, uint32_t now)
    {
        order_.push_back(key);
        try {
            return map_.emplace(key, Entry{Value{}, now, std::prev(order_.end())}).first;
        } catch (...) {
            order_.pop_back();
            throw;
        }
    }

    void forget_stale(uint32_t now)
    {
        while (!order_.empty()) {
            auto it = map_.find(order_.front());
            if (map_.size() <= max_ && now - it->second.touched < forget_ms_)
                break;
            order_.pop_front();
            map_.erase(it);
        }
    }

    std::unordered_map<Key, Entry, Hash> map_;
    std::list<Key> order_;  // least recently touched first
    std::size_t max_;
    uint32_t forget_ms_;
};

}  // namespace nimbet
