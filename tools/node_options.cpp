// SPDX-License-Identifier: MIT
// The shared node options of the nimbet tool: parsing, opening the node's socket, the --filter chain.
#include "node_options.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace nimbet_tool {

namespace {

constexpr OptionDoc kNodeOptionDocs[] = {
    {"--id", "ID", "this node's identifier: 8 numbers, or a.b.c.d for 1.1.1.1.a.b.c.d"},
    {"--local", "ADDR", "an IPv4 address of this host (names the node when --id is not given)"},
    {"--dest", "ADDR", "send only to ADDR instead of every interface's broadcast address"},
    {"--bind", "ADDR", "receive only what is sent to ADDR, and send from it (this host's, or any 127.x.y.z)"},
    {"--retry", "N", "transmissions of an acknowledged frame, 1..255 (default 10)"},
    {"--timeout", "MS", "wait for each acknowledgement, in milliseconds (default 163)"},
    {"--window", "N", "parts of a transfer in flight at once, 0..128 (0 or 1: one at a time; default 64)"},
    {"--seconds", "S", "stop after S seconds (may have decimals)"},
    {"--filter", "EXPR", "only frames that match EXPR (see below); several are ANDed"},
    {"--or", "", "a frame passes when any --filter matches"},
    {"--all", "", "also frames addressed to other nodes"},
    {"--json", "", "one JSON object per line on standard output"},
    {"-v, -vv", "", "report retransmissions, acknowledgements, rejected datagrams (-vv: every datagram)"},
};

// Names that take a value; every other shared option is a switch.
bool takes_value(std::string_view name)
{
    return name == "--id" || name == "--local" || name == "--dest" || name == "--bind" || name == "--retry" ||
           name == "--timeout" || name == "--window" || name == "--seconds" || name == "--filter";
}

bool is_node_option(std::string_view name)
{
    return takes_value(name) || name == "--or" || name == "--all" || name == "--json" || name == "-v" ||
           name == "-vv" || name == "--verbose";
}

double parse_seconds(const std::string &text)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v > 0) || v > 86400)
        throw UsageError("bad value for --seconds: " + text + " (more than 0, at most 86400)");
    return v;
}

// The host's IPv4 interface addresses and their broadcast addresses.
int local_interfaces(uint32_t (&addrs)[16], uint32_t (&bcasts)[16])
{
    const int n = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
    return n < 0 ? 0 : n;
}

bool is_loopback(uint32_t addr) { return (ntohl(addr) >> 24) == 127; }

std::string ipv4_text(uint32_t addr)
{
    char a[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr, a, sizeof a);
    return a;
}

// Asks the system for a route to addr without sending anything: connecting
// a datagram socket only looks the route up. Throws Failure when none.
void require_route(uint32_t addr)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;  // the library's own open reports what is wrong
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = addr;
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    const int r = ::connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    const int e = errno;
    ::close(s);
    if (r != 0 && (e == ENETUNREACH || e == EHOSTUNREACH))
        throw Failure(kExitFailure, "no route to " + ipv4_text(addr));
}

// Why binding PORT failed: the library's receive reports only that the
// socket is not bound, so the system is asked again the same way.
std::string bind_failure(uint16_t port)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int e = errno;
    if (s >= 0) {
        const int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        e = ::bind(s, reinterpret_cast<const sockaddr *>(&any), sizeof any) == 0 ? 0 : errno;
        ::close(s);
    }
    const std::string p = "port " + std::to_string(port);
    if (e == EADDRINUSE)
        return p + " is in use";
    if (e == EACCES)
        return p + " needs privileges";
    return "cannot bind " + p + (e != 0 ? std::string(": ") + std::strerror(e) : std::string());
}

// One --filter expression: KEY=VALUE or KEY!=VALUE.
struct FilterExpr {
    std::string key, value;
    bool negate = false;
};

FilterExpr split_filter(const std::string &text)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError("bad --filter " + text + ": write KEY=VALUE, such as acl=tmp or id=1.1.1.1.10.*");
    FilterExpr f;
    f.negate = text[eq - 1] == '!';
    f.key = text.substr(0, eq - (f.negate ? 1 : 0));
    f.value = text.substr(eq + 1);
    return f;
}

// A dotted pattern of at most `fields` numbers, '?' and '*'.
void check_pattern(const std::string &expr, const std::string &pattern, int fields)
{
    int count = 1;
    for (char c : pattern) {
        if (c == '.')
            ++count;
        else if (!std::isdigit(static_cast<unsigned char>(c)) && c != '?' && c != '*')
            throw UsageError("bad --filter " + expr + ": a pattern holds numbers, '.', '?' and '*'");
    }
    if (pattern.empty() || count > fields)
        throw UsageError("bad --filter " + expr + ": a pattern of 1 to " + std::to_string(fields) + " fields");
}

void add_element(int chain, int type, const void *arg, const std::string &expr)
{
    if (n_filter_add(chain, type, arg) < 0)
        throw UsageError("bad --filter " + expr + ": " + library_error());
}

}  // namespace

