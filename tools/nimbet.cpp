// nimbet: a command-line tool for trying a network of nodes: listen, send frames, move files.
//
// Every command opens one library socket. Unless --local/--dest say
// otherwise, that socket broadcasts on every local interface: run the tool
// only on a network where that is welcome. Every loop ends by itself after
// --seconds (or its own bounded retries).
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#ifdef NIMBET_WITH_BRIDGE
#include "bridge.h"
#endif

namespace {

const char kUsage[] =
    "usage: nimbet COMMAND [ARGS] [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  interfaces                     list local interfaces and the addresses frames go to\n"
    "  describe PORT                  open a socket with the options below and print its settings\n"
    "  listen PORT                    receive frames, print one line each, acknowledge requests\n"
    "  send PORT TYPE TEXT            send one frame with a tuple of type TYPE holding TEXT\n"
    "  send-file PORT FILE --to ID    send a file as a fragmented, acknowledged transfer\n"
    "  recv-file PORT OUTFILE         receive one fragmented transfer and write it to OUTFILE\n"
    "  bridge PORT ...                gateway to an MQTT broker (options: nimbet bridge --help)\n"
    "\n"
    "options:\n"
    "  --id ID          this node's identifier (8 numbers, or a.b.c.d for 1.1.1.1.a.b.c.d)\n"
    "  --local A        local IPv4 address (names the node when --id is not given)\n"
    "  --dest B         send only to B instead of every interface (on one host, use\n"
    "                   127.255.255.255 so that every node on the port hears the frames)\n"
    "  --to ID          address the frame or file to node ID\n"
    "  --acked          send: wait for the addressed node's acknowledgement (needs --to)\n"
    "  --from ID        recv-file: accept the transfer of node ID only\n"
    "  --type T         send-file: 3-letter type of the data tuples (default fil)\n"
    "  --count N        listen: stop after N frames\n"
    "  --seconds S      stop after S seconds (listen 30, send-file/recv-file 60)\n"
    "  --retry N --timeout MS   transmissions and wait of acknowledged sending\n"
    "  --all            listen: also show frames addressed to other nodes\n"
    "  --verbose        print the library's full description of each frame\n";

struct Options {
    std::vector<std::string> args;  // command and positional arguments
    std::string id, local, dest, to, from, type = "fil";
    long count = -1;
    double seconds = -1;
    int retry = -1, timeout = -1;
    bool acked = false, all = false, verbose = false;
};

[[noreturn]] void usage_error(const std::string &what)
{
    std::fprintf(stderr, "nimbet: %s\n\n%s", what.c_str(), kUsage);
    std::exit(2);
}

// Prints a failure with the library's error text; returns the exit status 1.
int failed(const std::string &what)
{
    std::fprintf(stderr, "nimbet: %s: %s (%d)\n", what.c_str(), n_util_strerr(n_errno), n_errno);
    return 1;
}

long number(const std::string &text, const char *option, long lo, long hi)
{
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi)
        usage_error(std::string("bad value for ") + option + ": " + text);
    return v;
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--id") o.id = value();
        else if (a == "--local") o.local = value();
        else if (a == "--dest") o.dest = value();
        else if (a == "--to") o.to = value();
        else if (a == "--from") o.from = value();
        else if (a == "--type") o.type = value();
        else if (a == "--count") o.count = number(value(), "--count", 1, 1000000000);
        else if (a == "--seconds") o.seconds = static_cast<double>(number(value(), "--seconds", 1, 86400));
        else if (a == "--retry") o.retry = static_cast<int>(number(value(), "--retry", 0, 255));
        else if (a == "--timeout") o.timeout = static_cast<int>(number(value(), "--timeout", 1, 60000));
        else if (a == "--acked") o.acked = true;
        else if (a == "--all") o.all = true;
        else if (a == "--verbose") o.verbose = true;
        else if (a == "-h" || a == "--help") { std::fputs(kUsage, stdout); std::exit(0); }
        else if (a.size() > 1 && a[0] == '-' && a[1] == '-') usage_error("unknown option " + a);
        else o.args.push_back(a);
    }
    return o;
}

