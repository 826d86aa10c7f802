// What the nimbet tool sees through the library's trace hook: -v lines, the pcap capture, the first parts of transfers.
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
    // verbose: 0 quiet, 1 retransmissions, acknowledgements, rejections and
    // transfer events, 2 every datagram. json: those lines as JSON objects on
    // standard output instead of text on standard error (with --json, frames
    // sent again are reported even when quiet).
    Observer(int verbose, bool json);
    ~Observer();
    Observer(const Observer &) = delete;
    Observer &operator=(const Observer &) = delete;

    // Records every datagram of socket fd in the capture. The addresses that
    // the trace does not give (this node's, where sent frames went) are
    // taken from the socket now.
    void capture(PcapWriter *pcap, int fd);

    // Senders whose first part was stored since the last call, oldest first,
    // with that part's datagram: the caller decides whose transfer it takes.
    struct FirstPart {
        std::array<unsigned char, 8> sender;
        std::vector<unsigned char> datagram;
    };
    std::vector<FirstPart> take_first_parts();

private:
    static void hook(const n_trace_info *info, void *unused);
    void handle(const n_trace_info &info);
    void report(const n_trace_info &info, bool resent);
    void record(const n_trace_info &info, bool received);

    int verbose_;
    bool json_;
    PcapWriter *pcap_ = nullptr;
    sockaddr_in local_{}, dest_{};
    std::vector<unsigned char> last_sent_;      // recognises an acknowledged frame sent again
    std::vector<unsigned char> last_recorded_;  // one datagram reported under two events is captured once
    const unsigned char *last_recorded_at_ = nullptr;
    bool last_recorded_received_ = false;
    std::vector<FirstPart> first_parts_;
    uint32_t start_ms_;
};

}  // namespace nimbet_tool
