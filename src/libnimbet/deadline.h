// SPDX-License-Identifier: MIT
// Deadlines of waits: how long a blocking read or a poll may be given so that the wait ends on time.
#pragma once

#include <poll.h>

#include <cstdint>

namespace nimbet {

// The system's timer tick in milliseconds (1 to 10): the resolution of its
// coarse clock, which is also the step of the timer behind a socket's
// receive timeout.
int system_tick_ms();

// A blocking read serves a wait with the socket's receive timeout, which the
// system rounds up to whole ticks, starts up to two ticks late and, for long
// timeouts, ends up to an eighth later still (its timer wheel). So the read
// is given less than the wait: a timeout that ends before the wait's
// deadline however late the system is, after which a poll, which keeps
// time, serves the rest. 0: a wait of `ms` is too short for a blocking read
// to end in time; it polls.
int read_timeout_for(int ms, int tick_ms);

// A blocking read may end up to this many milliseconds before it could, so
// that the socket's receive timeout is set once for many reads rather than
// before each one.
inline constexpr int kReadTimeoutSlack = 20;

// Whether the receive timeout set already (ms, 0: none) serves a wait of
// `ms` (negative: no limit): the read it allows ends before the wait's
// deadline, at most kReadTimeoutSlack earlier than need be.
bool read_timeout_fits(int current, int ms, int tick_ms);

// The receive timeout to set for a wait of `ms` (negative: no limit, 0);
// only for a wait that read_timeout_for does not refuse.
int read_timeout_to_set(int ms, int tick_ms);

// The system lets a poll end late by a thousandth of its timeout (a
// two-hundredth for a thread of lower priority): a wait `left_ns` long is
// given to the poll cut short by that much, and a further, short poll
// serves the rest, so that it ends on time.
int64_t poll_span_ns(int64_t left_ns);

// Polls the descriptors for at most `ms` milliseconds of the library clock
// (negative: no limit): until that clock reaches its reading now plus `ms`,
// not up to a millisecond later, and never later through the system's
// allowance (it may end before: the caller checks its deadline). The
// poll's result.
int poll_for_ms(pollfd *fds, nfds_t count, int ms);

}  // namespace nimbet
