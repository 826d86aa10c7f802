// The nimbet tool's trace hook: -v lines, the pcap capture and transfer progress from the datagrams the library reports.
#include "observer.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame_json.h"

namespace nimbet_tool {

namespace {

constexpr std::size_t kTupleArea = PACKET_HEADER_SIZE;  // offset of the first tuple in a frame
constexpr unsigned char kTypeCAT[2] = {0xD0, 0x80};     // transfer descriptor of a first part
constexpr unsigned char kCatFirst = 0x01;

struct PktFree {
    void operator()(n_pkt *p) const { n_pkt_free(p); }
};
using PktPtr = std::unique_ptr<n_pkt, PktFree>;

PktPtr parse(const unsigned char *bytes, std::size_t len)
{
    if (bytes == nullptr || len < PACKET_MIN_FRAME || len > 0xffff)
        return nullptr;
    PktPtr pkt(n_pkt_alloc());
    if (pkt && n_pkt_parse(pkt.get(), bytes, static_cast<unsigned>(len)) != 0)
        pkt.reset();
    return pkt;
}

std::string key(const unsigned char *id) { return std::string(reinterpret_cast<const char *>(id), 8); }

// Data of the first tuple of a given type, or null.
const unsigned char *tuple_data(n_pkt *pkt, const char *name, unsigned *len)
{
    n_acl *t = nullptr;
    unsigned char *d = nullptr;
    if (n_acl_findfirst_str(pkt, name, &t) < 0)
        return nullptr;
    *len = n_acl_get_data(t, &d);
    return d;
}

// The addressed node of a frame, or null.
const unsigned char *addressed(n_pkt *pkt)
{
    unsigned len = 0;
    const unsigned char *d = tuple_data(pkt, "CAD", &len);
    return len == 8 ? d : nullptr;
}

// The part carried by a fragment: the data of its first tuple.
unsigned part_length(n_pkt *pkt)
{
    unsigned char *d = nullptr;
    n_acl *first = n_acl_first(pkt);
    return first != nullptr ? n_acl_get_data(first, &d) : 0;
}

// The total length a first part announces in its transfer descriptor, or 0.
uint64_t announced_total(n_pkt *pkt)
{
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
        unsigned char *d = nullptr;
        const unsigned len = n_acl_get_data(t, &d);
        const unsigned char *type = n_acl_get_type(t);
        if (type[0] == kTypeCAT[0] && type[1] == kTypeCAT[1] && len >= 9 && (d[0] & kCatFirst) != 0)
            return uint64_t{d[5]} << 24 | uint64_t{d[6]} << 16 | uint64_t{d[7]} << 8 | d[8];
    }
    return 0;
}

bool is_received(int event)
{
    switch (event) {
    case N_TRACE_DELIVERED: case N_TRACE_REJECTED: case N_TRACE_NOT_FOR_US: case N_TRACE_DUPLICATE:
    case N_TRACE_ACK_RECEIVED: case N_TRACE_PART_STORED: case N_TRACE_IGNORED: case N_TRACE_TRANSFER_REFUSED:
        return true;
    default:
        return false;
    }
}

bool is_sent(int event)
{
    return event == N_TRACE_SENT || event == N_TRACE_ACK_SENT || event == N_TRACE_PART_SENT ||
           event == N_TRACE_PART_RESENT;
}

// Events that -v shows; -vv shows every event.
bool noteworthy(int event)
{
    return event != N_TRACE_SENT && event != N_TRACE_DELIVERED && event != N_TRACE_NOT_FOR_US &&
           event != N_TRACE_PART_SENT && event != N_TRACE_PART_STORED;
}

std::string tuple_types(n_pkt *pkt)
{
    std::string s;
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
        char name[4];
        n_acl_get_type_str(t, name);
        s += (s.empty() ? "" : " ") + std::string(name);
    }
    return s;
}

}  // namespace

// The observer of the run. The library's hook is installed once and stays:
// replacing it would leave the library to keep every hook record it was
// given, and an observer that ends only has to stop being called.
namespace {
Observer *g_current = nullptr;
}  // namespace

Observer::Observer(int verbose, bool json) : verbose_(verbose), json_(json), start_ms_(n_util_getmstime())
{
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
    local_.sin_family = dest_.sin_family = AF_INET;
    local_.sin_port = dest_.sin_port = htons(n_socket_get_port(fd));
    if (unsigned char *a = n_socket_get_ipsrc(fd)) {
        std::memcpy(&local_.sin_addr.s_addr, a, 4);
        std::free(a);
    }
    if (local_.sin_addr.s_addr == 0) {  // bound to every address: name the node by its first one
        uint32_t addr = 0;
        n_util_get_local_addresses(&addr, nullptr);
        local_.sin_addr.s_addr = addr;
    }
    if (unsigned char *a = n_socket_get_ipdest(fd, 0)) {
        std::memcpy(&dest_.sin_addr.s_addr, a, 4);
        std::free(a);
    }
}

TransferProgress Observer::sending(const unsigned char *peer) const
{
    const auto it = sending_.find(key(peer));
    return it != sending_.end() ? it->second : TransferProgress{};
}

