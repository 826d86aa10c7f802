// SPDX-License-Identifier: MIT
// A clock for tests that move time forward instead of sleeping.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

#include <gtest/gtest.h>

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
// adds, or at() sets: every wait, rate and estimate comes out exact, however
// loaded the machine. Calls that wait for the library's clock to pass a time
// (a receive with a timeout) would wait for ever under it: use the ones that
// return at once (pump() counts its time in real time).
class StoppedClock {
public:
    StoppedClock() : start_(n_util_getmstime())
    {
        reading() = start_;
        set_clock(&now);
    }
    ~StoppedClock() { set_clock(nullptr); }
    StoppedClock(const StoppedClock &) = delete;
    StoppedClock &operator=(const StoppedClock &) = delete;

    void advance(uint32_t ms) { reading() += ms; }
    // Moves the clock to `ms` milliseconds after it was stopped (never back).
    void at(uint32_t ms)
    {
        EXPECT_GE(ms, reading() - start_) << "the clock never goes back";
        reading() = start_ + ms;
    }

private:
    static std::atomic<uint32_t> &reading()
    {
        static std::atomic<uint32_t> t{0};
        return t;
    }
    static uint32_t now() { return reading().load(); }

    const uint32_t start_;
};

using ManualClock = StoppedClock;

}  // namespace nimbet::test
