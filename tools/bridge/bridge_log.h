// SPDX-License-Identifier: MIT
// The gateway's log: one line per event on standard error, with its level, and a time unless the journal adds one.
#pragma once

#include <cstdint>
#include <string>

namespace nimbet::bridge {

// Levels with the numbers of syslog's priorities.
enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// "error", "warning", "notice", "info", "debug"; false for another name.
bool parse_level(const std::string &name, Level &out);
const char *level_name(Level level);

// Lines below `level` are left out. Standard error connected to the journal
// (JOURNAL_STREAM names it) gets "<priority>text" lines, which the journal
// stamps itself; anything else gets "TIME LEVEL: text" with the UTC time to
// the millisecond. Call before other threads log; calling it again (a
// reload) is safe while they do.
void log_setup(Level level);
bool log_enabled(Level level);

// Writes one line with one system call, so that lines from the gateway and
// the MQTT thread never interleave and none waits in a buffer when the
// process ends. Any thread.
void log(Level level, const std::string &text);

// A warning that may come often: the first occurrence in an interval is
// logged, the others are summed up once that interval is over, so that a
// burst leaves a line or two, not hundreds. Times in milliseconds.
class SummedWarning {
public:
    explicit SummedWarning(uint32_t interval_ms) : interval_ms_(interval_ms) {}
    // An occurrence begins: true when it is to be logged now.
    bool start(uint32_t now_ms);
    // Adds to the figure the summary tells (messages dropped), for an
    // occurrence that was not logged.
    void add(uint64_t n);
    // True at most once per interval, when occurrences went unlogged: how
    // many, and the sum of what was added for them.
    bool due(uint32_t now_ms, uint64_t &occurrences, uint64_t &sum);

private:
    uint32_t interval_ms_;
    bool logged_once_ = false;
    uint32_t last_logged_ = 0;
    bool logging_ = false;  // the current occurrence was logged
    uint64_t unlogged_ = 0, sum_ = 0;
};

}  // namespace nimbet::bridge
