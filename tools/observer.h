// SPDX-License-Identifier: MIT
// What the nimbet tool sees through the library's trace hook: -v lines, the pcap capture, the counts of transfer datagrams.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#include "pcap.h"

namespace nimbet_tool {

// Receives the library's trace reports for its lifetime; the tool has one at
// a time. The reports arrive inside library calls, possibly under the
// library's locks, so nothing here calls back into the library beyond its
// pure helpers (event names, the clock): frames are read with the tool's own
// reader.
class Observer {
public:
    // verbose: 0 quiet; 1 retransmissions, acknowledgements and rejections
    // of single frames, and the start and end of transfers (their parts and
    // acknowledgements are only counted: the commands show the counts once
    // a second); 2 every datagram. json: those lines as JSON objects on
    // standard output instead of text on standard error (with --json, single
    // frames sent again are reported even when quiet).
    Observer(int verbose, bool json);
    ~Observer();
    Observer(const Observer &) = delete;
    Observer &operator=(const Observer &) = delete;

    // Records every datagram of socket fd in the capture as it went: a
    // received one when it was read, from its sender to the address it was
    // sent to; a sent one once per destination that took it. The source
    // address of sent ones is the socket's own address, or when it has
    // none, that of the interface the destination belongs to.
    void capture(PcapWriter *pcap, int fd);

    // Datagrams of transfers seen so far: parts sent or stored, parts sent
    // again, repeated parts received, acknowledgements of parts sent or
    // received, and parts of no transfer.
    struct TransferCounts {
        uint64_t parts = 0, resent = 0, repeated = 0, acks = 0, ignored = 0;
    };
    const TransferCounts &transfer_counts() const { return counts_; }

    // Seconds since the observer began: the clock of its lines.
    double elapsed() const;

private:
    static void hook(const n_trace_info *info, void *unused);
    void handle(const n_trace_info &info);
    void report(const n_trace_info &info, bool resent);
    void record(const n_trace_info &info);
    void count(const n_trace_info &info);
    sockaddr_in source_for(const sockaddr_in &to) const;

    int verbose_;
    bool json_;
    PcapWriter *pcap_ = nullptr;
    int pcap_fd_ = -1;
    sockaddr_in local_{};                    // the socket's address (0.0.0.0: any) and port
    std::vector<uint32_t> addrs_, bcasts_;  // the host's interfaces, for the source of sent datagrams
    std::vector<unsigned char> last_sent_;  // recognises an acknowledged frame sent again
    TransferCounts counts_;
    timeval start_{};
};

}  // namespace nimbet_tool
