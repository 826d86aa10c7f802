// SPDX-License-Identifier: MIT
// Commands that reach the gateway over MQTT: parsing, validation and results.
#include "bridge_command.h"

#include <fcntl.h>
#include <strings.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "nimbet/nimbet.h"
#include "node_options.h"

namespace nimbet::bridge {

using nlohmann::json;

namespace {

constexpr std::size_t kCadArea = 3 + 8;  // "CAD": type, length, identifier
constexpr std::size_t kCacArea = 3 + 2;  // "CAC": type, length, control, sequence
constexpr std::size_t kMaxTransfer = 64u << 20;

bool only_keys(const json &object, std::initializer_list<const char *> allowed, std::string &error)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const char *k : allowed)
            known = known || it.key() == k;
        if (!known) {
            error = "unknown member \"" + it.key() + "\"";
            return false;
        }
    }
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool decode_hex(const std::string &text, std::string &out)
{
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<char>(hi << 4 | lo));
    }
    return true;
}

// Standard base64 with padding; line breaks and other characters are refused.
bool decode_base64(const std::string &text, std::string &out)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int pad = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const bool last_group = i + 4 == text.size();
            if (c == '=' && last_group && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++pad;
                group <<= 6;
                continue;
            }
            const char *p = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
            if (p == nullptr || pad > 0)
                return false;
            group = group << 6 | static_cast<uint32_t>(p - kAlphabet);
        }
        out.push_back(static_cast<char>(group >> 16));
        if (pad < 2)
            out.push_back(static_cast<char>(group >> 8 & 0xff));
        if (pad < 1)
            out.push_back(static_cast<char>(group & 0xff));
    }
    return true;
}

// A path below dir: relative, without "." or ".." components, so that a
// command can never reach outside the directory the operator named.
bool safe_relative_path(const std::string &name)
{
    if (name.empty() || name[0] == '/')
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

// Opens `name` below the directory `dir_fd` for reading, without following
// a symbolic link anywhere on the way and without leaving the directory.
// Non-blocking, so that a FIFO cannot hold the gateway up. -1 with errno set.
int open_beneath_by_openat2(int dir_fd, const std::string &name)
{
    open_how how{};
    how.flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dir_fd, name.c_str(), &how, sizeof how));
}

}  // namespace

int open_beneath_by_components(int dir_fd, const std::string &name)
{
    int at = dir_fd;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        const bool last = slash == std::string::npos;
        // safe_relative_path refused "", "." and ".." already; this keeps
        // the walk sound on its own.
        const int fd = part.empty() || part == "." || part == ".."
                           ? (errno = EACCES, -1)
                           : openat(at, part.c_str(),
                                    O_NOFOLLOW | O_CLOEXEC | (last ? O_RDONLY | O_NONBLOCK | O_NOCTTY
                                                                   : O_PATH | O_DIRECTORY));
        const int err = errno;
        if (at != dir_fd)
            close(at);
        if (fd < 0 || last) {
            errno = err;
            return fd;
        }
        at = fd;
        start = slash + 1;
    }
}

