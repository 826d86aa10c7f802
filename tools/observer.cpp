// SPDX-License-Identifier: MIT
// The nimbet tool's trace hook: -v lines, the pcap capture and the first parts of transfers, from the datagrams the library reports.
#include "observer.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame_json.h"

namespace nimbet_tool {

namespace {

constexpr unsigned char kTypeCAD[2] = {0x6C, 0x80};
constexpr unsigned char kTypeCAC[2] = {0x66, 0x40};

struct Tuple {
    unsigned char type[2];
    const unsigned char *data;
    unsigned len;
};

// A datagram read as a frame without the library (the hook must not call
// it): header fields and tuples, every read bounds-checked. The CRC is not
// checked: a rejected datagram is shown for what it seems to be.
struct Frame {
    bool ok = false;
    const unsigned char *srcid = nullptr;
    unsigned seq = 0;
    std::vector<Tuple> tuples;

    Frame(const unsigned char *b, std::size_t n)
    {
        if (b == nullptr || n < PACKET_MIN_FRAME || b[0] != 2)
            return;
        srcid = b + 45;
        seq = b[53];
        std::size_t off = PACKET_HEADER_SIZE;
        const std::size_t end = n - 2;
        while (off + 3 <= end) {
            const unsigned len = b[off + 2];
            if (off + 3 + len > end)
                return;
            tuples.push_back({{b[off], b[off + 1]}, b + off + 3, len});
            off += 3 + len;
        }
        ok = off == end;
    }

    const Tuple *find(const unsigned char (&type)[2]) const
    {
        for (const Tuple &t : tuples)
            if (t.type[0] == type[0] && t.type[1] == type[1])
                return &t;
        return nullptr;
    }

    // The node a frame is addressed to, or null.
    const unsigned char *addressed() const
    {
        const Tuple *cad = find(kTypeCAD);
        return cad != nullptr && cad->len == 8 ? cad->data : nullptr;
    }

    bool is_request() const
    {
        const Tuple *cac = find(kTypeCAC);
        return cac != nullptr && cac->len >= 2 && (cac->data[0] & 1U) == 0;
    }
};

// The 3 characters of a type code: a + 40 b + 1600 c, each a symbol of
// "0-9 - / space @ a-z".
std::string type_name(const unsigned char type[2])
{
    static const char kAlphabet[] = "0123456789-/ @abcdefghijklmnopqrstuvwxyz";
    unsigned code = static_cast<unsigned>(type[0]) << 8 | type[1];
    if (code >= 64000)
        return "???";
    std::string s;
    for (int i = 0; i < 3; ++i, code /= 40)
        s += kAlphabet[code % 40];
    return s;
}

bool is_sent(int event)
{
    return event == N_TRACE_SENT || event == N_TRACE_ACK_SENT || event == N_TRACE_PART_SENT ||
           event == N_TRACE_PART_RESENT;
}

// Events that -v shows; -vv shows every event but the arrival of a datagram,
// which the event that follows it describes.
bool noteworthy(int event)
{
    return event != N_TRACE_SENT && event != N_TRACE_DELIVERED && event != N_TRACE_NOT_FOR_US &&
           event != N_TRACE_PART_SENT && event != N_TRACE_PART_STORED && event != N_TRACE_RECEIVED;
}

// A part of a transfer or its acknowledgement ("CAC" of a fragment kind).
bool of_transfer(const Frame &frame)
{
    const Tuple *cac = frame.find(kTypeCAC);
    const unsigned kind = cac != nullptr && cac->len >= 1 ? cac->data[0] >> 1U : 0;
    return kind == 1 || kind == 2;
}

double seconds_since(const timeval &start)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_usec - start.tv_usec) / 1e6;
}

// The observer of the run. The library's hook is installed once and stays:
// replacing it would leave the library to keep every hook record it was
// given, and an observer that ends only has to stop being called.
Observer *g_current = nullptr;

}  // namespace

Observer::Observer(int verbose, bool json) : verbose_(verbose), json_(json)
{
    gettimeofday(&start_, nullptr);
    static const bool installed = (n_set_trace(&Observer::hook, nullptr), true);
    (void)installed;
    g_current = this;
}

Observer::~Observer()
{
    if (g_current == this)
        g_current = nullptr;
}

void Observer::capture(PcapWriter *pcap, int fd)
{
    pcap_ = pcap;
    pcap_fd_ = fd;
    local_.sin_family = AF_INET;
    local_.sin_port = htons(n_socket_get_port(fd));
    if (unsigned char *a = n_socket_get_ipsrc(fd)) {
        std::memcpy(&local_.sin_addr.s_addr, a, 4);
        std::free(a);
    }
    uint32_t addrs[16], bcasts[16];
    const int n = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
    addrs_.assign(addrs, addrs + std::max(n, 0));
    bcasts_.assign(bcasts, bcasts + std::max(n, 0));
}

