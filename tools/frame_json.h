// SPDX-License-Identifier: MIT
// JSON lines of the nimbet tool: received frames, events and counters, one object per line.
//
// Every line the tool writes with --json is one JSON object with an "event"
// member that names what it is, and a "time" member: seconds since the Unix
// epoch with milliseconds (1733570000.123).
//
// A received frame:
//
//   {"event":"frame","time":1733570000.123,
//    "src":"1.1.1.1.10.0.0.1",          sender's identifier, dotted
//    "from":"10.0.0.1:47000",           sender's UDP address
//    "seq":12,                          header sequence number 0..255
//    "addressed":"1.1.1.1.10.0.0.2",    data of the "CAD" tuple, or null
//    "ack":true,                        this node sent an acknowledgement
//    "cac":{"reply":false,"kind":"single","seq":12},
//                                       the "CAC" tuple, or null; kind is
//                                       "single", "fragment", "last-fragment"
//                                       or "invalid"
//    "location":"0.0.....0",            only when any location byte is set
//    "tuples":[{"type":"tmp","len":4,"text":"21.5"},
//              {"type":"cad","len":8,"hex":"010101010a000002"}]}
//
// Every tuple of the frame is listed in frame order, control tuples
// included. Data that is text (valid UTF-8 without control characters) is
// given as "text", anything else as lower-case "hex"; an empty tuple has
// "text":"".
//
// Other events carry their own members after "event" and "time", for
// example {"event":"acknowledged","time":...,"to":"1.1.1.1.10.0.0.2","seq":7,
// "ms":12}. The counters of a socket are an object of their own (stats_json)
// with one member per field of n_socket_stats, named as the field. The
// manual page (JSON OUTPUT) lists every event, and
// packaging/schemas/tool-events.schema.json describes each one exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nimbet/nimbet.h"

namespace nimbet_tool {

// Whether data is text: valid UTF-8 without control characters (C0, DEL,
// C1). Such tuple data are shown as text, anything else in hex.
bool is_text(const unsigned char *data, std::size_t len);

// The JSON string literal of text, quotes included. Control characters,
// quotes and backslashes are escaped; bytes that are not valid UTF-8 become
// U+FFFD, so the result is always valid JSON.
std::string json_string(std::string_view text);

// Builds one JSON object member by member; keys are written as given (they
// are the program's own names, never data).
class JsonObject {
public:
    JsonObject &str(std::string_view key, std::string_view value);
    JsonObject &num(std::string_view key, int64_t value);
    JsonObject &num(std::string_view key, uint64_t value);
    JsonObject &num(std::string_view key, int value) { return num(key, static_cast<int64_t>(value)); }
    JsonObject &num(std::string_view key, unsigned value) { return num(key, static_cast<uint64_t>(value)); }
    // A fractional number with `decimals` digits after the point.
    JsonObject &real(std::string_view key, double value, int decimals = 3);
    JsonObject &boolean(std::string_view key, bool value);
    JsonObject &null(std::string_view key);
    // A value that is JSON already (an object or array built elsewhere).
    JsonObject &raw(std::string_view key, std::string_view json);
    // The finished object.
    std::string text() const { return body_ + "}"; }

private:
    JsonObject &key(std::string_view key);
    std::string body_ = "{";
};

// Seconds since the Unix epoch, to the millisecond.
double wall_time();

// An object that starts with "event" and "time" (wall_time() now).
JsonObject json_event(std::string_view event);

// Dotted text of an 8-byte identifier.
std::string id_text(const unsigned char *id);
// "a.b.c.d:port" of an IPv4 socket address.
std::string address_text(const sockaddr_in &address);

// The line of one received frame (schema above), without a newline. The
// packet is only read.
std::string frame_json(n_pkt *pkt, double time);

// The counters as one object, members named as the fields of n_socket_stats.
std::string stats_json(const n_socket_stats &stats);
// The counters as one line of text: "sent 3, received 5, rejected 0, acks sent 2"
// (the first three always, the others when not 0).
std::string stats_text(const n_socket_stats &stats);

}  // namespace nimbet_tool
