// SPDX-License-Identifier: MIT
// The gateway's settings: one table of keys drives the file, the environment, the command line, --print-config and --help.
#include "bridge_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <variant>

#ifdef NIMBET_BRIDGE_WITH_TOML
#include <toml++/toml.h>
#endif

#include "bridge_log.h"
#include "bridge_mqtt.h"
#include "node_options.h"

namespace nimbet::bridge {

namespace {

using nimbet_tool::UsageError;

using Field = std::variant<std::string BridgeConfig::*, long BridgeConfig::*, double BridgeConfig::*,
                           bool BridgeConfig::*, std::vector<std::string> BridgeConfig::*>;
using Check = void (*)(const std::string &value, const std::string &what);

struct Key {
    const char *table;   // "" for the top level
    const char *name;
    const char *option;  // on the command line; null when the key has none
    Field field;
    const char *help;
    long lo = 0, hi = 0;   // integers
    Check check = nullptr;  // strings and list items
    bool secret = false;
};

void check_id(const std::string &v, const std::string &what)
{
    unsigned char id[8];
    nimbet_tool::parse_id(v, what, id);
}
void check_ipv4(const std::string &v, const std::string &what) { nimbet_tool::parse_ipv4(v, what); }
void check_level(const std::string &v, const std::string &what)
{
    Level l;
    if (!parse_level(v, l))
        throw UsageError("bad " + what + " '" + v + "': error, warning, notice, info or debug");
}
void check_outbox(const std::string &v, const std::string &what)
{
    if (v != "sqlite" && v != "memory")
        throw UsageError("bad " + what + " '" + v + "': sqlite or memory");
}
void check_not_empty(const std::string &v, const std::string &what)
{
    if (v.empty())
        throw UsageError(what + " must not be empty");
}
void check_prefix(const std::string &v, const std::string &what)
{
    if (v.empty() || v.find_first_of("+#") != std::string::npos || v.back() == '/')
        throw UsageError("bad " + what + " '" + v + "': no '+' or '#', no trailing '/'");
}
void check_metrics(const std::string &v, const std::string &what)
{
    std::string host;
    int port = 0;
    if (!v.empty() && !parse_broker_address(v.find(':') == std::string::npos ? "127.0.0.1:" + v : v, host, port))
        throw UsageError("bad " + what + " '" + v + "': [HOST:]PORT, such as 127.0.0.1:9464");
}

constexpr long kMaxLong = 1L << 40;

const Key kKeys[] = {
    {"", "port", nullptr, &BridgeConfig::port, "the node's UDP port (PORT on the command line)", 1, 65535},
    {"", "id", "--id", &BridgeConfig::id, "this node's identifier: 8 numbers, or a.b.c.d", 0, 0, check_id},
    {"", "local", "--local", &BridgeConfig::local, "an IPv4 address of this host", 0, 0, check_ipv4},
    {"", "dest", "--dest", &BridgeConfig::dest, "send only to this address", 0, 0, check_ipv4},
    {"", "retry", "--retry", &BridgeConfig::retry, "transmissions of an acknowledged frame", 1, 255},
    {"", "timeout", "--timeout", &BridgeConfig::timeout, "milliseconds to wait for each acknowledgement", 1,
     3600000},
    {"", "window", "--window", &BridgeConfig::window, "parts of a transfer in flight at once (0 or 1: one at a time)",
     0, 128},
    {"", "seconds", "--seconds", &BridgeConfig::seconds, "stop after this many seconds (0: never)"},
    {"", "filter", "--filter", &BridgeConfig::filter, "publish only frames that pass (repeatable; ANDed)"},
    {"", "or", "--or", &BridgeConfig::filter_or, "a frame passes when any filter holds"},
    {"", "all", "--all", &BridgeConfig::all, "also frames for other nodes, transfer parts, own frames"},
    {"", "rcvbuf", "--rcvbuf", &BridgeConfig::rcvbuf, "the node socket's receive buffer in bytes", 4096,
     1L << 30},
    {"", "log_level", "--log-level", &BridgeConfig::log_level, "error, warning, notice, info or debug (-q, -v)", 0,
     0, check_level},
    {"", "state_dir", "--state-dir", &BridgeConfig::state_dir, "where the outbox and command ids are kept"},
    {"", "outbox", "--outbox", &BridgeConfig::outbox, "sqlite (kept across restarts) or memory", 0, 0,
     check_outbox},
    {"", "queue", "--queue", &BridgeConfig::queue, "messages kept while the broker is away", 1, 100000000},
    {"", "queue_bytes", "--queue-bytes", &BridgeConfig::queue_bytes, "bytes kept while the broker is away", 1024,
     kMaxLong},
    {"", "command_ids", "--command-ids", &BridgeConfig::command_ids, "command ids remembered (run at most once)", 1,
     10000000},
    {"", "command_id_seconds", "--command-id-seconds", &BridgeConfig::command_id_seconds,
     "seconds a command id is remembered at most", 60, 315360000},
    {"", "command_bytes", "--command-bytes", &BridgeConfig::command_bytes, "the largest command message taken, bytes",
     1024, 256L << 20},
    {"", "command_id_bytes", "--command-id-bytes", &BridgeConfig::command_id_bytes,
     "the longest command id taken (its JSON text), bytes", 8, 65536},
    {"", "command_rate", "--command-rate", &BridgeConfig::command_rate, "commands run a second (as many at once)", 1,
     100000},
    {"", "stats", "--stats", &BridgeConfig::stats, "seconds between P/G/stats messages (0: none)", 0, 86400},
    {"", "file_dir", "--file-dir", &BridgeConfig::file_dir, "commands may send the files below this directory", 0,
     0, check_not_empty},
    {"", "metrics", "--metrics", &BridgeConfig::metrics, "serve Prometheus /metrics on [HOST:]PORT (127.0.0.1)",
     0, 0, check_metrics},
    {"mqtt", "host", nullptr, &BridgeConfig::host, "the broker (--mqtt HOST[:PORT])", 0, 0, check_not_empty},
    {"mqtt", "port", nullptr, &BridgeConfig::mqtt_port, "its port (0: 1883, or 8883 with cafile)", 0, 65535},
    {"mqtt", "username", "--username", &BridgeConfig::username, "user name"},
    {"mqtt", "password", "--password", &BridgeConfig::password, "password (better: password_file or the environment)",
     0, 0, nullptr, true},
    {"mqtt", "password_file", "--password-file", &BridgeConfig::password_file, "a file whose first line is the password"},
    {"mqtt", "cafile", "--cafile", &BridgeConfig::cafile, "CA certificates: TLS, the broker's certificate checked"},
    {"mqtt", "cert", "--cert", &BridgeConfig::cert, "client certificate (with key)"},
    {"mqtt", "key", "--key", &BridgeConfig::key, "client certificate's key", 0, 0, nullptr},
    {"mqtt", "client_id", "--client-id", &BridgeConfig::client_id, "client identifier (nimbet-bridge-<node id>)", 0,
     0, check_not_empty},
    {"mqtt", "topic_prefix", "--topic-prefix", &BridgeConfig::topic_prefix, "first topic level", 0, 0, check_prefix},
    {"mqtt", "qos", "--qos", &BridgeConfig::qos, "quality of service of what is published", 0, 1},
    {"mqtt", "keepalive", "--keepalive", &BridgeConfig::keepalive, "seconds between keep-alive pings", 5, 65535},
    {"mqtt", "attempts", "--attempts", &BridgeConfig::attempts,
     "connections refused for good (password, TLS, host) before giving up", 1, 1000},
    {"mqtt", "session_expiry", "--session-expiry", &BridgeConfig::session_expiry,
     "seconds the broker keeps commands for an absent gateway", 0, 4294967295L},
};

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string env_name(const Key &k)
{
    return "NIMBET_BRIDGE_" + upper(*k.table ? std::string(k.table) + "_" + k.name : std::string(k.name));
}

const Key *key_by(const std::string &table, const std::string &name)
{
    for (const Key &k : kKeys)
        if (table == k.table && name == k.name)
            return &k;
    return nullptr;
}

bool takes_value(const Key &k) { return !std::holds_alternative<bool BridgeConfig::*>(k.field); }

bool parse_bool_text(const std::string &v, bool &out)
{
    if (v == "1" || v == "true" || v == "yes" || v == "on")
        out = true;
    else if (v == "0" || v == "false" || v == "no" || v == "off")
        out = false;
    else
        return false;
    return true;
}

double parse_seconds(const std::string &v, const std::string &what)
{
    char *end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(d >= 0) || d > 86400 * 365)
        throw UsageError("bad " + what + " '" + v + "': a number of seconds, 0 for no limit");
    return d;
}

// Sets a key from text (the environment, the command line). A list takes
// one item, or with `split` a comma-separated list.
void apply_text(BridgeConfig &c, const Key &k, const std::string &v, const std::string &what, bool split)
{
    std::visit(
        [&](auto member) {
            using T = std::remove_cvref_t<decltype(c.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                if (k.check)
                    k.check(v, what);
                c.*member = v;
            } else if constexpr (std::is_same_v<T, long>) {
                c.*member = nimbet_tool::parse_number(v, what, k.lo, k.hi);
            } else if constexpr (std::is_same_v<T, double>) {
                c.*member = parse_seconds(v, what);
            } else if constexpr (std::is_same_v<T, bool>) {
                if (!parse_bool_text(v, c.*member))
                    throw UsageError("bad " + what + " '" + v + "': true or false");
            } else {
                if (!split)
                    return (c.*member).push_back(v);
                std::stringstream in(v);
                for (std::string item; std::getline(in, item, ',');)
                    (c.*member).push_back(item);
            }
        },
        k.field);
}

#ifdef NIMBET_BRIDGE_WITH_TOML
std::string where(const std::string &file, const toml::node &n, const std::string &key)
{
    return file + ":" + std::to_string(n.source().begin.line) + ": " + key;
}

void apply_toml(BridgeConfig &c, const Key &k, const toml::node &n, const std::string &what)
{
    const auto wrong = [&](const char *type) { return UsageError(what + " must be " + type); };
    std::visit(
        [&](auto member) {
            using T = std::remove_cvref_t<decltype(c.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                if (!n.is_string())
                    throw wrong("a string");
                apply_text(c, k, n.as_string()->get(), what, false);
            } else if constexpr (std::is_same_v<T, long>) {
                if (!n.is_integer())
                    throw wrong("an integer");
                const int64_t v = n.as_integer()->get();
                if (v < k.lo || v > k.hi)
                    throw UsageError("bad " + what + " " + std::to_string(v) + ": " + std::to_string(k.lo) + ".." +
                                     std::to_string(k.hi));
                c.*member = static_cast<long>(v);
            } else if constexpr (std::is_same_v<T, double>) {
                if (!n.is_number())
                    throw wrong("a number");
                c.*member = parse_seconds(std::to_string(n.is_integer() ? static_cast<double>(n.as_integer()->get())
                                                                        : n.as_floating_point()->get()),
                                          what);
            } else if constexpr (std::is_same_v<T, bool>) {
                if (!n.is_boolean())
                    throw wrong("true or false");
                c.*member = n.as_boolean()->get();
            } else {
                (c.*member).clear();
                if (n.is_string())
                    return apply_text(c, k, n.as_string()->get(), what, false);
                if (!n.is_array())
                    throw wrong("a string or an array of strings");
                for (const toml::node &item : *n.as_array()) {
                    if (!item.is_string())
                        throw wrong("an array of strings");
                    apply_text(c, k, item.as_string()->get(), what, false);
                }
            }
        },
        k.field);
}

void read_table(BridgeConfig &c, const std::string &file, const toml::table &t, const std::string &table)
{
    for (const auto &[name, node] : t) {
        const std::string key(name.str());
        const std::string full = table.empty() ? key : table + "." + key;
        if (table.empty() && key == "mqtt" && node.is_table()) {
            read_table(c, file, *node.as_table(), "mqtt");
            continue;
        }
        const Key *k = key_by(table, key);
        if (k == nullptr)
            throw UsageError(where(file, node, full) + ": unknown key");
        try {
            apply_toml(c, *k, node, full);
        } catch (const UsageError &e) {
            throw UsageError(file + ":" + std::to_string(node.source().begin.line) + ": " + e.what());
        }
    }
}
#endif

void read_file(BridgeConfig &c, const std::string &file)
{
#ifdef NIMBET_BRIDGE_WITH_TOML
    toml::table t;
    try {
        t = toml::parse_file(file);
    } catch (const toml::parse_error &e) {
        throw UsageError(file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    read_table(c, file, t, "");
    c.file = file;
#else
    (void)c;
    throw UsageError("cannot read " + file + ": this build has no configuration files (it needs toml++)");
#endif
}

std::string home_path(const char *xdg, const char *fallback)
{
    const char *x = std::getenv(xdg);
    if (x != nullptr && *x == '/')
        return x;
    const char *home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/" + fallback : std::string();
}

// The file named, or the first of the search path that exists.
std::string find_file(const std::string &named, bool none)
{
    if (none)
        return "";
    if (!named.empty()) {
        if (access(named.c_str(), R_OK) != 0)
            throw UsageError("cannot read the configuration file " + named + ": " + std::strerror(errno));
        return named;
    }
    const std::string config_home = home_path("XDG_CONFIG_HOME", ".config");
    for (const std::string &f : {std::string("nimbet-bridge.toml"),
                                 config_home.empty() ? std::string() : config_home + "/nimbet/bridge.toml",
                                 std::string("/etc/nimbet/bridge.toml")}) {
        struct stat st{};
        if (!f.empty() && stat(f.c_str(), &st) == 0) {
            if (access(f.c_str(), R_OK) != 0)
                throw UsageError("cannot read the configuration file " + f + ": " + std::strerror(errno));
            return f;
        }
    }
    return "";
}

void read_environment(BridgeConfig &c, char **envp)
{
    for (char **e = envp; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("NIMBET_BRIDGE_", 0) != 0)
            continue;
        const auto eq = entry.find('=');
        const std::string name = entry.substr(0, eq), value = eq == std::string::npos ? "" : entry.substr(eq + 1);
        const Key *found = nullptr;
        for (const Key &k : kKeys)
            if (env_name(k) == name)
                found = &k;
        if (found == nullptr)
            throw UsageError("unknown environment variable " + name);
        if (std::holds_alternative<std::vector<std::string> BridgeConfig::*>(found->field))
            (c.*std::get<std::vector<std::string> BridgeConfig::*>(found->field)).clear();
        apply_text(c, *found, value, name, true);
    }
}

struct Assignment {
    const Key *key;
    std::string value, what;
};

void check_whole(const BridgeConfig &c)
{
    if (c.port == 0)
        throw UsageError("bridge needs PORT (or port in the configuration)");
    if (c.host.empty())
        throw UsageError("bridge needs a broker: --mqtt HOST[:PORT] (or [mqtt] host)");
    if (c.filter_or && c.filter.size() < 2)
        throw UsageError("--or joins two or more --filter expressions");
    if (c.cert.empty() != c.key.empty())
        throw UsageError("cert and key go together");
    if (!c.cert.empty() && c.cafile.empty())
        throw UsageError("a client certificate needs cafile");
    if (!c.password.empty() && !c.password_file.empty())
        throw UsageError("password or password_file, not both");
    if ((!c.password.empty() || !c.password_file.empty()) && c.username.empty())
        throw UsageError("a password needs a username");
    if (!c.file_dir.empty()) {
        struct stat st{};
        if (stat(c.file_dir.c_str(), &st) != 0)
            throw UsageError("file_dir " + c.file_dir + ": " + std::strerror(errno));
        if (!S_ISDIR(st.st_mode))
            throw UsageError("file_dir " + c.file_dir + " is not a directory");
    }
}

// What the command line says, kept until the file and the environment are read.
struct CommandLineSettings {
    std::vector<Assignment> assignments;
    std::string named;     // --config FILE
    bool no_file = false;  // --no-config
    bool print_config = false;
};

// The key an option sets; an unknown option is refused.
const Key &key_of_option(const std::string &name)
{
    const Key *k = nullptr;
    for (const Key &candidate : kKeys)
        if (candidate.option != nullptr && name == candidate.option)
            k = &candidate;
    if (k == nullptr)
        throw UsageError("unknown option " + name);
    return *k;
}

// --mqtt HOST[:PORT] sets the broker's host, and its port when one is given.
void add_broker(const std::string &value, const std::string &name, std::vector<Assignment> &assignments)
{
    std::string host;
    int port = 0;
    if (!parse_broker_address(value, host, port))
        throw UsageError("bad --mqtt '" + value + "': HOST[:PORT], [IPv6]:PORT");
    assignments.push_back({key_by("mqtt", "host"), host, name});
    const bool has_port =
        value[0] == '[' ? value.find("]:") != std::string::npos : value.find(':') != std::string::npos;
    if (has_port)
        assignments.push_back({key_by("mqtt", "port"), std::to_string(port), name});
}

// Reads the options and PORT; nothing is set before the file and the
// environment are read.
CommandLineSettings read_command_line(int argc, char **argv)
{
    CommandLineSettings cl;
    bool options_end = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string name, value;
        bool has_value = false;
        if (options_end || !nimbet_tool::split_option(a, name, value, has_value)) {
            args.push_back(a);
            continue;
        }
        const auto take = [&] {
            if (!has_value) {
                if (i + 1 >= argc)
                    throw UsageError(name + " needs a value");
                value = argv[++i];
            }
            return value;
        };
        if (name == "--") {
            options_end = true;
        } else if (name == "--config") {
            cl.named = take();
            if (cl.named.empty())
                throw UsageError("--config needs a file name");
        } else if (name == "--no-config") {
            cl.no_file = true;
        } else if (name == "--print-config") {
            cl.print_config = true;
        } else if (name == "-v" || name == "--verbose" || name == "-q" || name == "--quiet") {
            cl.assignments.push_back(
                {key_by("", "log_level"), name[1] == 'v' || name == "--verbose" ? "debug" : "warning", name});
        } else if (name == "--mqtt") {
            add_broker(take(), name, cl.assignments);
        } else {
            const Key &k = key_of_option(name);
            if (!takes_value(k) && has_value)
                throw UsageError(name + " takes no value");
            cl.assignments.push_back({&k, takes_value(k) ? take() : "true", name});
        }
    }
    if (args.size() > 1)
        throw UsageError("unexpected argument '" + args[1] + "'");
    if (args.size() == 1)
        cl.assignments.push_back({key_by("", "port"), args[0], "PORT"});
    return cl;
}

// Sets what the command line gives over the file and the environment: a
// list given there replaces theirs.
void apply_command_line(BridgeConfig &c, const std::vector<Assignment> &assignments)
{
    std::set<const Key *> replaced;
    for (const Assignment &a : assignments) {
        if (std::holds_alternative<std::vector<std::string> BridgeConfig::*>(a.key->field) &&
            replaced.insert(a.key).second)
            (c.*std::get<std::vector<std::string> BridgeConfig::*>(a.key->field)).clear();
        apply_text(c, *a.key, a.value, a.what, false);
    }
}

// systemd's LoadCredential= leaves files in $CREDENTIALS_DIRECTORY that the
// service's own user can read, a dynamic one too, whoever owns the
// originals. A credential named after a key fills that key when nothing
// else set it.
void apply_credentials(BridgeConfig &c)
{
    const char *dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || *dir == '\0')
        return;
    const std::pair<const char *, std::string BridgeConfig::*> credentials[] = {
        {"mqtt_password", &BridgeConfig::password_file},
        {"mqtt_cafile", &BridgeConfig::cafile},
        {"mqtt_cert", &BridgeConfig::cert},
        {"mqtt_key", &BridgeConfig::key}};
    for (const auto &[name, field] : credentials) {
        const std::string path = std::string(dir) + "/" + name;
        if (!(c.*field).empty() || access(path.c_str(), F_OK) != 0)
            continue;
        if (field == &BridgeConfig::password_file && !c.password.empty())
            continue;
        c.*field = path;
    }
}

}  // namespace