namespace {

// A regular file below `dir`, read whole when it is at most kMaxTransfer
// bytes; its size is checked before anything is read.
bool read_file_below(const std::string &dir, const std::string &name, std::string &out, std::string &error)
{
    const int dir_fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        error = "cannot open the file directory: " + std::string(std::strerror(errno));
        return false;
    }
    int fd = open_beneath_by_openat2(dir_fd, name);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))  // an older kernel, or a filter that forbids the call
        fd = open_beneath_by_components(dir_fd, name);
    const int err = errno;
    close(dir_fd);
    if (fd < 0) {
        error = "cannot read file " + name + ": " +
                (err == ELOOP || err == EXDEV || err == ENOTDIR ? std::string("a symbolic link or a path leaving the file directory")
                                                                : std::string(std::strerror(err)));
        return false;
    }
    struct stat st{};
    const bool stat_ok = fstat(fd, &st) == 0;
    if (!stat_ok || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "cannot read file " + name + ": " +
                (stat_ok ? std::string(S_ISDIR(st.st_mode) ? "a directory" : "not a regular file")
                         : std::string(std::strerror(errno)));
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxTransfer) {
        close(fd);
        error = "file too large: the limit is " + std::to_string(kMaxTransfer) + " bytes";
        return false;
    }
    // The size may change while it is read: never past the limit.
    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || out.size() + static_cast<std::size_t>(std::max<ssize_t>(n, 0)) > kMaxTransfer) {
            error = n < 0 ? "cannot read file " + name + ": " + std::strerror(errno)
                          : "file too large: the limit is " + std::to_string(kMaxTransfer) + " bytes";
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

// The control tuples: the addressed node, the acknowledgement control, the
// transfer control and the request identifier. The library sets them.
bool is_control_type(const std::string &type)
{
    for (const char *control : {"CAD", "CAC", "CAT", "CAR"})
        if (strcasecmp(type.c_str(), control) == 0)
            return true;
    return false;
}

bool parse_tuples(const json &list, std::vector<TupleSpec> &out, std::string &error)
{
    if (!list.is_array() || list.empty()) {
        error = "\"tuples\" must be a non-empty array";
        return false;
    }
    for (const json &t : list) {
        if (!t.is_object() || !t.contains("type") || !t["type"].is_string()) {
            error = "every tuple needs a \"type\"";
            return false;
        }
        TupleSpec tuple{t["type"].get<std::string>(), {}};
        if (!valid_type_name(tuple.type)) {
            error = "bad tuple type \"" + tuple.type + "\": 3 letters, digits, '-', '/', ' ' or '@'";
            return false;
        }
        if (is_control_type(tuple.type)) {
            error = "tuple type \"" + tuple.type +
                    "\" is the gateway's to set (\"CAD\" from \"to\", \"CAC\" from \"acked\", \"CAT\" for transfers, "
                    "\"CAR\" for acknowledged requests)";
            return false;
        }
        if (!only_keys(t, {"type", "text", "hex", "base64"}, error))
            return false;
        // A tuple without a value is an empty tuple.
        if ((t.contains("text") || t.contains("hex") || t.contains("base64")) && !decode_value(t, tuple.bytes, error))
            return false;
        out.push_back(std::move(tuple));
    }
    return true;
}

}  // namespace

bool valid_type_name(const std::string &name)
{
    try {
        nimbet_tool::check_type(name, "type");
        return true;
    } catch (const nimbet_tool::UsageError &) {
        return false;
    }
}

bool parse_node_id(const std::string &text, NodeId &out)
{
    try {
        nimbet_tool::parse_id(text, "to", out.data());
        return true;
    } catch (const nimbet_tool::UsageError &) {
        return false;
    }
}

bool decode_value(const json &value, std::string &bytes, std::string &error)
{
    const int forms = value.contains("text") + value.contains("hex") + value.contains("base64");
    if (forms != 1) {
        error = "a value is given by exactly one of \"text\", \"hex\" or \"base64\"";
        return false;
    }
    const char *form = value.contains("text") ? "text" : value.contains("hex") ? "hex" : "base64";
    if (!value[form].is_string()) {
        error = std::string("\"") + form + "\" must be a string";
        return false;
    }
    const std::string &s = value[form].get_ref<const std::string &>();
    if (std::strcmp(form, "text") == 0)
        bytes = s;
    else if (std::strcmp(form, "hex") == 0 ? !decode_hex(s, bytes) : !decode_base64(s, bytes)) {
        error = std::string("bad ") + form + " value";
        return false;
    }
    return true;
}

std::size_t tuple_area(const Command &c)
{
    std::size_t area = (c.addressed ? kCadArea : 0) + (c.acked ? kCacArea : 0);
    for (const TupleSpec &t : c.tuples)
        area += 3 + t.bytes.size();
    return area;
}

