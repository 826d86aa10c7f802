// SPDX-License-Identifier: MIT
// The pace of a transfer's window without I/O: how many parts may fly, how it grows and shrinks, when a part is lost.
#pragma once

#include <algorithm>
#include <cstdint>

namespace nimbet::engine {

/*
 * The sender's side of a window of `limit` parts (the receiver's): parts are
 * numbered by index, transmissions (resends included) by a running count.
 * New parts go while fewer than `cwnd` are unacknowledged (parts the
 * receiver holds beyond a lost one count as arrived, as TCP's SACK-based
 * pipe does) and the part lies within the receiver's window from the first
 * part not acknowledged. `cwnd` starts at 2, grows by the parts
 * acknowledged up to `ssthresh` (at most two per acknowledgement), then by
 * one per window of parts acknowledged (TCP's appropriate byte counting),
 * and shrinks to 7/10 on a loss, once per window of parts in flight (the
 * factor of TCP's CUBIC: Reno's halving keeps the window on a lossy link far
 * below what the link carries).
 */
struct WindowPace {
    static constexpr uint32_t kInitial = 2;
    // Acknowledgements of parts sent after a part's latest copy that say
    // it was lost (TCP's three duplicate acknowledgements).
    static constexpr uint32_t kLostAfter = 3;

    uint32_t limit = 0;     // the agreed window
    uint32_t cwnd = 0;      // parts not acknowledged the sender lets fly
    uint32_t pipe = 0;      // parts sent and not acknowledged
    uint32_t ssthresh = 0;  // below it cwnd grows by the parts acknowledged, above it by one per window
    uint32_t credit = 0;    // parts acknowledged towards the next growth above ssthresh
    uint64_t recover = 0;   // losses of parts before this one do not shrink cwnd again

    // The window opens with the part at `first` next to go.
    void open(uint32_t agreed, uint64_t first)
    {
        limit = agreed;
        cwnd = std::min(kInitial, agreed);
        ssthresh = agreed;
        credit = 0;
        pipe = 0;
        recover = first;
    }

    // Whether part `next` may go now, the first not acknowledged being `base`.
    bool has_room(uint64_t next, uint64_t base) const { return next - base < limit && pipe < cwnd; }

    void sent_new() { pipe += 1; }
    void arrived() { pipe -= 1; }

    // An acknowledgement told that `newly` parts arrived.
    void grow(uint32_t newly)
    {
        if (cwnd < ssthresh) {
            cwnd += std::min<uint32_t>(newly, 2);
        } else {
            credit += newly;
            while (credit >= cwnd) {
                credit -= cwnd;
                cwnd += 1;
            }
        }
        cwnd = std::min(cwnd, limit);
    }

    // Part `index` was lost; `next` is the first part never sent.
    void lost(uint64_t index, uint64_t next)
    {
        if (index < recover)
            return;
        ssthresh = std::max<uint32_t>(cwnd * 7 / 10, 2);
        cwnd = ssthresh;
        credit = 0;
        recover = next;
    }

    // Acknowledgements of later parts that say a part was lost, when
    // `after` transmissions went out after its latest copy: kLostAfter, or
    // all of them when fewer went (a small window, the end of the data), as
    // waiting for more would wait for the timer (TCP's early retransmit).
    static uint32_t lost_after(uint64_t after) { return static_cast<uint32_t>(std::min<uint64_t>(kLostAfter, after)); }
};

}  // namespace nimbet::engine
