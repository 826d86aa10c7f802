// SPDX-License-Identifier: MIT
// The gateway's node: frames and finished transfers going up, commands coming down and their outcomes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "bridge_command.h"
#include "nimbet/nimbet.h"

namespace nimbet::bridge {

// What the node hands to the broker side. None of them may call back into
// the node.
struct NodeSinks {
    std::function<void(n_pkt *pkt)> frame;  // a frame to publish (the sink must not keep the packet)
    std::function<void(const NodeId &src, const std::string &type, const std::string &data, uint32_t ms)> transfer;
    std::function<void(const std::string &result)> result;  // a command's outcome, as JSON
};

struct NodeCounters {
    uint64_t commands = 0, commands_failed = 0, transfers_received = 0;
};

// Drives one library socket from the gateway thread. Acknowledged sends and
// outgoing transfers proceed while frames keep coming: nothing here waits
// for a peer, so a command to a node that does not answer never holds up
// the frames of the others.
class Node {
public:
    // fd: an open library socket, bound, non-blocking; `all`: hand up frames
    // addressed to other nodes and the parts of transfers as well.
    Node(int fd, bool all, int filter_id, NodeSinks sinks);
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    // Receives what is waiting (bounded), serves timers, retransmits, and
    // reports what finished. True when datagrams may still wait (the bound
    // was reached).
    bool pump();
    // Milliseconds until pump() has timed work to do (at most max_ms).
    int next_wake_ms(int max_ms) const;
    // Runs a command given as JSON; its outcome goes to sinks.result, now or
    // from a later pump().
    void submit(const std::string &payload, const std::string &file_dir);
    const NodeCounters &counters() const { return counters_; }
    // Frames are handed up only when they pass this chain (0: all).
    void set_filter(int filter_id) { filter_id_ = filter_id; }

private:
    struct AckedSend {
        nlohmann::json id;
        uint32_t started;
    };
    struct OutTransfer {
        nlohmann::json id;
        uint32_t started;
        std::size_t bytes;
    };
    struct InTransfer {
        std::string type;
        uint32_t started = 0;
    };

    void on_packet(n_pkt *pkt);
    void on_event(const n_event &ev);
    void send_frame(const Command &c);
    void start_transfer(const Command &c);
    void fail(const nlohmann::json &id, const std::string &error);

    int fd_;
    bool all_;
    int filter_id_;
    NodeSinks sinks_;
    NodeId self_{};
    std::map<uint64_t, AckedSend> acked_;  // by the library's number
    std::map<NodeId, OutTransfer> outgoing_;
    std::map<NodeId, InTransfer> incoming_;
    NodeCounters counters_;
};

}  // namespace nimbet::bridge
