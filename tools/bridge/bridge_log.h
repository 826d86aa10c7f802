// SPDX-License-Identifier: MIT
// The gateway's log: one line per event on standard error, with its level, and a time unless the journal adds one.
#pragma once

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
// the millisecond. Call once, before other threads log.
void log_setup(Level level);
bool log_enabled(Level level);

// Writes one line with one system call, so that lines from the gateway and
// the MQTT thread never interleave and none waits in a buffer when the
// process ends. Any thread.
void log(Level level, const std::string &text);

}  // namespace nimbet::bridge
