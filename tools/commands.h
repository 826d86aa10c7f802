// SPDX-License-Identifier: MIT
// The nimbet tool's commands and what they share: the parsed command line, the run loop, the end of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "frame_json.h"
#include "node_options.h"
#include "observer.h"

namespace nimbet_tool {

struct CommandLine {
    std::string command;
    std::vector<std::string> args;  // positional arguments after the command
    NodeOptions node;
    std::string to, from, type = "fil", pcap;
    long count = -1;
    bool acked = false;
    bool keep_partial = false;
    bool no_clobber = false;
    int progress = -1;  // --progress 1, --no-progress 0, -1: when standard error is a terminal
};

int cmd_interfaces(const CommandLine &c);
int cmd_describe(const CommandLine &c);
int cmd_listen(const CommandLine &c);
int cmd_send(const CommandLine &c);
int cmd_send_file(const CommandLine &c);
int cmd_recv_file(const CommandLine &c);

// Ctrl-C (SIGINT) and SIGTERM set a flag that every loop checks; a wait in
// progress returns early.
void catch_interrupts();
bool interrupted();

// A time limit in the library's millisecond clock (unsigned 32-bit arithmetic).
class Deadline {
public:
    explicit Deadline(double seconds) : limit_ms_(static_cast<uint32_t>(seconds * 1000)) {}
    uint32_t elapsed() const { return n_util_getmstime() - start_; }
    double seconds() const { return elapsed() / 1000.0; }
    bool passed() const { return elapsed() >= limit_ms_; }
    uint32_t left() const
    {
        const uint32_t e = elapsed();
        return e >= limit_ms_ ? 0 : limit_ms_ - e;
    }

private:
    uint32_t start_ = n_util_getmstime();
    uint32_t limit_ms_;
};

// Receives one frame within wait_ms and hands it to on_packet (which must
// not keep it); returns earlier when a datagram was consumed by the library
// (a fragment, an acknowledgement) or at an interruption. Fragments,
// acknowledgements and timers are served inside the library's receive.
void pump(int fd, uint32_t wait_ms, const std::function<void(n_pkt *)> &on_packet);

// "1 part", "2 parts": n and the word in the number n calls for.
std::string plural(uint64_t n, const char *one, const char *many);

// An output file about to be written: refused (Failure, exit status 1) when
// it exists and no_clobber is set, else true when it exists (the caller says
// that it overwrites it), false when it does not. A directory is refused.
bool check_output(const std::string &path, bool no_clobber);

// Why a send on fd failed, from the system's errno of the failed call when
// it names a cause ("no route to 10.99.0.5"), else the library's error.
std::string send_failure(int fd, int sys_errno);

// The end of a run: with -v the counters line on standard error, with --json
// the summary object (the given members, then "status", "seconds" and
// "stats") on standard output. Returns status.
int finish(const CommandLine &c, int fd, int status, double seconds, JsonObject summary);

// The closed socket of a run: closes fd when the command returns or throws.
struct SocketGuard {
    int fd;
    ~SocketGuard()
    {
        if (fd >= 0)
            n_socket_close(fd);
    }
};

// The filter chain of a run (0: none), destroyed when the command returns or throws.
struct FilterGuard {
    int id;
    ~FilterGuard()
    {
        if (id > 0)
            n_filter_destroy(id);
    }
};

}  // namespace nimbet_tool