TransferProgress Observer::receiving(const unsigned char *peer) const
{
    const auto it = receiving_.find(key(peer));
    return it != receiving_.end() ? it->second : TransferProgress{};
}

void Observer::hook(const n_trace_info *info, void *)
{
    if (info != nullptr && g_current != nullptr)
        g_current->handle(*info);
}

void Observer::handle(const n_trace_info &info)
{
    ++traced_;
    PktPtr frame = parse(info.bytes, info.len);
    bool resent = info.event == N_TRACE_PART_RESENT;
    if (frame) {
        switch (info.event) {
        case N_TRACE_SENT: {
            // An acknowledged frame sent again carries the same tuples, "CAC" included.
            std::vector<unsigned char> tuples(info.bytes + kTupleArea, info.bytes + info.len - 2);
            unsigned len = 0;
            const unsigned char *cac = tuple_data(frame.get(), "CAC", &len);
            resent = cac != nullptr && len >= 1 && (cac[0] & 1) == 0 && tuples == last_sent_;
            last_sent_ = std::move(tuples);
            break;
        }
        case N_TRACE_PART_SENT:
        case N_TRACE_PART_RESENT:
            if (const unsigned char *peer = addressed(frame.get())) {
                TransferProgress &p = sending_[key(peer)];
                if (info.event == N_TRACE_PART_RESENT) {
                    ++p.resent;
                } else {
                    // A new part goes out once the one before it was acknowledged.
                    p.bytes += in_flight_[key(peer)];
                    in_flight_[key(peer)] = part_length(frame.get());
                    if (++p.parts == 1)
                        p.total = announced_total(frame.get());
                }
            }
            break;
        case N_TRACE_PART_STORED: {
            TransferProgress &p = receiving_[key(frame->srcid)];
            const unsigned len = part_length(frame.get());
            p.bytes += len;
            if (++p.parts == 1) {
                p.total = announced_total(frame.get());
                first_parts_.emplace_back(info.bytes, info.bytes + info.len);
            }
            if (on_part_stored) {
                unsigned char *d = nullptr;
                n_acl_get_data(n_acl_first(frame.get()), &d);
                on_part_stored(frame.get(), d, len);
            }
            break;
        }
        default:
            break;
        }
    }
    if (pcap_ != nullptr && info.bytes != nullptr && (is_received(info.event) || is_sent(info.event)))
        record(info, is_received(info.event));
    if (verbose_ >= 2 || (verbose_ == 1 && (noteworthy(info.event) || resent)) || (json_ && resent))
        report(info, frame.get(), resent);
}

void Observer::record(const n_trace_info &info, bool received)
{
    // The library may report one datagram under two events (delivered and
    // acknowledged, say): capture it once.
    const bool same = info.bytes == last_recorded_at_ && received == last_recorded_received_ &&
                      info.len == last_recorded_.size() &&
                      std::equal(last_recorded_.begin(), last_recorded_.end(), info.bytes);
    if (same)
        return;
    last_recorded_.assign(info.bytes, info.bytes + info.len);
    last_recorded_at_ = info.bytes;
    last_recorded_received_ = received;
    timeval now{};
    gettimeofday(&now, nullptr);
    const sockaddr_in from = received ? (info.peer != nullptr ? *info.peer : sockaddr_in{}) : local_;
    pcap_->write(now, from, received ? local_ : dest_, info.bytes, info.len);
}

void Observer::report(const n_trace_info &info, n_pkt *frame, bool resent)
{
    const char *what = n_trace_event_name(info.event);
    if (json_) {
        JsonObject o = json_event(resent ? "resent" : "trace");
        o.str("what", resent && info.event == N_TRACE_SENT ? "frame-resent" : what).num("len", info.len);
        if (frame != nullptr) {
            o.str("src", id_text(frame->srcid)).num("seq", n_pkt_get_seq(frame));
            if (const unsigned char *to = addressed(frame))
                o.str("to", id_text(to));
        }
        if (info.peer != nullptr)
            o.str("peer", address_text(*info.peer));
        if (info.reason != nullptr)
            o.str("reason", info.reason);
        std::printf("%s\n", o.text().c_str());
        std::fflush(stdout);
        return;
    }
    std::string line = resent && info.event == N_TRACE_SENT ? "frame-resent" : what;
    if (info.bytes != nullptr)
        line += " " + std::to_string(info.len) + " bytes";
    if (frame != nullptr) {
        line += " src " + id_text(frame->srcid) + " seq " + std::to_string(n_pkt_get_seq(frame)) + " [" +
                tuple_types(frame) + "]";
        if (const unsigned char *to = addressed(frame))
            line += " to " + id_text(to);
    }
    if (info.peer != nullptr)
        line += " from " + address_text(*info.peer);
    if (info.reason != nullptr)
        line += " (" + std::string(info.reason) + ")";
    std::fprintf(stderr, "nimbet: %7.3fs %s\n", (n_util_getmstime() - start_ms_) / 1000.0, line.c_str());
}

}  // namespace nimbet_tool
