// SPDX-License-Identifier: MIT
// What a message on the command topic must pass before it runs: its size, its id, the command rate, the ids already used.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "bridge_store.h"

namespace nimbet::bridge {

// Whoever can publish on the command topic may send anything, as often as
// the broker lets them. The gate lets a command run only when it is small
// enough, within the rate, not retained, and its id (when it has one) is
// new or names the same command again; a repeat of a finished command gets
// the first result again, never a second run. Owned by the gateway thread.
class CommandGate {
public:
    struct Limits {
        std::size_t message_bytes;  // a command message's size
        std::size_t id_bytes;       // the JSON text of its id
        double rate;                // commands per second, with a burst of as many (at least 1)
    };
    enum class Cause { TooLarge, IdTooLong, Rate, Retained, IdReused, NotRecorded, Count };
    static const char *cause_name(Cause c);

    struct Verdict {
        enum Kind {
            Run,     // hand it to the node
            Answer,  // publish `result` instead
            Quiet    // neither: counted only (a running repeat, refusals beyond what is answered)
        } kind;
        std::string result;
    };

    // `store` (not owned) keeps the ids; it may be replaced with set_store().
    CommandGate(Limits limits, Store &store)
        : limits_(limits), store_(&store), tokens_(burst()), answer_tokens_(burst())
    {
    }
    void set_store(Store &store) { store_ = &store; }
    void set_limits(Limits limits) { limits_ = limits; }

    // Judges one message of the command topic at now_ms (a monotonic clock)
    // and now_s (the wall clock, which ids are kept by).
    Verdict admit(const std::string &payload, bool retained, uint32_t now_ms, int64_t now_s);
    // A command's result came: its id is settled with it.
    void finished(const std::string &result);

    uint64_t refused(Cause c) const { return refused_[static_cast<int>(c)]; }
    uint64_t repeats() const { return repeats_; }

private:
    double burst() const { return limits_.rate < 1 ? 1 : limits_.rate; }
    Verdict refuse(Cause c, const std::string &result);

    Limits limits_;
    Store *store_;
    double tokens_;
    uint32_t last_ms_ = 0;
    bool started_ = false;
    // Refusals are answered at the command rate as well; beyond it they
    // are only counted, so that a flood cannot fill the outbox with them.
    double answer_tokens_;
    std::set<std::string> running_;  // ids whose result has not come yet
    uint64_t refused_[static_cast<int>(Cause::Count)] = {};
    uint64_t repeats_ = 0;
};

}  // namespace nimbet::bridge
