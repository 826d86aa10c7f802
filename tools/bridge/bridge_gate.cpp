// SPDX-License-Identifier: MIT
// What a message on the command topic must pass before it runs.
#include "bridge_gate.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "bridge_command.h"
#include "bridge_log.h"

namespace nimbet::bridge {

using nlohmann::json;

const char *CommandGate::cause_name(Cause c)
{
    switch (c) {
    case Cause::TooLarge: return "too_large";
    case Cause::IdTooLong: return "id_too_long";
    case Cause::Rate: return "rate";
    case Cause::Retained: return "retained";
    case Cause::IdReused: return "id_reused";
    case Cause::NotRecorded: return "not_recorded";
    case Cause::Count: break;
    }
    return "";
}

CommandGate::Verdict CommandGate::refuse(Cause c, const std::string &result)
{
    ++refused_[static_cast<int>(c)];
    if (answer_tokens_ < 1)
        return {Verdict::Quiet, {}};
    answer_tokens_ -= 1;
    return {Verdict::Answer, result};
}

CommandGate::Verdict CommandGate::admit(const std::string &payload, bool retained, uint32_t now_ms, int64_t now_s)
{
    if (!started_) {
        started_ = true;
        last_ms_ = now_ms;
    }
    const double elapsed = (now_ms - last_ms_) / 1000.0;
    last_ms_ = now_ms;
    tokens_ = std::min(burst(), tokens_ + elapsed * limits_.rate);
    answer_tokens_ = std::min(burst(), answer_tokens_ + elapsed * limits_.rate);

    if (payload.size() > limits_.message_bytes)
        return refuse(Cause::TooLarge, error_result(nullptr, "command too large: " + std::to_string(payload.size()) +
                                                                 " bytes, the limit is " +
                                                                 std::to_string(limits_.message_bytes)));
    const json cmd = json::parse(payload, nullptr, false);
    const bool has_id =
        cmd.is_object() && cmd.contains("id") && (cmd["id"].is_string() || cmd["id"].is_number_integer());
    const std::string key = has_id ? cmd["id"].dump() : std::string();
    if (key.size() > limits_.id_bytes)
        return refuse(Cause::IdTooLong, error_result(nullptr, "\"id\" too long: " + std::to_string(key.size()) +
                                                                  " bytes of JSON, the limit is " +
                                                                  std::to_string(limits_.id_bytes)));
    const json id = has_id ? cmd["id"] : json(nullptr);
    // A retained message comes again with every subscription: it is a
    // state left on the broker, not a command.
    if (retained)
        return refuse(Cause::Retained,
                      error_result(id, "a retained message on the command topic is no command: not run"));
    if (tokens_ < 1)
        return refuse(Cause::Rate,
                      error_result(id, "too many commands: the limit is " + json(limits_.rate).dump() + " a second"));
    tokens_ -= 1;
    if (!has_id)
        return {Verdict::Run, {}};

    // The canonical text: members sorted, no white space.
    const std::string hash = command_hash(cmd.dump());
    CommandRecord known;
    if (store_->lookup(key, now_s, known)) {
        if (!known.hash.empty() && known.hash != hash)
            return refuse(Cause::IdReused, error_result(id, "id " + key + " named another command: not run"));
        ++repeats_;
        if (running_.count(key) != 0) {
            log(Level::Info, "command " + key + " is running already: not run again");
            return {Verdict::Quiet, {}};
        }
        if (known.result.empty()) {
            known.result = error_result(id, "not run again: the gateway stopped while it ran");
            store_->finish(key, known.result);
        }
        log(Level::Info, "command " + key + " ran already: its result is published again");
        return {Verdict::Answer, known.result};
    }
    if (!store_->start(key, hash, now_s))
        return refuse(Cause::NotRecorded, error_result(id, "not run: its id could not be recorded (see the log)"));
    running_.insert(key);
    return {Verdict::Run, {}};
}

void CommandGate::finished(const std::string &result)
{
    const json r = json::parse(result, nullptr, false);
    if (!r.is_object() || !r.contains("id") || r["id"].is_null())
        return;
    const std::string key = r["id"].dump();
    if (running_.erase(key) != 0)
        store_->finish(key, result);
}

}  // namespace nimbet::bridge
