// SPDX-License-Identifier: MIT
// A seeded fault relay between two test nodes: loss, duplication, reordering, stale copies, corruption, truncation.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "support/nodes.h"

namespace nimbet::test {

// What happens to the datagrams of one direction, as probabilities per
// datagram.
struct Faults {
    double drop = 0;         // lost
    double duplicate = 0;    // sent twice
    double reorder = 0;      // held back and sent after the next one
    double stale = 0;        // an old copy sent again as well (often exactly 256 parts old)
    double corrupt = 0;      // one bit flipped (the CRC-16 notices)
    double forge = 0;        // one data bit flipped and the CRC-16 made right again
    double truncate = 0;     // cut short
    double burst = 0;        // starts a run of `burst_len` consecutive losses (this datagram the first)
    int burst_len = 0;
    int delay_us = 0;        // every datagram is held this long (half a round trip)
    double hold = 0;         // held back (not sent now) for hold_min_ms to hold_max_ms, chosen at random
    int hold_min_ms = 0;
    int hold_max_ms = 0;
};

// Drops datagrams of a direction whose "CAC" has this control byte and
// sequence byte (-1: any), and where `index` is not -1 whose transfer
// descriptor carries that part index: the n-th such datagram (n counts from
// 1) and the `count` - 1 after it. The acknowledgement of part 256, the last
// part, eleven copies of part 700 in a row.
struct DropRule {
    bool toward_b;
    int control;
    int seq;
    int nth;
    long index = -1;
    int count = 1;
};

/*
 * Node A stands on 127.0.0.1 and sends to 127.0.0.2; node B stands on
 * 127.0.0.3 and sends to 127.0.0.4. The relay listens on .2 and .4 and
 * forwards what it hears to the other node, applying the faults of that
 * direction with its own seeded generator, so that a run repeats. It runs in
 * a thread of its own and stops when destroyed or after `max_ms`.
 */
class FaultRelay {
public:
    static constexpr uint16_t kPort = 47400;

    FaultRelay(Faults toward_b, Faults toward_a, uint32_t seed, std::vector<DropRule> rules = {},
               int max_ms = 600000);
    ~FaultRelay();
    FaultRelay(const FaultRelay &) = delete;
    FaultRelay &operator=(const FaultRelay &) = delete;

    // Datagrams A sent that carry a fragment request ("CAC" control 2 or 4).
    long data_frames() const { return data_frames_; }
    // Every datagram of both directions is lost for the next `ms`.
    void blackout(int ms);
    long faults() const { return faults_; }

private:
    struct Direction {
        int in = -1;
        const char *to = nullptr;
        Faults faults;
        std::vector<std::vector<unsigned char>> history;  // every datagram heard, for stale copies
        std::vector<unsigned char> held;                  // a datagram held back
        int dropped_by_rule = 0;
        bool toward_b = false;
        int burst_left = 0;  // losses still to come in a run
        // Datagrams held for the delay, in order, with the time they go.
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::vector<unsigned char>>> delayed;
    };

    void forward(Direction &d);
    bool dropped_by_rule(const Direction &d, const std::vector<unsigned char> &bytes);
    void send(Direction &d, const std::vector<unsigned char> &bytes);
    void send_at(Direction &d, std::chrono::steady_clock::time_point when, const std::vector<unsigned char> &bytes);
    void put_on_wire(const Direction &d, const std::vector<unsigned char> &bytes);
    // Sends what the delay held long enough; the time until the next is due.
    std::chrono::nanoseconds release_delayed(Direction &d);
    bool chance(double p);
    void run(int max_ms);

    Direction ab_, ba_;
    std::vector<DropRule> rules_;
    std::vector<int> rule_seen_;
    std::mt19937 rng_;
    std::atomic<bool> stop_{false};
    std::atomic<long> data_frames_{0};
    std::atomic<long> faults_{0};
    std::atomic<int64_t> dark_until_ns_{0};  // steady_clock time until which everything is lost
    std::thread thread_;
};

// How a transfer through the relay ended, judged on both sides.
struct TransferRun {
    bool hung = false;          // a side was still under way when the time ran out
    int sender = -1;            // FRAG_ state of each side, -1 when there is none
    int receiver = -1;
    bool receiver_finished = false;  // the receiver finished at some point (its data were taken then)
    bool identical = false;     // and what it held was exactly what was sent
    long data_frames = 0;
    const char *verdict() const;  // "identical", "clean abort", "corrupted", "false success", "hung"
};

// Sends `data` from node a (identifier ida) to node b (idb) as a transfer
// and receives on both until both sides are done, at most `ms`. The
// receiver's data are taken the moment it finishes, and its transfer
// deleted, as an application does.
TransferRun run_transfer(int a, int b, const NodeId &ida, const NodeId &idb, const std::vector<unsigned char> &data,
                         const FaultRelay &relay, int ms);

// Records how a run from node a (ida) to node b (idb) ended, once both
// sides were served: each side's state, the data frames since
// `frames_before`; then deletes both sides' transfers.
void settle_run(TransferRun &r, const FaultRelay &relay, long frames_before, const NodeId &ida, const NodeId &idb);

// What became of `frames` acknowledged frames that node a (retrying as its
// settings say) sent to node b (identifier idb, acknowledging
// automatically) through the relay, each carrying its own number: how many
// the sender was told were acknowledged, how many frames b delivered, how
// many numbers b delivered more than once, and how many acknowledged ones it
// never delivered. b receives in a thread of its own; after the last send
// it goes on for `linger_ms`, for late copies.
struct AckedRun {
    int acked = 0;
    int delivered = 0;
    int twice = 0;
    int lost = 0;  // acknowledged, never delivered
};
AckedRun run_acked(int a, int b, const NodeId &idb, int frames, int linger_ms);

// A node bound on its own loopback address that sends only to its side of
// the relay: non-blocking, driving transfers, with the given retry settings.
int relay_node(const NodeId &id, bool is_a, int retry, int timeout);

}  // namespace nimbet::test