const char kFilterHelp[] =
    "filter expressions (--filter EXPR, repeatable; ANDed unless --or):\n"
    "  id=PATTERN      sender's identifier, such as id=1.1.1.1.10.* or id=1.1.1.1.10.0.0.?\n"
    "  loc=PATTERN     sender's location, compared from its first byte (loc=3.*)\n"
    "  acl=TYPE        a tuple of type TYPE anywhere in the frame (acl=tmp)\n"
    "  acl@N=TYPE      the tuple at position N (0 is the first) is of type TYPE\n"
    "  KEY!=VALUE      the opposite: acl!=acm drops acknowledgements\n"
    "  In a PATTERN, '?' matches any one number and '*' everything after it; a\n"
    "  shorter pattern compares only its leading numbers.\n"
    "  examples: --filter acl=tmp --filter 'id=1.1.1.1.10.*'   (both must hold)\n"
    "            --or --filter acl=tmp --filter acl=hum        (either)\n";

std::span<const OptionDoc> node_option_docs() { return kNodeOptionDocs; }

bool split_option(std::string_view arg, std::string &name, std::string &value, bool &has_value)
{
    if (arg.size() < 2 || arg[0] != '-')
        return false;
    const std::size_t eq = arg.find('=');
    has_value = arg.substr(0, 2) == "--" && eq != std::string_view::npos;
    name = has_value ? arg.substr(0, eq) : arg;
    value = has_value ? arg.substr(eq + 1) : std::string_view();
    return true;
}

bool take_node_option(NodeOptions &o, int argc, char **argv, int &i)
{
    std::string name, value;
    bool has_value = false;
    if (!split_option(argv[i], name, value, has_value) || !is_node_option(name))
        return false;
    if (takes_value(name) && !has_value) {
        if (i + 1 >= argc)
            throw UsageError(name + " needs a value");
        value = argv[++i];
    } else if (!takes_value(name) && has_value) {
        throw UsageError(name + " takes no value");
    }
    if (name == "--id") {
        unsigned char id[8];
        parse_id(value, "--id", id);
        o.id = value;
    } else if (name == "--local") {
        parse_ipv4(value, "--local");
        o.local = value;
    } else if (name == "--dest") {
        parse_ipv4(value, "--dest");
        o.dest = value;
    } else if (name == "--bind") {
        parse_ipv4(value, "--bind");
        o.bind = value;
    } else if (name == "--retry") {
        o.retry = static_cast<int>(parse_number(value, "--retry", 1, 255));
    } else if (name == "--timeout") {
        o.timeout = static_cast<int>(parse_number(value, "--timeout", 1, 60000));
    } else if (name == "--window") {
        o.window = static_cast<int>(parse_number(value, "--window", 0, 128));
    } else if (name == "--seconds") {
        o.seconds = parse_seconds(value);
    } else if (name == "--filter") {
        split_filter(value);
        o.filters.push_back(value);
    } else if (name == "--or") {
        o.filter_or = true;
    } else if (name == "--all") {
        o.all = true;
    } else if (name == "--json") {
        o.json = true;
    } else if (name == "-vv") {
        o.verbose += 2;
    } else {  // -v, --verbose
        o.verbose += 1;
    }
    return true;
}

long parse_number(const std::string &text, const std::string &what, long lo, long hi)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        throw UsageError("bad value for " + what + ": '" + text + "' (" + std::to_string(lo) + ".." +
                         std::to_string(hi) + ")");
    return v;
}

void parse_id(const std::string &text, const std::string &what, unsigned char out[8])
{
    unsigned char bytes[8] = {};
    const int n = text.empty() ? 0 : n_util_decode_dot(bytes, text.c_str(), 8);
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c == '.' || std::isdigit(static_cast<unsigned char>(c));
    });
    if (plain && n == 8) {
        std::memcpy(out, bytes, 8);
    } else if (plain && n == 4) {
        std::memset(out, 1, 4);
        std::memcpy(out + 4, bytes, 4);
    } else {
        throw UsageError("bad identifier for " + what + ": '" + text + "' (8 numbers, or a.b.c.d)");
    }
}

uint32_t parse_ipv4(const std::string &text, const std::string &what)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw UsageError("bad IPv4 address for " + what + ": '" + text + "'");
    return a.s_addr;
}

uint16_t parse_port(const std::string &text) { return static_cast<uint16_t>(parse_number(text, "PORT", 1, 65535)); }

void check_type(const std::string &name, const std::string &what)
{
    if (name.size() != 3)
        throw UsageError(what + " is 3 characters: '" + name + "'");
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (!std::isalnum(c) && std::strchr("-/ @", ch) == nullptr)
            throw UsageError(what + " holds letters, digits, '-', '/', ' ' and '@': '" + name + "'");
    }
}

std::string library_error() { return std::string(n_util_strerr(n_errno)) + " (" + std::to_string(n_errno) + ")"; }

