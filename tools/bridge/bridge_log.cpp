// SPDX-License-Identifier: MIT
// The gateway's log: level filter, journal detection and line format.
#include "bridge_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace nimbet::bridge {

namespace {

constexpr const char *kNames[] = {"error", "warning", "notice", "info", "debug"};

// Set again by a reload while the MQTT thread may log.
std::atomic<Level> g_level{Level::Info};
std::atomic<bool> g_journal{false};

// JOURNAL_STREAM holds "DEVICE:INODE" of the stream systemd connected; it
// counts only while standard error is still that stream.
bool stderr_is_journal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0)
        return false;
    unsigned long long dev = 0, ino = 0;
    return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && dev == st.st_dev && ino == st.st_ino;
}

}  // namespace

bool parse_level(const std::string &name, Level &out)
{
    for (int i = 0; i < 5; ++i) {
        if (name == kNames[i]) {
            out = static_cast<Level>(i + 3);
            return true;
        }
    }
    return false;
}

const char *level_name(Level level) { return kNames[static_cast<int>(level) - 3]; }

void log_setup(Level level)
{
    g_level = level;
    g_journal = stderr_is_journal();
}

bool log_enabled(Level level) { return level <= g_level; }

void log(Level level, const std::string &text)
{
    if (!log_enabled(level))
        return;
    std::string line;
    if (g_journal) {
        line = "<" + std::to_string(static_cast<int>(level)) + ">" + text + "\n";
    } else {
        const auto now = std::chrono::system_clock::now();
        const std::time_t t = std::chrono::system_clock::to_time_t(now);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
        line = std::string(stamp) + " " + level_name(level) + ": " + text + "\n";
    }
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0)
            return;  // nowhere to log to: the gateway goes on
        done += static_cast<std::size_t>(n);
    }
}

bool SummedWarning::start(uint32_t now_ms)
{
    logging_ = !logged_once_ || now_ms - last_logged_ >= interval_ms_;
    if (logging_) {
        logged_once_ = true;
        last_logged_ = now_ms;
    } else {
        ++unlogged_;
    }
    return logging_;
}

void SummedWarning::add(uint64_t n)
{
    if (!logging_)
        sum_ += n;
}

bool SummedWarning::due(uint32_t now_ms, uint64_t &occurrences, uint64_t &sum)
{
    if (unlogged_ == 0 || now_ms - last_logged_ < interval_ms_)
        return false;
    occurrences = unlogged_;
    sum = sum_;
    unlogged_ = sum_ = 0;
    last_logged_ = now_ms;
    return true;
}

}  // namespace nimbet::bridge
