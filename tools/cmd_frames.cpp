// SPDX-License-Identifier: MIT
// The nimbet commands about single frames: interfaces, describe, listen, send.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "commands.h"
#include "pcap.h"

namespace nimbet_tool {

namespace {

// One tuple as text: identifiers dotted, control tuples decoded, text
// (printable UTF-8) quoted, anything else in hex.
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
        const unsigned kind = d[0] >> 1U;
        return s + " " + ((d[0] & 1U) ? "ack of " : "request, ") + (kind < 3 ? kKinds[kind] : "invalid") + " #" +
               std::to_string(d[1]);
    }
    if (len == 0)
        return s;
    if (is_text(d, len))
        return s + " \"" + std::string(reinterpret_cast<char *>(d), len) + "\"";
    s += " [" + std::to_string(len) + "]";
    for (unsigned i = 0; i < len && i < 16; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", d[i]);
        s += hex;
    }
    return len > 16 ? s + " ..." : s;
}

void print_frame(std::FILE *out, n_pkt *pkt, double seconds)
{
    std::string line;
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t))
        line += (line.empty() ? "" : " | ") + tuple_text(t);
    std::fprintf(out, "%6.3fs  %s from %s seq %d: %s%s\n", seconds, id_text(pkt->srcid).c_str(),
                 address_text(pkt->from).c_str(), n_pkt_get_seq(pkt), line.c_str(),
                 n_pkt_get_ack(pkt) == 1 ? "  (acknowledged)" : "");
    std::fflush(out);
}

// The --pcap capture of listen (null without one), opened before the socket.
std::unique_ptr<PcapWriter> open_capture(const CommandLine &c)
{
    std::unique_ptr<PcapWriter> pcap;
    if (c.pcap.empty()) {
        if (c.no_clobber)
            throw UsageError("--no-clobber concerns --pcap FILE, which is not given");
        return pcap;
    }
    const bool exists = c.pcap != "-" && check_output(c.pcap, c.no_clobber);
    std::string error;
    pcap.reset(PcapWriter::open(c.pcap, c.no_clobber, &error));
    if (!pcap)
        throw Failure(kExitFailure, error);
    if (exists)
        std::fprintf(stderr, "nimbet: overwriting %s\n", c.pcap.c_str());
    return pcap;
}

// Prints the frames that pass the filter (to `out`, or as JSON) until the
// deadline, --count or Ctrl-C; returns how many.
long print_frames(const CommandLine &c, int fd, int filter_id, std::FILE *out, const Deadline &deadline)
{
    long frames = 0;
    while (!deadline.passed() && !interrupted() && (c.count < 0 || frames < c.count))
        pump(fd, std::min<uint32_t>(deadline.left(), 100), [&](n_pkt *pkt) {
            if (filter_id > 0 && n_filter_apply(filter_id, pkt) != 1)
                return;
            if (c.count >= 0 && frames >= c.count)
                return;  // frames beyond the count are dropped
            ++frames;
            if (c.node.json) {
                std::printf("%s\n", frame_json(pkt, wall_time()).c_str());
                std::fflush(stdout);
            } else {
                print_frame(out, pkt, deadline.seconds());
            }
        });
    return frames;
}

// How listen ended: interrupted, short of --count at the time limit, or done.
int listen_status(const CommandLine &c, long frames)
{
    if (interrupted())
        return kExitInterrupted;
    if (c.count >= 0 && frames < c.count)
        return kExitTimeLimit;
    return kExitDone;
}

// The destination of send (with --to) into dest, and the text checked
// against the room its frame has.
void check_send(const CommandLine &c, const std::string &text, unsigned char *dest)
{
    if (!c.to.empty())
        parse_id(c.to, "--to", dest);
    else if (c.acked)
        throw UsageError("--acked needs --to");
    // A frame holds 64 bytes of tuples: ours (3 + text), "CAD" (11) when
    // addressed, "CAC" (5) when acknowledged.
    const std::size_t room = PACKET_ACL_MAX - 3 - (c.to.empty() ? 0 : 11) - (c.acked ? 5 : 0);
    if (text.size() > room)
        throw UsageError("TEXT too long: this frame has room for " + std::to_string(room) + " bytes");
}

// What one send did: the library's result, the system's errno of the call
// and the milliseconds it took (an acknowledged send waits for the reply).
struct SendResult {
    int r;
    int sys_errno;
    uint32_t ms;
};

SendResult send_frame(const CommandLine &c, int fd, n_pkt *pkt, const unsigned char *dest)
{
    const Deadline clock(86400);
    int r;
    errno = 0;
    if (c.acked)
        r = n_socket_send_acked(fd, fd, pkt, dest);
    else if (!c.to.empty())
        r = n_socket_send_addressed(fd, pkt, dest);
    else
        r = n_socket_send(fd, pkt);
    const int sys_errno = errno;
    return {r, sys_errno, clock.elapsed()};
}

