// SPDX-License-Identifier: MIT
// Commands that reach the gateway over MQTT: their JSON form, validation, and the result objects.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nimbet::bridge {

using NodeId = std::array<unsigned char, 8>;

struct TupleSpec {
    std::string type;   // 3 characters of the type alphabet
    std::string bytes;  // the data
};

// One validated command. A frame command sends its tuples once (to
// everybody, or addressed), or until acknowledged; a transfer command sends
// its data to one node as a fragmented, acknowledged transfer.
struct Command {
    nlohmann::json id;  // echoed in the result as given (string, number, or null when absent)
    bool addressed = false;
    NodeId to{};
    bool acked = false;
    bool transfer = false;
    std::vector<TupleSpec> tuples;  // frame command
    std::string data;               // transfer command
    std::string type = "fil";       // type of a transfer's data tuples
};

// Parses and checks a command (see README, "Commands"). A "file" names a
// file below file_dir, which is read here; without a file_dir, commands with
// "file" are refused. False with a one-line reason in `error`; out.id is
// filled whenever the payload had a usable "id", so the error result can
// name it.
bool parse_command(const std::string &payload, const std::string &file_dir, Command &out, std::string &error);

// The tuple area that a frame command needs: 3 + length per tuple, plus the
// "CAD" tuple (11 bytes) when addressed and the "CAC" tuple (5) when acked.
std::size_t tuple_area(const Command &c);

// {"id": ..., "ok": true, "ms": ...} with any extra members, or
// {"id": ..., "ok": false, "error": "..."}.
std::string ok_result(const nlohmann::json &id, uint32_t ms, nlohmann::json extra = nlohmann::json::object());
std::string error_result(const nlohmann::json &id, const std::string &error);

// Opens `name` (relative, without "." or "..") below the directory dir_fd
// one component at a time, following no symbolic link, for reading and
// non-blocking; -1 with errno set. Where the kernel has openat2, the file
// directory is resolved by it instead; this is its stand-in.
int open_beneath_by_components(int dir_fd, const std::string &name);

// Identifier text: 8 dotted numbers, or a.b.c.d standing for 1.1.1.1.a.b.c.d.
bool parse_node_id(const std::string &text, NodeId &out);

// A 3-character type name of the type alphabet (letters, digits, "-/ @").
bool valid_type_name(const std::string &name);

// The bytes of a value object: exactly one of "text", "hex" or "base64".
bool decode_value(const nlohmann::json &value, std::string &bytes, std::string &error);

}  // namespace nimbet::bridge