// Identifier text: 8 dotted numbers, or a.b.c.d standing for 1.1.1.1.a.b.c.d.
void parse_id(const std::string &text, const char *option, unsigned char out[8])
{
    unsigned char bytes[8] = {};
    const int n = n_util_decode_dot(bytes, text.c_str(), 8);
    if (n == 8) {
        std::memcpy(out, bytes, 8);
    } else if (n == 4) {
        std::memset(out, 1, 4);
        std::memcpy(out + 4, bytes, 4);
    } else {
        usage_error(std::string("bad identifier for ") + option + ": " + text);
    }
}

// A type name is 3 characters of the type alphabet (letters, digits, "-/ @").
void check_type(const std::string &name)
{
    if (name.size() != 3)
        usage_error("a type is 3 characters: " + name);
    for (unsigned char c : name)
        if (!std::isalnum(c) && std::strchr("-/ @", c) == nullptr)
            usage_error("a type holds letters, digits, '-', '/', ' ' and '@': " + name);
}

uint32_t parse_addr(const std::string &text, const char *option)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        usage_error(std::string("bad IPv4 address for ") + option + ": " + text);
    return a.s_addr;
}

uint16_t parse_port(const Options &o)
{
    if (o.args.size() < 2)
        usage_error(o.args[0] + " needs a PORT");
    return static_cast<uint16_t>(number(o.args[1], "PORT", 1, 65535));
}

std::string id_text(const unsigned char *id)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u.%u.%u.%u.%u", id[0], id[1], id[2], id[3], id[4], id[5], id[6],
                  id[7]);
    return buf;
}

// Opens the node's socket with the command line's settings. With `bind`, the
// socket receives once (without blocking) so that it is bound on PORT before
// its first send; a socket that sends first is bound to a temporary port by
// the system and can then never receive on PORT. Returns the descriptor or -1.
int open_node(const Options &o, uint16_t port, bool bind)
{
    uint32_t local = o.local.empty() ? 0 : parse_addr(o.local, "--local");
    const uint32_t dest = o.dest.empty() ? 0 : parse_addr(o.dest, "--dest");
    if (dest != 0 && local == 0)
        n_util_get_local_addresses(&local, nullptr);  // the identifier follows the first interface
    const int fd = n_socket_open(local, dest, port);
    if (fd < 0) {
        failed("cannot open a socket");
        return -1;
    }
    if (!o.id.empty()) {
        unsigned char id[8];
        parse_id(o.id, "--id", id);
        n_socket_set_id(fd, id);
    }
    if (o.retry >= 0 || o.timeout >= 0)
        n_socket_set_retry(fd, o.retry >= 0 ? o.retry : n_socket_get_retry(fd),
                           o.timeout >= 0 ? o.timeout : n_socket_get_timeout(fd));
    if (bind) {
        // Every loop here waits in n_socket_select and then receives without
        // blocking, so that it ends on time.
        n_socket_set_option(fd, SOCKET_BLOCKING, 0);
        n_pkt *none = n_socket_recv(fd, 0);
        if (none != nullptr)
            n_pkt_free(none);
        else if (n_errno == 226) {
            failed("cannot bind port " + std::to_string(port));
            n_socket_close(fd);
            return -1;
        }
    }
    return fd;
}

// A deadline in the library's millisecond clock (unsigned 32-bit arithmetic).
struct Deadline {
    uint32_t start = n_util_getmstime();
    uint32_t limit_ms;
    explicit Deadline(double seconds) : limit_ms(static_cast<uint32_t>(seconds * 1000)) {}
    uint32_t elapsed() const { return n_util_getmstime() - start; }
    bool passed() const { return elapsed() >= limit_ms; }
    uint32_t left() const { return passed() ? 0 : limit_ms - elapsed(); }
};

// Receives everything waiting on the non-blocking socket, hands each packet
// to on_packet (which must not keep it), then waits up to `wait_ms` for the
// next datagram. Fragments, acknowledgements and timers are served inside the
// library's receive.
void pump(int fd, uint32_t wait_ms, const std::function<void(n_pkt *)> &on_packet)
{
    for (int reads = 0; reads < 1000; ++reads) {
        n_pkt *pkt = n_socket_recv(fd, fd);
        if (pkt != nullptr) {
            on_packet(pkt);
            n_pkt_free(pkt);
        } else if (n_errno == 11) {
            break;  // nothing (more) for us right now
        }           // else a fragment was consumed or a datagram was refused: read on
    }
    timeval tv{static_cast<time_t>(wait_ms / 1000), static_cast<suseconds_t>(wait_ms % 1000) * 1000};
    n_socket_select(fd, &tv);
}

