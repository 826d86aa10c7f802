// SPDX-License-Identifier: MIT
// The retransmission timeout of one peer, estimated from measured round trips as TCP does.
#pragma once

#include <algorithm>
#include <cstdint>

namespace nimbet {

// The shortest timeout: the clock counts whole milliseconds, and a peer
// that answers within one may still be read a scheduling tick later.
inline constexpr uint32_t kMinRtoMs = 4;

/*
 * Smoothed round trip and its variation (RFC 6298, in eighths and quarters
 * of a millisecond): the timeout is SRTT + 4 RTTVAR, at least kMinRtoMs and
 * at most the socket's configured timeout. Samples come only from what was
 * sent once (Karn's rule: an acknowledgement of a resent part may answer
 * either transmission). Each timeout in a row doubles the wait, up to the
 * ceiling, until the peer answers again.
 */
struct RttEstimator {
    uint32_t srtt8 = 0;     // smoothed round trip, ms x 8
    uint32_t rttvar4 = 0;   // its mean deviation, ms x 4
    bool measured = false;
    uint32_t backoff = 0;   // timeouts in a row since the last sample

    void sample(uint32_t rtt_ms)
    {
        rtt_ms = std::min<uint32_t>(rtt_ms, 1u << 20);
        if (!measured) {
            srtt8 = rtt_ms * 8;
            rttvar4 = rtt_ms * 2;
            measured = true;
        } else {
            const int32_t err = static_cast<int32_t>(rtt_ms * 8) - static_cast<int32_t>(srtt8);
            const uint32_t dev4 = static_cast<uint32_t>(err < 0 ? -err : err) / 2;  // |err| in quarters
            rttvar4 = rttvar4 - rttvar4 / 4 + dev4 / 4;
            srtt8 = static_cast<uint32_t>(static_cast<int32_t>(srtt8) + err / 8);
        }
        backoff = 0;
    }

    void timed_out() { backoff = std::min<uint32_t>(backoff + 1, 16); }

    // The wait before the next resend; `ceiling` (the configured timeout)
    // until the first sample.
    uint32_t rto_ms(uint32_t ceiling) const
    {
        if (!measured)
            return ceiling;
        // Never longer than the configured timeout, nor (unless that is
        // shorter) below the floor.
        const uint64_t floor = std::min(kMinRtoMs, ceiling);
        const uint64_t base = (srtt8 + 7) / 8 + std::max<uint32_t>(1, rttvar4);
        return static_cast<uint32_t>(std::clamp<uint64_t>(base << backoff, floor, ceiling));
    }

    uint32_t srtt_ms() const { return (srtt8 + 4) / 8; }
};

}  // namespace nimbet
