// SPDX-License-Identifier: MIT
// A clock for tests that move time forward instead of sleeping.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

#include "internal.h"

namespace nimbet::test {

// While it lives, the library's clock runs as the real one plus whatever
// advance() has added: expiry and window paths are reached at once.
class ShiftedClock {
public:
    ShiftedClock() { set_clock(&now); }
    ~ShiftedClock()
    {
        set_clock(nullptr);
        shift() = 0;
    }
    ShiftedClock(const ShiftedClock &) = delete;
    ShiftedClock &operator=(const ShiftedClock &) = delete;

    void advance(uint32_t ms) { shift() += ms; }

private:
    static std::atomic<uint32_t> &shift()
    {
        static std::atomic<uint32_t> s{0};
        return s;
    }
    static uint32_t now()
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms) + shift().load();
    }
};

// While it lives, the library's clock stands still but for what advance()
// adds: rates and ages are exactly what the test makes them, however slowly
// the machine runs it.
class ManualClock {
public:
    ManualClock() { set_clock(&now); }
    ~ManualClock() { set_clock(nullptr); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    void advance(uint32_t ms) { time() += ms; }

private:
    static std::atomic<uint32_t> &time()
    {
        static std::atomic<uint32_t> t{1000000};
        return t;
    }
    static uint32_t now() { return time().load(); }
};

}  // namespace nimbet::test