// One tuple as text: identifiers dotted, control tuples decoded, printable
// data quoted, anything else in hex.
std::string tuple_text(n_acl *t)
{
    char name[4];
    n_acl_get_type_str(t, name);
    unsigned char *d = nullptr;
    const unsigned len = n_acl_get_data(t, &d);
    std::string s = name;
    if (std::strcmp(name, "cad") == 0 && len == 8)
        return s + " " + id_text(d);
    if (std::strcmp(name, "cac") == 0 && len >= 2) {
        static const char *const kKinds[] = {"single", "fragment", "last fragment"};
        const unsigned kind = d[0] >> 1;
        return s + " " + ((d[0] & 1) ? "ack of " : "request, ") + (kind < 3 ? kKinds[kind] : "invalid") +
               " #" + std::to_string(d[1]);
    }
    if (len == 0)
        return s;
    bool printable = true;
    for (unsigned i = 0; i < len; ++i)
        printable = printable && std::isprint(d[i]);
    if (printable)
        return s + " \"" + std::string(reinterpret_cast<char *>(d), len) + "\"";
    s += " [" + std::to_string(len) + "]";
    for (unsigned i = 0; i < len && i < 16; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", d[i]);
        s += hex;
    }
    return len > 16 ? s + " ..." : s;
}

void print_frame(n_pkt *pkt, uint32_t ms, bool verbose)
{
    std::string line;
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t))
        line += (line.empty() ? "" : " | ") + tuple_text(t);
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &pkt->from.sin_addr, from, sizeof from);
    std::printf("%6.3fs  %s from %s seq %d: %s%s\n", ms / 1000.0, id_text(pkt->srcid).c_str(), from,
                n_pkt_get_seq(pkt), line.c_str(), n_pkt_get_ack(pkt) == 1 ? "  (acknowledged)" : "");
    if (verbose)
        n_describe_pkt(pkt);
    std::fflush(stdout);
}

int cmd_interfaces()
{
    uint32_t addrs[32], bcasts[32];
    const int n = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
    if (n < 0)
        return failed("interface discovery");
    for (int i = 0; i < n; ++i) {
        char a[INET_ADDRSTRLEN], b[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &addrs[i], a, sizeof a);
        inet_ntop(AF_INET, &bcasts[i], b, sizeof b);
        std::printf("%-15s  frames go to %s\n", a, b);
    }
    return 0;
}

int cmd_describe(const Options &o)
{
    const int fd = open_node(o, parse_port(o), false);
    if (fd < 0)
        return 1;
    n_describe_socket(fd);
    n_socket_close(fd);
    return 0;
}