namespace {

// The members any command may have: "id" (kept in out even when the command
// is refused, for its result), "to" and "acked"; any unknown one is refused.
bool parse_common_members(const json &cmd, Command &out, std::string &error)
{
    if (cmd.contains("id")) {
        if (!cmd["id"].is_string() && !cmd["id"].is_number_integer()) {
            error = "\"id\" must be a string or an integer";
            return false;
        }
        out.id = cmd["id"];
    }
    if (!only_keys(cmd, {"id", "to", "acked", "tuples", "data", "file", "type"}, error))
        return false;

    if (cmd.contains("to")) {
        if (!cmd["to"].is_string() || !parse_node_id(cmd["to"].get<std::string>(), out.to)) {
            error = "\"to\" must be a node identifier (8 dotted numbers, or a.b.c.d)";
            return false;
        }
        out.addressed = true;
    }
    if (cmd.contains("acked")) {
        if (!cmd["acked"].is_boolean()) {
            error = "\"acked\" must be true or false";
            return false;
        }
        out.acked = cmd["acked"].get<bool>();
    }
    return true;
}

// A frame of "tuples", which must fit the frame's tuple area.
bool parse_frame_command(const json &cmd, Command &out, std::string &error)
{
    if (cmd.contains("type")) {
        error = "\"type\" belongs to transfers; tuples carry their own";
        return false;
    }
    if (out.acked && !out.addressed) {
        error = "\"acked\" needs \"to\": only an addressed node acknowledges";
        return false;
    }
    if (!parse_tuples(cmd["tuples"], out.tuples, error))
        return false;
    if (tuple_area(out) > PACKET_ACL_MAX) {
        error = "the tuples need " + std::to_string(tuple_area(out)) + " bytes of a frame's " +
                std::to_string(PACKET_ACL_MAX) + " (with \"CAD\" 11 when addressed, \"CAC\" 5 when acked)";
        return false;
    }
    return true;
}

// A transfer's "data": an object with one of "text", "hex" or "base64".
bool parse_transfer_data(const json &d, Command &out, std::string &error)
{
    if (!d.is_object() || !only_keys(d, {"text", "hex", "base64"}, error) || !decode_value(d, out.data, error)) {
        if (error.empty() || !d.is_object())
            error = "\"data\" must be an object with one of \"text\", \"hex\" or \"base64\"";
        return false;
    }
    if (out.data.size() > kMaxTransfer) {
        error = "data too large: the limit is " + std::to_string(kMaxTransfer) + " bytes";
        return false;
    }
    return true;
}

// A transfer's "file": read from below file_dir, refused without one.
bool read_transfer_file(const json &name, const std::string &file_dir, Command &out, std::string &error)
{
    if (file_dir.empty()) {
        error = "\"file\" is refused: the gateway was started without --file-dir";
        return false;
    }
    if (!name.is_string() || !safe_relative_path(name.get<std::string>())) {
        error = "\"file\" must name a file below the gateway's file directory (no \"..\", not absolute)";
        return false;
    }
    return read_file_below(file_dir, name.get<std::string>(), out.data, error);
}

// A transfer: always addressed and acknowledged part by part.
bool parse_transfer_command(const json &cmd, const std::string &file_dir, Command &out, std::string &error)
{
    out.transfer = true;
    if (!out.addressed) {
        error = "a transfer needs \"to\"";
        return false;
    }
    if (cmd.contains("type")) {
        if (!cmd["type"].is_string() || !valid_type_name(cmd["type"].get<std::string>())) {
            error = "bad transfer \"type\": 3 letters, digits, '-', '/', ' ' or '@'";
            return false;
        }
        out.type = cmd["type"].get<std::string>();
    }
    if (cmd.contains("data"))
        return parse_transfer_data(cmd["data"], out, error);
    return read_transfer_file(cmd["file"], file_dir, out, error);
}

}  // namespace

bool parse_command(const std::string &payload, const std::string &file_dir, Command &out, std::string &error)
{
    out = Command{};
    const json cmd = json::parse(payload, nullptr, false);
    if (cmd.is_discarded()) {
        error = "malformed JSON";
        return false;
    }
    if (!cmd.is_object()) {
        error = "a command is a JSON object";
        return false;
    }
    if (!parse_common_members(cmd, out, error))
        return false;
    const int forms = cmd.contains("tuples") + cmd.contains("data") + cmd.contains("file");
    if (forms != 1) {
        error = "a command holds exactly one of \"tuples\", \"data\" or \"file\"";
        return false;
    }
    if (cmd.contains("tuples"))
        return parse_frame_command(cmd, out, error);
    return parse_transfer_command(cmd, file_dir, out, error);
}

std::string ok_result(const json &id, uint32_t ms, json extra)
{
    json r = {{"id", id}, {"ok", true}, {"ms", ms}};
    r.update(extra);
    return r.dump();
}

std::string error_result(const json &id, const std::string &error)
{
    return json{{"id", id}, {"ok", false}, {"error", error}}.dump();
}

}  // namespace nimbet::bridge
