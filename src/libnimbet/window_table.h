// SPDX-License-Identifier: MIT
// A bounded table whose entries live for the window they protect: when it is full, new keys are refused, old entries never forgotten early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace nimbet {

/*
 * Entries keyed by peer, each kept until the time its owner set with
 * keep(). A memory that protects against repeats must not forget inside its
 * window, however many keys peers make up: when `max` entries are alive, a
 * new key is refused (find_or_make gives null) rather than an old entry
 * dropped. Expired entries go first, in the order they were last kept, so
 * the cost of a lookup does not grow with their number. Times are
 * n_util_getmstime() values; windows shorter than 24 days. Not locked: its
 * owner guards it.
 */
template <class Key, class Value, class Hash>
class WindowTable {
public:
    explicit WindowTable(std::size_t max) : max_(max) {}

    // The live entry of `key`, or null.
    Value *find(const Key &key, uint32_t now)
    {
        forget_expired(now);
        auto it = map_.find(key);
        return it != map_.end() ? &it->second.value : nullptr;
    }

    // The live entry of `key`, made (value-initialised, alive until now)
    // when there is none and the table has room; null when it is full.
    // `made` tells which.
    Value *find_or_make(const Key &key, uint32_t now, bool &made)
    {
        made = false;
        if (Value *v = find(key, now))
            return v;
        if (map_.size() >= max_)
            return nullptr;
        // When memory runs out (std::bad_alloc) the table is left as it was.
        order_.push_back(key);
        try {
            auto it = map_.emplace(key, Entry{Value{}, now, std::prev(order_.end())}).first;
            made = true;
            return &it->second.value;
        } catch (...) {
            order_.pop_back();
            throw;
        }
    }

    // Keeps the entry of `key` alive for at least `ms` from now (alive while
    // the clock has not passed now + ms); it moves to the back of the expiry
    // order.
    void keep(const Key &key, uint32_t now, uint32_t ms)
    {
        auto it = map_.find(key);
        if (it == map_.end())
            return;
        const uint32_t until = now + ms;
        if (static_cast<int32_t>(until - it->second.expires) > 0)
            it->second.expires = until;
        order_.splice(order_.end(), order_, it->second.age);
    }

    // Ends the entry of `key` `ms` from now, sooner or later than it was
    // set to; it moves to the back of the expiry order.
    void expire_in(const Key &key, uint32_t now, uint32_t ms)
    {
        auto it = map_.find(key);
        if (it == map_.end())
            return;
        it->second.expires = now + ms;
        order_.splice(order_.end(), order_, it->second.age);
    }

    void erase(const Key &key)
    {
        auto it = map_.find(key);
        if (it == map_.end())
            return;
        order_.erase(it->second.age);
        map_.erase(it);
    }

    std::size_t size() const { return map_.size(); }
    std::size_t capacity() const { return max_; }

    void clear()
    {
        map_.clear();
        order_.clear();
    }

    template <class Fn>
    void each(Fn fn) const
    {
        for (const auto &[key, entry] : map_)
            fn(key, entry.value);
    }

private:
    struct Entry {
        Value value;
        uint32_t expires;
        typename std::list<Key>::iterator age;  // place in the order of last keep
    };

    // Entries are kept in the order they were last kept; an entry that was
    // given a longer window than those behind it holds them for its time.
    void forget_expired(uint32_t now)
    {
        while (!order_.empty()) {
            auto it = map_.find(order_.front());
            if (static_cast<int32_t>(now - it->second.expires) <= 0)
                break;
            order_.pop_front();
            map_.erase(it);
        }
    }

    std::unordered_map<Key, Entry, Hash> map_;
    std::list<Key> order_;
    std::size_t max_;
};

}  // namespace nimbet