int cmd_listen(const Options &o)
{
    const uint16_t port = parse_port(o);
    const int fd = open_node(o, port, true);
    if (fd < 0)
        return 1;
    n_socket_set_option(fd, SOCKET_AUTOACK, 1);
    if (o.all)
        n_socket_set_option(fd, SOCKET_RECV_ALL, 1);
    std::printf("listening on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());
    std::fflush(stdout);
    const Deadline deadline(o.seconds > 0 ? o.seconds : 30);
    long frames = 0;
    while (!deadline.passed() && (o.count < 0 || frames < o.count))
        pump(fd, std::min<uint32_t>(deadline.left(), 100), [&](n_pkt *pkt) {
            if (o.count < 0 || frames < o.count) {  // frames beyond the count are dropped
                ++frames;
                print_frame(pkt, deadline.elapsed(), o.verbose);
            }
        });
    std::printf("%ld frame%s in %.1fs\n", frames, frames == 1 ? "" : "s", deadline.elapsed() / 1000.0);
    n_socket_close(fd);
    return o.count < 0 || frames >= o.count ? 0 : 1;
}

int cmd_send(const Options &o)
{
    if (o.args.size() != 4)
        usage_error("send needs PORT TYPE TEXT");
    const std::string &type = o.args[2], &text = o.args[3];
    check_type(type);
    unsigned char dest[8];
    if (!o.to.empty())
        parse_id(o.to, "--to", dest);
    else if (o.acked)
        usage_error("--acked needs --to");
    // A frame holds 64 bytes of tuples: ours (3 + text), "CAD" (11) when
    // addressed, "CAC" (5) when acknowledged.
    const std::size_t room = PACKET_ACL_MAX - 3 - (o.to.empty() ? 0 : 11) - (o.acked ? 5 : 0);
    if (text.size() > room)
        usage_error("TEXT too long: this frame has room for " + std::to_string(room) + " bytes");

    const int fd = open_node(o, parse_port(o), true);
    if (fd < 0)
        return 1;
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add_str(pkt, type.c_str(), reinterpret_cast<const unsigned char *>(text.data()),
                  static_cast<uint16_t>(text.size()), 0);
    const uint32_t t0 = n_util_getmstime();
    int r;
    if (o.acked)
        r = n_socket_send_acked(fd, fd, pkt, dest);
    else if (!o.to.empty())
        r = n_socket_send_addressed(fd, pkt, dest);
    else
        r = n_socket_send(fd, pkt);
    const uint32_t ms = n_util_getmstime() - t0;
    int status = 0;
    if (r < 0 && o.acked)
        status = failed("not acknowledged by " + id_text(dest) + " after " + std::to_string(ms) + " ms");
    else if (r < 0)
        status = failed("send");
    else if (o.acked)
        std::printf("sent %s seq %d, acknowledged by %s after %u ms\n", type.c_str(), n_pkt_get_seq(pkt),
                    id_text(dest).c_str(), ms);
    else
        std::printf("sent %s seq %d to %s\n", type.c_str(), n_pkt_get_seq(pkt),
                    o.to.empty() ? "everybody" : id_text(dest).c_str());
    n_pkt_free(pkt);
    n_socket_close(fd);
    return status;
}

int cmd_send_file(const Options &o)
{
    if (o.args.size() != 3 || o.to.empty())
        usage_error("send-file needs PORT FILE --to ID");
    check_type(o.type);
    unsigned char dest[8], type[2];
    parse_id(o.to, "--to", dest);
    n_util_str2acl(o.type.c_str(), type);
    const int fd = open_node(o, parse_port(o), true);
    if (fd < 0)
        return 1;
    // A transfer whose first part could not go out stays registered, and the
    // receive loop below sends that part again.
    if (n_socket_send_file(fd, fd, o.args[2].c_str(), dest, type) < 0) {
        const int err = n_errno;
        if (n_frag_get_frag(dest) == nullptr) {
            n_errno = err;
            const int status = failed("cannot send " + o.args[2]);
            n_socket_close(fd);
            return status;
        }
    }
    const Deadline deadline(o.seconds > 0 ? o.seconds : 60);
    int state = FRAG_ACTIVE;
    while (state == FRAG_ACTIVE && !deadline.passed()) {
        pump(fd, std::min<uint32_t>(deadline.left(), 20), [](n_pkt *) {});
        state = n_frag_get_status(dest, FRAG_STATE_MASK);
    }
    const int bytes = n_frag_get_data_length(dest);
    const double s = deadline.elapsed() / 1000.0;
    int status = 0;
    if (state == FRAG_FINISHED) {
        std::printf("sent %d bytes in %d parts to %s in %.2fs (%.1f KiB/s)\n", bytes,
                    bytes == 0 ? 1 : (bytes + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE, id_text(dest).c_str(), s, bytes / 1024.0 / (s > 0 ? s : 1e-3));
    } else {
        std::fprintf(stderr, "nimbet: transfer to %s %s after %.2fs\n", id_text(dest).c_str(),
                     state == FRAG_ABORTED ? "aborted (no acknowledgement)" : "timed out", s);
        status = 1;
    }
    if (o.verbose)
        n_describe_frag(dest);
    n_frag_abort(dest);  // stops an unfinished transfer, so that it can be removed
    n_frag_delete(dest);
    n_socket_close(fd);
    return status;
}

// A transfer addressed to this node: a fragment request whose source has a
// receiving fragmentation now.
bool is_incoming_transfer(n_pkt *pkt)
{
    n_acl *cac = nullptr;
    return n_acl_findfirst_str(pkt, "CAC", &cac) >= 0 && cac->len >= 2 && (cac->data[0] & 1) == 0 &&
           (cac->data[0] >> 1) != 0 && n_frag_get_status(pkt->srcid, FRAG_RECEIVING) == FRAG_RECEIVING;
}

int cmd_recv_file(const Options &o)
{
    if (o.args.size() != 3)
        usage_error("recv-file needs PORT OUTFILE");
    const uint16_t port = parse_port(o);
    unsigned char from[8];
    bool known = !o.from.empty();
    if (known)
        parse_id(o.from, "--from", from);
    const int fd = open_node(o, port, true);
    if (fd < 0)
        return 1;
    n_socket_set_option(fd, SOCKET_FRAG, 1);
    // Without --from the sender is learnt from the first fragment, which the
    // socket hands out only with SOCKET_RECV_ALL.
    if (!known)
        n_socket_set_option(fd, SOCKET_RECV_ALL, 1);
    std::printf("waiting for a file on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());
    std::fflush(stdout);

    const Deadline deadline(o.seconds > 0 ? o.seconds : 60);
    int state = -1;
    while (state != FRAG_FINISHED && state != FRAG_ABORTED && !deadline.passed()) {
        pump(fd, std::min<uint32_t>(deadline.left(), 20), [&](n_pkt *pkt) {
            if (!known && is_incoming_transfer(pkt)) {
                std::memcpy(from, pkt->srcid, 8);
                known = true;
            }
        });
        if (known)
            state = n_frag_get_status(from, FRAG_STATE_MASK);
    }
    int status = 0;
    if (state == FRAG_FINISHED) {
        // Fetch the data before the receive timer releases it.
        const int bytes = n_frag_get_data_file(from, o.args[2].c_str());
        if (bytes < 0) {
            status = failed("cannot write " + o.args[2]);
        } else {
            std::printf("received %d bytes from %s into %s after %.2fs\n", bytes, id_text(from).c_str(),
                        o.args[2].c_str(), deadline.elapsed() / 1000.0);
        }
        // Stay a moment to acknowledge the last part again should the
        // sender not have heard its acknowledgement.
        const Deadline linger(2 * n_socket_get_timeout(fd) / 1000.0);
        while (!linger.passed())
            pump(fd, std::min<uint32_t>(linger.left(), 20), [](n_pkt *) {});
    } else {
        std::fprintf(stderr, "nimbet: no complete file: %s\n",
                     state == FRAG_ABORTED ? "the transfer was aborted" : "timed out");
        status = 1;
    }
    if (known) {
        if (o.verbose)
            n_describe_frag(from);
        n_frag_abort(from);
        n_frag_delete(from);
    }
    n_socket_close(fd);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    // The gateway has options of its own.
    if (argc > 1 && std::strcmp(argv[1], "bridge") == 0) {
        std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
#ifdef NIMBET_WITH_BRIDGE
        return nimbet::bridge::run(argc - 1, argv + 1);
#else
        std::fprintf(stderr, "nimbet: this build has no bridge (it needs libmosquitto and nlohmann/json)\n");
        return 1;
#endif
    }
    const Options o = parse_options(argc, argv);
    // The library starts a socket's frame and acknowledgement counters from
    // rand() and leaves seeding to the application. Unseeded, every run would
    // number its frames alike, and a node would take the acknowledged frame
    // of a second run for a repeat of the first and not deliver it.
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
    if (o.args.empty())
        usage_error("no command");
    const std::string &cmd = o.args[0];
    if (cmd == "interfaces") return cmd_interfaces();
    if (cmd == "describe") return cmd_describe(o);
    if (cmd == "listen") return cmd_listen(o);
    if (cmd == "send") return cmd_send(o);
    if (cmd == "send-file") return cmd_send_file(o);
    if (cmd == "recv-file") return cmd_recv_file(o);
    usage_error("unknown command " + cmd);
}