std::vector<std::string> changed_keys(const BridgeConfig &a, const BridgeConfig &b)
{
    std::vector<std::string> out;
    for (const Key &k : kKeys) {
        const bool same = std::visit([&](auto member) { return a.*member == b.*member; }, k.field);
        if (!same)
            out.push_back(*k.table ? std::string(k.table) + "." + k.name : std::string(k.name));
    }
    return out;
}

void copy_setting(BridgeConfig &to, const BridgeConfig &from, const std::string &key)
{
    for (const Key &k : kKeys)
        if (key == (*k.table ? std::string(k.table) + "." + k.name : std::string(k.name)))
            std::visit([&](auto member) { to.*member = from.*member; }, k.field);
}

Invocation load_config(int argc, char **argv, char **envp)
{
    const CommandLineSettings cl = read_command_line(argc, argv);
    Invocation inv;
    inv.print_config = cl.print_config;
    BridgeConfig &c = inv.config;
    const std::string file = find_file(cl.named, cl.no_file);
    if (!file.empty())
        read_file(c, file);
    read_environment(c, envp);
    apply_command_line(c, cl.assignments);
    apply_credentials(c);
    check_whole(c);
    c.state_dir = state_dir_of(c);
    return inv;
}

std::string config_text(const BridgeConfig &c)
{
    std::ostringstream out;
    out << "# nimbet bridge: the effective settings (" << (c.file.empty() ? "no configuration file" : c.file)
        << ", then the environment and the command line)\n";
    const auto quote = [](const std::string &s) {
        std::string q = "\"";
        for (const char ch : s) {
            if (ch == '"' || ch == '\\')
                q += '\\';
            if (static_cast<unsigned char>(ch) < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", ch);
                q += esc;
                continue;
            }
            q += ch;
        }
        return q + "\"";
    };
    for (const char *table : {"", "mqtt"}) {
        if (*table)
            out << "\n[" << table << "]\n";
        for (const Key &k : kKeys) {
            if (std::strcmp(k.table, table) != 0)
                continue;
            // A string left empty (unset) shows as a comment, so that the
            // text reads back as the same settings.
            const auto *text = std::get_if<std::string BridgeConfig::*>(&k.field);
            out << (text != nullptr && (c.**text).empty() ? "# " : "") << k.name << " = ";
            std::visit(
                [&](auto member) {
                    using T = std::remove_cvref_t<decltype(c.*member)>;
                    const T &v = c.*member;
                    if constexpr (std::is_same_v<T, std::string>)
                        out << quote(k.secret && !v.empty() ? "********" : v);
                    else if constexpr (std::is_same_v<T, bool>)
                        out << (v ? "true" : "false");
                    else if constexpr (std::is_same_v<T, double>)
                        out << (v == static_cast<double>(static_cast<long>(v)) ? std::to_string(static_cast<long>(v))
                                                                                 : std::to_string(v));
                    else if constexpr (std::is_same_v<T, long>)
                        out << v;
                    else {
                        out << "[";
                        for (std::size_t i = 0; i < v.size(); ++i)
                            out << (i ? ", " : "") << quote(v[i]);
                        out << "]";
                    }
                },
                k.field);
            out << "\n";
        }
    }
    return out.str();
}

std::string state_dir_of(const BridgeConfig &c)
{
    if (!c.state_dir.empty())
        return c.state_dir;
    // systemd's StateDirectory= names the directory here; several are
    // separated by ':', the first is ours.
    const char *sd = std::getenv("STATE_DIRECTORY");
    if (sd != nullptr && *sd != '\0') {
        const std::string dirs = sd;
        return dirs.substr(0, dirs.find(':'));
    }
    const std::string base = home_path("XDG_STATE_HOME", ".local/state");
    return base.empty() ? std::string() : base + "/nimbet";
}

std::string config_help()
{
    std::ostringstream out;
    for (const char *table : {"", "mqtt"}) {
        out << (*table ? "\n[mqtt] keys (NIMBET_BRIDGE_MQTT_KEY):\n" : "keys (NIMBET_BRIDGE_KEY):\n");
        for (const Key &k : kKeys) {
            if (std::strcmp(k.table, table) != 0)
                continue;
            char line[160];
            std::snprintf(line, sizeof line, "  %-15s %-17s %s\n", k.name, k.option != nullptr ? k.option : "",
                          k.help);
            out << line;
        }
    }
    return out.str();
}

}  // namespace nimbet::bridge
