// SPDX-License-Identifier: MIT
// JSON lines of the nimbet tool: the string escaper, the object builder, frames and counters.
#include "frame_json.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace nimbet_tool {

namespace {

// Length of the UTF-8 sequence that starts at text[i], or 0 when the bytes
// there are not a well-formed sequence.
std::size_t utf8_length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t n;
    if (c >= 0xc2 && c <= 0xdf)
        n = 2;
    else if (c >= 0xe0 && c <= 0xef)
        n = 3;
    else if (c >= 0xf0 && c <= 0xf4)
        n = 4;
    else
        return 0;
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    const unsigned char c1 = byte(i + 1);
    if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) || (c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90))
        return 0;
    return n;
}

std::string hex(const unsigned char *data, unsigned len)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * len);
    for (unsigned i = 0; i < len; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 0xf];
    }
    return s;
}

std::string tuple_json(n_acl *t)
{
    char name[4];
    n_acl_get_type_str(t, name);
    unsigned char *data = nullptr;
    const unsigned len = n_acl_get_data(t, &data);
    JsonObject o;
    o.str("type", name).num("len", len);
    if (is_text(data, len))
        o.str("text", std::string_view(reinterpret_cast<const char *>(data), len));
    else
        o.str("hex", hex(data, len));
    return o.text();
}

// The "CAC" tuple: control byte (reply bit, kind) and sequence number.
std::string cac_json(n_acl *cac)
{
    unsigned char *d = nullptr;
    const unsigned len = n_acl_get_data(cac, &d);
    if (len < 2)
        return "null";
    static const char *const kKinds[] = {"single", "fragment", "last-fragment"};
    const unsigned kind = d[0] >> 1;
    return JsonObject()
        .boolean("reply", (d[0] & 1) != 0)
        .str("kind", kind < 3 ? kKinds[kind] : "invalid")
        .num("seq", static_cast<unsigned>(d[1]))
        .text();
}

struct StatsField {
    const char *name;   // JSON member, the field's own name
    const char *label;  // text form
    uint64_t n_socket_stats::*field;
    bool always;        // shown in the text form even when 0
};

constexpr StatsField kStatsFields[] = {
    {"frames_sent", "sent", &n_socket_stats::frames_sent, true},
    {"frames_received", "received", &n_socket_stats::frames_received, true},
    {"frames_rejected", "rejected", &n_socket_stats::frames_rejected, true},
    {"not_for_us", "not for us", &n_socket_stats::not_for_us, false},
    {"duplicates", "duplicates", &n_socket_stats::duplicates, false},
    {"acks_sent", "acks sent", &n_socket_stats::acks_sent, false},
    {"acks_received", "acks received", &n_socket_stats::acks_received, false},
    {"retransmissions", "resent", &n_socket_stats::retransmissions, false},
    {"transfers_started", "transfers started", &n_socket_stats::transfers_started, false},
    {"transfers_finished", "finished", &n_socket_stats::transfers_finished, false},
    {"transfers_aborted", "aborted", &n_socket_stats::transfers_aborted, false},
    {"transfers_refused", "refused", &n_socket_stats::transfers_refused, false},
    {"stray_fragments", "stray fragments", &n_socket_stats::stray_fragments, false},
    {"transfers_evicted", "evicted", &n_socket_stats::transfers_evicted, false},
    {"kernel_drops", "kernel drops", &n_socket_stats::kernel_drops, false},
    {"rtt_ms", "round trip ms", &n_socket_stats::rtt_ms, false},
    {"rto_ms", "resend after ms", &n_socket_stats::rto_ms, false},
    {"requests_refused", "requests refused", &n_socket_stats::requests_refused, false},
};

}  // namespace

bool is_text(const unsigned char *data, std::size_t len)
{
    const std::string_view text(reinterpret_cast<const char *>(data), len);
    for (std::size_t i = 0; i < len;) {
        const unsigned char c = data[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                return false;
            ++i;
            continue;
        }
        const std::size_t n = utf8_length(text, i);
        if (n == 0 || (c == 0xc2 && data[i + 1] < 0xa0))  // not UTF-8, or a C1 control character
            return false;
        i += n;
    }
    return true;
}

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t n = utf8_length(text, i);
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

JsonObject &JsonObject::key(std::string_view key)
{
    if (body_.size() > 1)
        body_ += ',';
    body_ += '"';
    body_ += key;
    body_ += "\":";
    return *this;
}

JsonObject &JsonObject::str(std::string_view k, std::string_view value)
{
    key(k).body_ += json_string(value);
    return *this;
}

JsonObject &JsonObject::num(std::string_view k, int64_t value)
{
    key(k).body_ += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::num(std::string_view k, uint64_t value)
{
    key(k).body_ += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::real(std::string_view k, double value, int decimals)
{
    char buf[64];
    // JSON has no infinities or NaN.
    if (!(value == value) || value > 1e300 || value < -1e300)
        value = 0;
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    key(k).body_ += buf;
    return *this;
}

JsonObject &JsonObject::boolean(std::string_view k, bool value)
{
    key(k).body_ += value ? "true" : "false";
    return *this;
}

JsonObject &JsonObject::null(std::string_view k)
{
    key(k).body_ += "null";
    return *this;
}

JsonObject &JsonObject::raw(std::string_view k, std::string_view json)
{
    key(k).body_ += json;
    return *this;
}

double wall_time()
{
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

JsonObject json_event(std::string_view event)
{
    JsonObject o;
    o.str("event", event).real("time", wall_time());
    return o;
}

std::string id_text(const unsigned char *id)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u.%u.%u.%u.%u", id[0], id[1], id[2], id[3], id[4], id[5], id[6],
                  id[7]);
    return buf;
}

std::string address_text(const sockaddr_in &address)
{
    char a[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, a, sizeof a);
    return std::string(a) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string frame_json(n_pkt *pkt, double time)
{
    JsonObject o;
    o.str("event", "frame")
        .real("time", time)
        .str("src", id_text(pkt->srcid))
        .str("from", address_text(pkt->from))
        .num("seq", n_pkt_get_seq(pkt));

    n_acl *cad = nullptr;
    unsigned char *dest = nullptr;
    if (n_acl_findfirst_str(pkt, "CAD", &cad) >= 0 && n_acl_get_data(cad, &dest) == 8)
        o.str("addressed", id_text(dest));
    else
        o.null("addressed");
    o.boolean("ack", n_pkt_get_ack(pkt) == 1);
    n_acl *cac = nullptr;
    o.raw("cac", n_acl_findfirst_str(pkt, "CAC", &cac) >= 0 ? cac_json(cac) : "null");

    const unsigned char *loc = pkt->location;
    if (std::any_of(loc, loc + sizeof pkt->location, [](unsigned char b) { return b != 0; })) {
        char text[200];
        o.str("location", n_pkt_get_location_str(pkt, text, sizeof text));
    }

    std::string tuples = "[";
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t))
        tuples += (tuples.size() > 1 ? "," : "") + tuple_json(t);
    o.raw("tuples", tuples + "]");
    return o.text();
}

std::string stats_json(const n_socket_stats &stats)
{
    JsonObject o;
    for (const StatsField &f : kStatsFields)
        o.num(f.name, stats.*f.field);
    return o.text();
}

std::string stats_text(const n_socket_stats &stats)
{
    std::string s;
    for (const StatsField &f : kStatsFields)
        if (stats.*f.field != 0 || f.always)
            s += (s.empty() ? "" : ", ") + std::string(f.label) + " " + std::to_string(stats.*f.field);
    return s;
}

}  // namespace nimbet_tool
