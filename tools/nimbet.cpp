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

#include "frame_json.h"
#include "node_options.h"
#include "nimbet/nimbet.h"

using namespace nimbet_tool;

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
    NodeOptions node;
    std::vector<std::string> args;  // command and positional arguments
    std::string to, from, type = "fil";
    long count = -1;
    bool acked = false;
};

[[noreturn]] void usage_error(const std::string &what) { throw UsageError(what); }

// Prints a failure with the library's error text; returns the exit status 1.
int failed(const std::string &what)
{
    std::fprintf(stderr, "nimbet: %s: %s\n", what.c_str(), library_error().c_str());
    return 1;
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (take_node_option(o.node, argc, argv, i))
            continue;
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--to") o.to = value();
        else if (a == "--from") o.from = value();
        else if (a == "--type") o.type = value();
        else if (a == "--count") o.count = parse_number(value(), "--count", 1, 1000000000);
        else if (a == "--acked") o.acked = true;
        else if (a == "-h" || a == "--help") { std::fputs(kUsage, stdout); std::exit(0); }
        else if (a.size() > 1 && a[0] == '-' && a[1] == '-') usage_error("unknown option " + a);
        else o.args.push_back(a);
    }
    return o;
}

uint16_t port_of(const Options &o)
{
    if (o.args.size() < 2)
        usage_error(o.args[0] + " needs a PORT");
    return parse_port(o.args[1]);
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
        } else if (n_errno == N_EAGAIN) {
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
    const int fd = open_node(o.node, port_of(o), false);
    n_describe_socket(fd);
    n_socket_close(fd);
    return 0;
}

int cmd_listen(const Options &o)
{
    const uint16_t port = port_of(o);
    const int fd = open_node(o.node, port, true);
    n_socket_set_option(fd, SOCKET_AUTOACK, 1);
    const int filter = build_filter(o.node);
    if (!o.node.json) {
        std::printf("listening on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());
        std::fflush(stdout);
    }
    const Deadline deadline(o.node.seconds > 0 ? o.node.seconds : 30);
    long frames = 0;
    while (!deadline.passed() && (o.count < 0 || frames < o.count))
        pump(fd, std::min<uint32_t>(deadline.left(), 100), [&](n_pkt *pkt) {
            if (filter != 0 && n_filter_apply(filter, pkt) != 1)
                return;
            if (o.count < 0 || frames < o.count) {  // frames beyond the count are dropped
                ++frames;
                if (o.node.json) {
                    std::printf("%s\n", frame_json(pkt, wall_time()).c_str());
                    std::fflush(stdout);
                } else {
                    print_frame(pkt, deadline.elapsed(), o.node.verbose > 1);
                }
            }
        });
    if (o.node.json)
        std::printf("%s\n", json_event("summary").num("frames", frames).real("seconds", deadline.elapsed() / 1000.0).text().c_str());
    else
        std::printf("%ld frame%s in %.1fs\n", frames, frames == 1 ? "" : "s", deadline.elapsed() / 1000.0);
    if (filter != 0)
        n_filter_destroy(filter);
    n_socket_close(fd);
    return o.count < 0 || frames >= o.count ? 0 : 1;
}

int cmd_send(const Options &o)
{
    if (o.args.size() != 4)
        usage_error("send needs PORT TYPE TEXT");
    const std::string &type = o.args[2], &text = o.args[3];
    check_type(type, "TYPE");
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

    const int fd = open_node(o.node, port_of(o), true);
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
    check_type(o.type, "--type");
    unsigned char dest[8], type[2];
    parse_id(o.to, "--to", dest);
    n_util_str2acl(o.type.c_str(), type);
    const int fd = open_node(o.node, port_of(o), true);
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
    const Deadline deadline(o.node.seconds > 0 ? o.node.seconds : 60);
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
    if (o.node.verbose)
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
    const uint16_t port = port_of(o);
    unsigned char from[8];
    bool known = !o.from.empty();
    if (known)
        parse_id(o.from, "--from", from);
    const int fd = open_node(o.node, port, true);
    n_socket_set_option(fd, SOCKET_FRAG, 1);
    // Without --from the sender is learnt from the first fragment, which the
    // socket hands out only with SOCKET_RECV_ALL.
    if (!known)
        n_socket_set_option(fd, SOCKET_RECV_ALL, 1);
    std::printf("waiting for a file on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());
    std::fflush(stdout);

    const Deadline deadline(o.node.seconds > 0 ? o.node.seconds : 60);
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
        if (o.node.verbose)
            n_describe_frag(from);
        n_frag_abort(from);
        n_frag_delete(from);
    }
    n_socket_close(fd);
    return status;
}

}  // namespace

int run(int argc, char **argv)
{
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

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "nimbet: %s\nTry 'nimbet --help'.\n", e.what());
        return kExitUsage;
    } catch (const Failure &e) {
        std::fprintf(stderr, "nimbet: %s\n", e.what());
        return e.status;
    }
}
