// SPDX-License-Identifier: MIT
// Deadlines of waits: receive timeouts that end before the deadline, polls that end on it.
#include "deadline.h"

#include <algorithm>
#include <ctime>

#include "nimbet/nimbet.h"

namespace nimbet {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSec = 1000000000;

// Below this a poll's allowance is the system's fixed timer slack (50 µs)
// at most: not worth a second poll.
constexpr int64_t kPollCutFrom = 10 * kNsPerMs;

}  // namespace

int system_tick_ms()
{
    static const int tick = [] {
        timespec res{};
        if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0 || res.tv_sec != 0)
            return 10;
        return std::clamp(static_cast<int>((res.tv_nsec + kNsPerMs - 1) / kNsPerMs), 1, 10);
    }();
    return tick;
}

int read_timeout_for(int ms, int tick_ms)
{
    if (ms <= 0)
        return 0;
    // Ends at most timeout * 9/8 + 3 ticks after the read starts: shortened
    // so that this stays within ms.
    const int64_t timeout = (static_cast<int64_t>(ms) - 3 * tick_ms) * 7 / 8;
    return timeout >= tick_ms ? static_cast<int>(timeout) : 0;
}

bool read_timeout_fits(int current, int ms, int tick_ms)
{
    if (ms < 0)
        return current == 0;
    const int longest = read_timeout_for(ms, tick_ms);
    return longest > 0 && current > 0 && current <= longest && current >= longest - kReadTimeoutSlack;
}

int read_timeout_to_set(int ms, int tick_ms)
{
    if (ms < 0)
        return 0;
    const int longest = read_timeout_for(ms, tick_ms);
    return std::max(std::min(tick_ms, longest), longest - kReadTimeoutSlack / 2);
}

int64_t poll_span_ns(int64_t left_ns)
{
    if (left_ns <= 0)
        return 0;
    return left_ns > kPollCutFrom ? left_ns - left_ns / 200 : left_ns;
}

int poll_for_ms(pollfd *fds, nfds_t count, int ms)
{
    if (ms < 0)
        return ::poll(fds, count, -1);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left = static_cast<int64_t>(ms) * kNsPerMs;
    // On the system's clock the library clock moves on when the current
    // millisecond ends, part of which has passed already. (A clock set by
    // the tests keeps whole milliseconds.)
    const uint64_t now_ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / kNsPerMs);
    if (static_cast<uint32_t>(now_ms) == n_util_getmstime())
        left -= now.tv_nsec % kNsPerMs;
    const int64_t span = poll_span_ns(left);
    const timespec ts{static_cast<time_t>(span / kNsPerSec), static_cast<long>(span % kNsPerSec)};
    return ::ppoll(fds, count, &ts, nullptr);
}

}  // namespace nimbet