// Says how the send went, as a line or a JSON event; returns the exit status.
int report_send(const CommandLine &c, int fd, n_pkt *pkt, const std::string &to, const SendResult &sent)
{
    const std::string &type = c.args[1];
    int status = kExitDone;
    JsonObject event = json_event("sent");
    if (sent.r >= 0 && c.acked) {
        event = json_event("acknowledged");
        if (!c.node.json)
            std::printf("sent %s seq %d, acknowledged by %s after %u ms\n", type.c_str(), n_pkt_get_seq(pkt),
                        to.c_str(), sent.ms);
    } else if (sent.r >= 0) {
        if (!c.node.json)
            std::printf("sent %s seq %d to %s\n", type.c_str(), n_pkt_get_seq(pkt), to.c_str());
    } else if (c.acked && n_errno == N_EPROTO && (n_util_syserr() == ETIMEDOUT || n_util_syserr() == EBADMSG)) {
        // N_EPROTO with ETIMEDOUT: no reply in time (resends after the measured
        // round trip, however many); with EBADMSG: a reply without "CAC".
        event = json_event("not-acknowledged");
        status = kExitNotAcked;
        if (n_util_syserr() == ETIMEDOUT)
            std::fprintf(stderr, "nimbet: not acknowledged by %s: no answer in %u ms\n", to.c_str(), sent.ms);
        else
            std::fprintf(stderr, "nimbet: not acknowledged by %s: its reply carried no \"CAC\"\n", to.c_str());
    } else {
        event = json_event("failed");
        status = kExitFailure;
        std::fprintf(stderr, "nimbet: %s\n", send_failure(fd, sent.sys_errno).c_str());
    }
    if (c.node.json) {
        event.str("type", type).num("seq", n_pkt_get_seq(pkt)).str("to", to).num("ms", sent.ms);
        std::printf("%s\n", event.text().c_str());
    }
    return status;
}

}  // namespace

int cmd_interfaces(const CommandLine &c)
{
    uint32_t addrs[32], bcasts[32];
    const int n = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
    if (n < 0)
        throw Failure(kExitFailure, "interface discovery: " + library_error());
    for (int i = 0; i < n; ++i) {
        char a[INET_ADDRSTRLEN], b[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &addrs[i], a, sizeof a);
        inet_ntop(AF_INET, &bcasts[i], b, sizeof b);
        if (c.node.json)
            std::printf("%s\n", json_event("interface").str("address", a).str("destination", b).text().c_str());
        else
            std::printf("%-15s  frames go to %s\n", a, b);
    }
    return kExitDone;
}

int cmd_describe(const CommandLine &c)
{
    SocketGuard s{open_node(c.node, parse_port(c.args[0]), false)};
    n_describe_socket(s.fd);
    return kExitDone;
}

int cmd_listen(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    if (c.pcap == "-" && c.node.json)
        throw UsageError("--json and --pcap - both want standard output");
    const std::unique_ptr<PcapWriter> pcap = open_capture(c);
    // The frame lines go to standard output, or with the capture there to
    // standard error; what the run is about goes to standard error.
    std::FILE *out = c.pcap == "-" ? stderr : stdout;
    FilterGuard filter{build_filter(c.node)};
    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    const int fd = s.fd;
    n_socket_set_option(fd, SOCKET_AUTOACK, 1);
    if (pcap)
        observer.capture(pcap.get(), fd);
    if (!c.node.json)
        std::fprintf(stderr, "nimbet: listening on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());

    const Deadline deadline(c.node.seconds > 0 ? c.node.seconds : 30);
    const long frames = print_frames(c, fd, filter.id, out, deadline);
    const int status = listen_status(c, frames);
    if (!c.node.json)
        std::fprintf(stderr, "nimbet: %s in %.1fs%s\n", plural(static_cast<uint64_t>(frames), "frame", "frames").c_str(),
                     deadline.seconds(),
                     status == kExitInterrupted ? " (interrupted)"
                     : status == kExitTimeLimit ? ", time limit reached before --count"
                                                : "");
    JsonObject summary = json_event("summary").str("command", "listen").num("frames", frames);
    if (pcap)
        summary.num("captured", static_cast<uint64_t>(pcap->records()));
    return finish(c, fd, status, deadline.seconds(), summary);
}

int cmd_send(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    const std::string &type = c.args[1], &text = c.args[2];
    check_type(type, "TYPE");
    unsigned char dest[8];
    check_send(c, text, dest);

    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    const int fd = s.fd;
    std::unique_ptr<n_pkt, int (*)(n_pkt *)> pkt(n_pkt_alloc(), n_pkt_free);
    n_acl_add_str(pkt.get(), type.c_str(), reinterpret_cast<const unsigned char *>(text.data()),
                  static_cast<uint16_t>(text.size()), 0);
    const SendResult sent = send_frame(c, fd, pkt.get(), dest);
    const std::string to = c.to.empty() ? "everybody" : id_text(dest);
    int status = report_send(c, fd, pkt.get(), to, sent);
    std::fflush(stdout);
    if (interrupted())
        status = kExitInterrupted;
    return finish(c, fd, status, sent.ms / 1000.0, json_event("summary").str("command", "send"));
}

}  // namespace nimbet_tool