int open_node(const NodeOptions &o, uint16_t port, bool bind)
{
    uint32_t addrs[16], bcasts[16];
    const int n = local_interfaces(addrs, bcasts);
    uint32_t local = o.local.empty() ? 0 : parse_ipv4(o.local, "--local");
    uint32_t dest = o.dest.empty() ? 0 : parse_ipv4(o.dest, "--dest");
    if (local != 0 && std::find(addrs, addrs + n, local) == addrs + n)
        throw UsageError("--local " + o.local + " is not an address of this host (see: nimbet interfaces)");
    if (dest != 0)
        require_route(dest);
    // Every address of 127.0.0.0/8 is this host's while it has a loopback
    // interface: nodes on one host can each have one of their own.
    const uint32_t bound = o.bind.empty() ? 0 : parse_ipv4(o.bind, "--bind");
    const bool loopback_here = std::any_of(addrs, addrs + n, is_loopback);
    if (bound != 0 && std::find(addrs, addrs + n, bound) == addrs + n && !(loopback_here && is_loopback(bound)))
        throw UsageError("--bind " + o.bind + " is not an address of this host (see: nimbet interfaces)");

    // The library sends to each interface's broadcast address, but reaches a
    // loopback interface at its own address, which only one socket on the
    // port hears. The loopback network's broadcast address reaches them all.
    if (dest == 0 && n > 0 && std::all_of(addrs, addrs + n, is_loopback)) {
        dest = htonl(0x7fffffffu);
        if (local == 0)
            local = addrs[0];
        if (o.id.empty())
            std::fprintf(stderr, "nimbet: only loopback here: frames go to 127.255.255.255, which every node on "
                                 "this host hears; give each node its own --id\n");
    }
    if (dest != 0 && local == 0)
        local = n > 0 ? addrs[0] : 0;  // the identifier follows the first interface
    if (dest == 0 && local != 0)       // --local alone: that interface's network
        dest = bcasts[std::find(addrs, addrs + n, local) - addrs];

    const int fd = n_socket_open(local, dest, port);
    if (fd < 0)
        throw Failure(kExitFailure, "cannot open a socket: " + library_error());
    if (bound != 0) {
        unsigned char addr[4];
        std::memcpy(addr, &bound, sizeof addr);
        n_socket_set_ipsrc(fd, addr);
    }
    if (!o.id.empty()) {
        unsigned char id[8];
        parse_id(o.id, "--id", id);
        n_socket_set_id(fd, id);
    }
    if (o.retry > 0 || o.timeout > 0)
        n_socket_set_retry(fd, o.retry > 0 ? o.retry : n_socket_get_retry(fd),
                           o.timeout > 0 ? o.timeout : n_socket_get_timeout(fd));
    if (o.window >= 0)
        n_socket_set_transfer_window(fd, o.window);
    if (o.all)
        n_socket_set_option(fd, SOCKET_RECV_ALL, 1);
    if (bind) {
        // Receiving once binds the socket; a socket that sent first would be
        // bound to a temporary port by the system and never hear PORT. The
        // socket stays blocking: the commands wait with bounded receives.
        n_pkt *none = n_socket_recv_timeout(fd, 0, 0);
        if (none != nullptr) {
            n_pkt_free(none);
        } else if (n_errno == N_ENOTBOUND) {
            n_socket_close(fd);
            throw Failure(kExitFailure, bind_failure(port));
        }
    }
    return fd;
}

int build_filter(const NodeOptions &o)
{
    if (o.filters.empty())
        return 0;
    const int chain = n_filter_create("nimbet --filter");
    if (chain < 0)
        throw Failure(kExitFailure, "cannot make a filter: " + library_error());
    try {
        bool first = true;
        for (const std::string &expr : o.filters) {
            const FilterExpr f = split_filter(expr);
            int type = (o.filter_or && !first) ? FILTER_CONCAT_OR : FILTER_CONCAT_AND;
            if (f.negate)
                type |= FILTER_MODE_NOT;
            first = false;
            if (f.key == "id" || f.key == "loc") {
                const bool id = f.key == "id";
                check_pattern(expr, f.value, id ? 8 : 44);
                add_element(chain, type | (id ? FILTER_TYPE_ID : FILTER_TYPE_LOCATION) | FILTER_MODE_WILDCARD,
                            f.value.c_str(), expr);
            } else if (f.key == "acl") {
                check_type(f.value, "the type in --filter " + expr);
                unsigned char code[2];
                n_util_str2acl(f.value.c_str(), code);
                add_element(chain, type | FILTER_TYPE_ACL, code, expr);
            } else if (f.key.rfind("acl@", 0) == 0) {
                const long pos = parse_number(f.key.substr(4), "the position in --filter " + expr, 0, 255);
                check_type(f.value, "the type in --filter " + expr);
                unsigned char arg[3];
                n_util_str2acl(f.value.c_str(), arg);
                arg[2] = static_cast<unsigned char>(pos);
                add_element(chain, type | FILTER_TYPE_ACL_POSITION, arg, expr);
            } else {
                throw UsageError("bad --filter " + expr + ": KEY is id, loc, acl or acl@N");
            }
        }
    } catch (...) {
        n_filter_destroy(chain);
        throw;
    }
    return chain;
}

}  // namespace nimbet_tool
