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
 * one per half window of parts acknowledged (two a round trip, counted in
 * parts as TCP's appropriate byte counting does), and shrinks to 7/10 on a
 * loss, once per window of parts in flight (the factor of TCP's CUBIC).
 * Reno's halving and one part a round trip keep the window on a lossy link
 * far below what the link carries: with random loss the window settles
 * about 1.4 times as wide as Reno's, and each lost part is still sent again
 * once, so a lossy link carries no more frames than it must.
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
            while (credit >= std::max<uint32_t>(cwnd / 2, 1)) {
                credit -= std::max<uint32_t>(cwnd / 2, 1);
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

    // The timer ran out on part `index` (the first overdue), `next` being
    // the first part never sent: a loss, and the window starts again from
    // kInitial parts, as TCP's does after a timeout. The overdue parts left
    // the pipe (left_pipe): they go again as room allows, never all at once
    // towards a peer that may be gone.
    void timed_out(uint64_t index, uint64_t next)
    {
        lost(index, next);
        cwnd = std::min(kInitial, limit);
        credit = 0;
    }
    void left_pipe() { pipe -= 1; }

    // Acknowledgements of later parts that say a part was lost, when
    // `after` transmissions went out after its latest copy: kLostAfter, or
    // all of them when fewer went (a small window, the end of the data), as
    // waiting for more would wait for the timer (TCP's early retransmit).
    static uint32_t lost_after(uint64_t after) { return static_cast<uint32_t>(std::min<uint64_t>(kLostAfter, after)); }
};

/*
 * The receiver's side of a window: which acknowledgements may wait. Each
 * acknowledgement says how many parts are stored in order, so one for every
 * second part stored in order tells the sender as much as one per part (TCP's
 * delayed acknowledgement). A part that came out of turn, filled a gap, or
 * lets the last part go is acknowledged at once (`urgent`); one that waits
 * goes within kDelayMs all the same. A sender always has room for a second
 * part while one is owed (its window is at least 2), so waiting never stalls
 * it.
 */
struct AckPace {
    static constexpr uint32_t kEvery = 2;    // parts stored in order that one acknowledgement answers at most
    static constexpr uint32_t kDelayMs = 1;  // how long an owed acknowledgement waits at most

    uint32_t owed = 0;   // parts stored in order since the last acknowledgement
    uint32_t since = 0;  // when the first of them was stored

    // A part was stored in order at `now`: whether its acknowledgement
    // waits (false: it goes now, and answers every part owed).
    bool stored(bool urgent, uint32_t now)
    {
        if (urgent || owed + 1 >= kEvery) {
            owed = 0;
            return false;
        }
        if (owed++ == 0)
            since = now;
        return true;
    }
    // An acknowledgement went: nothing is owed.
    void sent() { owed = 0; }
    // Whether one is owed and its time has come.
    bool due(uint32_t now) const { return owed != 0 && now - since >= kDelayMs; }
    // Milliseconds from `now` until an owed acknowledgement is due (0: now),
    // or -1 when none is owed.
    int64_t left(uint32_t now) const
    {
        if (owed == 0)
            return -1;
        const uint32_t elapsed = now - since;
        return elapsed >= kDelayMs ? 0 : int64_t{kDelayMs - elapsed};
    }
};

}  // namespace nimbet::engine