double Observer::elapsed() const { return seconds_since(start_); }

sockaddr_in Observer::source_for(const sockaddr_in &to) const
{
    sockaddr_in from = local_;
    if (from.sin_addr.s_addr != 0 || addrs_.empty())
        return from;
    from.sin_addr.s_addr = addrs_[0];
    for (std::size_t i = 0; i < addrs_.size(); ++i)
        if (to.sin_addr.s_addr == bcasts_[i] || to.sin_addr.s_addr == addrs_[i])
            from.sin_addr.s_addr = addrs_[i];
    return from;
}

void Observer::hook(const n_trace_info *info, void *)
{
    if (info != nullptr && g_current != nullptr)
        g_current->handle(*info);
}

void Observer::handle(const n_trace_info &info)
{
    // Quiet runs without a capture look at nothing: a transfer reports
    // every datagram here.
    const bool reporting = verbose_ > 0 || json_;
    if (!reporting && pcap_ == nullptr)
        return;
    const Frame frame(info.bytes, info.len);
    bool resent = info.event == N_TRACE_PART_RESENT;
    if (reporting && frame.ok && info.event == N_TRACE_SENT) {
        // An acknowledged frame sent again carries the same tuples, "CAC" included.
        std::vector<unsigned char> tuples(info.bytes + PACKET_HEADER_SIZE, info.bytes + info.len - 2);
        resent = frame.is_request() && tuples == last_sent_;
        last_sent_ = std::move(tuples);
    }
    const bool transfer = frame.ok && of_transfer(frame);
    if (transfer)
        count(info);
    if (pcap_ != nullptr && info.bytes != nullptr && info.fd == pcap_fd_ &&
        (info.event == N_TRACE_RECEIVED || is_sent(info.event)))
        record(info);
    if (info.event == N_TRACE_RECEIVED)
        return;
    // Parts and their acknowledgements are counted, not shown, below -vv.
    if (verbose_ >= 2 || (!transfer && ((verbose_ == 1 && (noteworthy(info.event) || resent)) || (json_ && resent))))
        report(info, resent);
}

void Observer::count(const n_trace_info &info)
{
    switch (info.event) {
    case N_TRACE_PART_SENT: case N_TRACE_PART_STORED: ++counts_.parts; break;
    case N_TRACE_PART_RESENT: ++counts_.resent; break;
    case N_TRACE_DUPLICATE: ++counts_.repeated; break;
    case N_TRACE_ACK_SENT: case N_TRACE_ACK_RECEIVED: ++counts_.acks; break;
    case N_TRACE_IGNORED: ++counts_.ignored; break;
    default: break;
    }
}

void Observer::record(const n_trace_info &info)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    if (info.event == N_TRACE_RECEIVED) {
        const sockaddr_in from = info.peer != nullptr ? *info.peer : sockaddr_in{};
        const sockaddr_in to = info.to_count > 0 ? info.to[0] : local_;
        pcap_->write(now, from, to, info.bytes, info.len);
        return;
    }
    for (std::size_t i = 0; i < info.to_count; ++i)
        pcap_->write(now, source_for(info.to[i]), info.to[i], info.bytes, info.len);
}

void Observer::report(const n_trace_info &info, bool resent)
{
    const Frame frame(info.bytes, info.len);
    const std::string what =
        resent && info.event == N_TRACE_SENT ? "frame-resent" : n_trace_event_name(info.event);
    const unsigned char *to = frame.ok ? frame.addressed() : nullptr;
    if (json_) {
        JsonObject o = json_event(resent ? "resent" : "trace");
        o.str("what", what);
        if (info.bytes != nullptr)
            o.num("len", static_cast<uint64_t>(info.len));
        if (frame.srcid != nullptr)
            o.str("src", id_text(frame.srcid)).num("seq", frame.seq);
        if (to != nullptr)
            o.str("to", id_text(to));
        if (info.peer != nullptr)
            o.str("peer", address_text(*info.peer));
        if (info.reason != nullptr)
            o.str("reason", info.reason);
        std::printf("%s\n", o.text().c_str());
        std::fflush(stdout);
        return;
    }
    std::string line = what;
    if (info.bytes != nullptr)
        line += " " + std::to_string(info.len) + " bytes";
    if (frame.srcid != nullptr) {
        line += " src " + id_text(frame.srcid) + " seq " + std::to_string(frame.seq) + " [";
        for (std::size_t i = 0; i < frame.tuples.size(); ++i)
            line += (i == 0 ? "" : " ") + type_name(frame.tuples[i].type);
        line += "]";
    }
    if (to != nullptr)
        line += " to " + id_text(to);
    if (info.peer != nullptr)
        line += " from " + address_text(*info.peer);
    if (info.reason != nullptr)
        line += " (" + std::string(info.reason) + ")";
    std::fprintf(stderr, "nimbet: %10.6fs %s\n", elapsed(), line.c_str());
}

}  // namespace nimbet_tool
