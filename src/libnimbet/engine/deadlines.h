// SPDX-License-Identifier: MIT
// A heap of deadlines: the next one in O(1), each expiry in O(log n), entries made stale by a later one skipped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace nimbet::engine {

/*
 * Deadlines of keyed things (a request, a transfer), as n_util_getmstime()
 * values. A thing whose deadline moves is pushed again; the entry it had is
 * left in the heap and recognised as stale when it comes up (its owner keeps
 * the current deadline and answers `current`). Times wrap at 32 bits:
 * deadlines are compared by their difference, so they must lie within 24
 * days of each other. Not locked: its owner guards it.
 */
template <class Key>
class Deadlines {
public:
    void push(uint32_t at, Key key)
    {
        heap_.push_back({at, std::move(key)});
        std::push_heap(heap_.begin(), heap_.end(), later);
    }

    // The earliest deadline whose entry `current(key, at)` still confirms,
    // dropping stale entries on the way; false when none is left.
    template <class Current>
    bool earliest(uint32_t &at, Current current)
    {
        while (!heap_.empty()) {
            const Entry &top = heap_.front();
            if (current(top.key, top.at)) {
                at = top.at;
                return true;
            }
            pop();
        }
        return false;
    }

    // Takes the keys of every confirmed deadline that is due at `now` (in
    // deadline order) into `out`.
    template <class Current>
    void take_due(uint32_t now, Current current, std::vector<Key> &out)
    {
        uint32_t at = 0;
        while (earliest(at, current) && static_cast<int32_t>(now - at) >= 0) {
            out.push_back(heap_.front().key);
            pop();
        }
    }

    std::size_t size() const { return heap_.size(); }
    void clear() { heap_.clear(); }

private:
    struct Entry {
        uint32_t at;
        Key key;
    };
    static bool later(const Entry &a, const Entry &b) { return static_cast<int32_t>(a.at - b.at) > 0; }
    void pop()
    {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        heap_.pop_back();
    }

    std::vector<Entry> heap_;
};

// Milliseconds from now until `at` (0 when due), for poll().
inline int ms_until(uint32_t now, uint32_t at)
{
    const int32_t left = static_cast<int32_t>(at - now);
    return left > 0 ? left : 0;
}

}  // namespace nimbet::engine
