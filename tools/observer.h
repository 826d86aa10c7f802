// What the nimbet tool sees through the library's trace hook: -v lines, the pcap capture, transfer progress.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#include "pcap.h"

namespace nimbet_tool {

// Progress of one transfer, as its datagrams show it.
struct TransferProgress {
    uint64_t bytes = 0;     // sender: bytes acknowledged; receiver: bytes stored
    uint64_t total = 0;     // announced length (the receiver learns it from the first part), 0 unknown
    unsigned parts = 0;     // parts sent for the first time / stored
    unsigned resent = 0;    // parts sent again
};

// Receives the library's trace reports for its lifetime; the tool has one at
// a time. Everything here runs in the thread that called the
// library, and never calls back into a socket.
class Observer {
public:
    // verbose: 0 quiet, 1 retransmissions, acknowledgements, rejections and
    // transfer events, 2 every datagram. json: those lines as JSON objects on
    // standard output instead of text on standard error.
    Observer(int verbose, bool json);
    ~Observer();
    Observer(const Observer &) = delete;
    Observer &operator=(const Observer &) = delete;

    // Records every datagram of socket fd in the capture. The addresses that
    // the trace does not give (this node's, where sent frames went) are
    // taken from the socket now.
    void capture(PcapWriter *pcap, int fd);

    // Called for every part stored from a peer, with the fragment frame (its
    // srcid names the peer) and the part's data; both valid during the call.
    // It runs inside the library's receive: it must not call a socket function.
    std::function<void(n_pkt *frame, const unsigned char *data, std::size_t len)> on_part_stored;

    // Progress of the transfer with the peer (its identifier), both ways.
    TransferProgress sending(const unsigned char *peer) const;
    TransferProgress receiving(const unsigned char *peer) const;

    // First part of each transfer that reached this node, oldest first: the
    // datagram as received (the tool decides whose transfer it takes).
    const std::vector<std::vector<unsigned char>> &first_parts() const { return first_parts_; }

    uint64_t datagrams_traced() const { return traced_; }

private:
    static void hook(const n_trace_info *info, void *self);
    void handle(const n_trace_info &info);
    void report(const n_trace_info &info, n_pkt *frame, bool resent);
    void record(const n_trace_info &info, bool received);

    int verbose_;
    bool json_;
    uint64_t traced_ = 0;
    PcapWriter *pcap_ = nullptr;
    sockaddr_in local_{}, dest_{};
    std::vector<unsigned char> last_sent_;     // recognises a frame sent again
    std::vector<unsigned char> last_recorded_; // one datagram reported under two events is captured once
    const unsigned char *last_recorded_at_ = nullptr;
    bool last_recorded_received_ = false;
    std::map<std::string, TransferProgress> sending_, receiving_;
    std::map<std::string, uint64_t> in_flight_;  // length of each sender's part awaiting its acknowledgement
    std::vector<std::vector<unsigned char>> first_parts_;
    uint32_t start_ms_;
};

}  // namespace nimbet_tool
