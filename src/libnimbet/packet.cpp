// SPDX-License-Identifier: MIT
// Packets: allocation, parsing of received frames, header getters and setters, description.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame.h"
#include "packet.h"

using namespace nimbet;

namespace {

constexpr std::size_t kLocTextSize = 176;  // 44 numbers of up to 3 digits, 43 dots, NUL
constexpr std::size_t kIdTextSize = 32;    // 8 numbers, 7 dots, NUL

// Writes bytes as dotted decimal into a buffer of `size` bytes, cutting the
// text to size - 1 characters; a size of 0 receives nothing.
void dotted(std::span<const unsigned char> bytes, char *buf, std::size_t size)
{
    if (size == 0)
        return;
    char text[kLocTextSize];
    std::size_t n = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        n += static_cast<std::size_t>(std::snprintf(text + n, sizeof text - n,
                                                    i + 1 < bytes.size() ? "%u." : "%u", bytes[i]));
    std::size_t keep = n < size - 1 ? n : size - 1;
    std::memcpy(buf, text, keep);
    buf[keep] = '\0';
}

// A header field of the packet as dotted text, in `buf` or, without one, in
// a buffer of the calling thread's own (one per field: threads never
// overwrite each other's text).
template <std::size_t N, auto Field>
char *header_text(const n_pkt *pkt, char *buf, std::size_t size)
{
    thread_local char shared[N];
    if (pkt == nullptr)
        return fail_null<char>(kInval);
    if (buf == nullptr) {
        buf = shared;
        size = sizeof shared;
    }
    dotted(pkt->*Field, buf, size);
    return buf;
}

// A "CAC" tuple needs its control and sequence bytes; a shorter one
// carries no acknowledgement information and is kept as plain data.
bool carries_cac(const unsigned char *type, uint8_t len) { return same_type(type, kTypeCAC) && len >= 2; }
bool asks_for_ack(const unsigned char *data) { return data[0] != kCacReply; }

void note_control_tuple(n_pkt *pkt, const n_acl *t)
{
    if (same_type(t->type, kTypeCAD) && t->len == kIdLen)
        std::memcpy(pkt->dest_id, t->data, kIdLen);
    if (carries_cac(t->type, t->len)) {
        pkt->ack_seq = t->data[1];
        if (asks_for_ack(t->data))
            pkt->flags |= PACKET_ACK_REQUESTED;
    }
}

void free_tuples(n_pkt *pkt)
{
    for (n_acl *t : AclQueue::each(pkt->acl_head))
        std::free(t);
    AclQueue::init(pkt->acl_head);
    pkt->acl_len = 0;
    pkt->acl_count = 0;
}

// The header fields of a received frame; they no longer count as set by the
// caller.
void take_header(n_pkt *pkt, const unsigned char *buf)
{
    std::memcpy(pkt->location, buf + kLocOffset, kLocLen);
    std::memcpy(pkt->srcid, buf + kSrcIdOffset, kIdLen);
    pkt->seq = buf[kSeqOffset];
    pkt->flags &= ~(PACKET_FORMAT_SET | PACKET_LOCATION_SET | PACKET_SRCID_SET | PACKET_SEQ_SET);
    pkt->flags |= PACKET_RECEIVED;
}

// The tuples of a frame whose tuples tile its area, in frame order. On
// failure the packet keeps none.
int take_tuples(n_pkt *pkt, const unsigned char *buf, std::size_t len)
{
    std::size_t off = kTuplesOffset;
    while (off < len - kCrcLen) {
        const unsigned char l = buf[off + kTupleLenOffset];
        n_acl *t = n_acl_new(buf + off, buf + off + kTupleHeader, l);
        if (t == nullptr) {
            // 22 as every refusal of parsing; the cause says it was memory.
            free_tuples(pkt);
            return fail_sys(kInval, ENOMEM);
        }
        note_control_tuple(pkt, t);
        AclQueue::insert_tail(pkt->acl_head, t);
        pkt->acl_len += static_cast<uint32_t>(tuple_size(l));
        pkt->acl_count += 1;
        off += tuple_size(l);
    }
    pkt->flags |= PACKET_HAS_ACL;
    return 0;
}

}  // namespace

namespace nimbet {

bool serialise_packet(const n_pkt *pkt, std::span<unsigned char> out, uint8_t format)
{
    if (out.size() != frame_size(pkt))
        return false;
    FrameBuilder w(out, format, pkt->location, pkt->srcid, pkt->seq);
    for (const n_acl *t = AclQueue::first(pkt->acl_head); t != nullptr; t = AclQueue::next(t))
        if (!w.tuple(t->type, t->data, t->len))
            return false;
    return w.finish().size() == out.size();
}

bool serialise_packet(const n_pkt *pkt, std::span<unsigned char> out)
{
    return serialise_packet(pkt, out, pkt->format);
}

uint32_t verified_frame_flags(std::span<const unsigned char> frame)
{
    // Those of a fresh packet, less what take_header clears, and what
    // take_header, take_tuples and the tuples add.
    uint32_t flags = PACKET_RECEIVED | PACKET_CRC_OK | PACKET_HAS_ACL;
    const unsigned char *buf = frame.data();
    for (std::size_t off = kTuplesOffset; off < frame.size() - kCrcLen; off += tuple_size(buf[off + kTupleLenOffset]))
        if (carries_cac(buf + off, buf[off + kTupleLenOffset]) && asks_for_ack(buf + off + kTupleHeader))
            flags |= PACKET_ACK_REQUESTED;
    return flags;
}

int parse_verified_frame(n_pkt *pkt, std::span<const unsigned char> frame)
{
    pkt->format = frame[0];
    take_header(pkt, frame.data());
    pkt->flags |= PACKET_CRC_OK;
    return take_tuples(pkt, frame.data(), frame.size());
}

}  // namespace nimbet

extern "C" {

n_pkt *n_pkt_alloc(void)
try {
    // malloc and a clear: calloc takes a slower path through the allocator.
    // Out of memory is 13 here, as it has always been for this call; the
    // system cause tells it apart from a null packet given to n_pkt_free.
    auto *pkt = static_cast<n_pkt *>(std::malloc(sizeof(n_pkt)));
    if (pkt == nullptr)
        return fail_null_sys<n_pkt>(kAccess, ENOMEM);
    std::memset(pkt, 0, sizeof *pkt);
    pkt->format = 2;
    pkt->flags = PACKET_FORMAT_SET;
    pkt->fromlen = sizeof(pkt->from);
    AclQueue::init(pkt->acl_head);
    return pkt;
} catch (...) {
    return failed_by_exception(n_pkt_alloc);
}

int n_pkt_free(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail(kAccess);
    free_tuples(pkt);
    std::free(pkt);
    return 1;
} catch (...) {
    return failed_by_exception(n_pkt_free);
}

int n_pkt_parse(n_pkt *pkt, const unsigned char *buf, unsigned int len)
try {
    if (pkt == nullptr || buf == nullptr || len < PACKET_MIN_FRAME || pkt->acl_len != 0 || pkt->acl_count != 0)
        return fail(kInval);
    pkt->format = buf[0];
    if (buf[0] != 2)
        return fail(kInval);
    take_header(pkt, buf);
    if (n_util_crc16_check(buf, len) != 1) {
        pkt->flags |= PACKET_CRC_BAD;
        return fail(kInval);
    }
    pkt->flags |= PACKET_CRC_OK;
    if (!tuples_tile(buf, len))
        return fail(kInval);
    return take_tuples(pkt, buf, len);
} catch (...) {
    return failed_by_exception(n_pkt_parse);
}

unsigned char *n_pkt_get_location(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail_null<unsigned char>(kInval);
    return pkt->location;
} catch (...) {
    return failed_by_exception(n_pkt_get_location);
}

unsigned char *n_pkt_get_srcid(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail_null<unsigned char>(kInval);
    return pkt->srcid;
} catch (...) {
    return failed_by_exception(n_pkt_get_srcid);
}

int n_pkt_get_seq(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail(kInval);
    return pkt->seq;
} catch (...) {
    return failed_by_exception(n_pkt_get_seq);
}

int n_pkt_get_ack(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return fail(kInval);
    return (pkt->flags & PACKET_ACK_SENT) ? 1 : 0;
} catch (...) {
    return failed_by_exception(n_pkt_get_ack);
}

int n_pkt_set_location(n_pkt *pkt, const unsigned char *loc)
try {
    if (pkt == nullptr || loc == nullptr)
        return fail(kInval);
    std::memmove(pkt->location, loc, kLocLen);
    pkt->flags |= PACKET_LOCATION_SET;
    return 1;
} catch (...) {
    return failed_by_exception(n_pkt_set_location);
}

int n_pkt_set_srcid(n_pkt *pkt, const unsigned char *id)
try {
    if (pkt == nullptr || id == nullptr)
        return fail(kInval);
    std::memmove(pkt->srcid, id, kIdLen);
    pkt->flags |= PACKET_SRCID_SET;
    return 0;
} catch (...) {
    return failed_by_exception(n_pkt_set_srcid);
}

int n_pkt_set_seq(n_pkt *pkt, uint8_t seq)
try {
    if (pkt == nullptr)
        return fail(kInval);
    pkt->seq = seq;
    pkt->flags |= PACKET_SEQ_SET;
    return 0;
} catch (...) {
    return failed_by_exception(n_pkt_set_seq);
}

char *n_pkt_get_location_str(n_pkt *pkt, char *buf, size_t size)
try {
    return header_text<kLocTextSize, &n_pkt::location>(pkt, buf, size);
} catch (...) {
    return failed_by_exception(n_pkt_get_location_str);
}

char *n_pkt_get_srcid_str(n_pkt *pkt, char *buf, size_t size)
try {
    return header_text<kIdTextSize, &n_pkt::srcid>(pkt, buf, size);
} catch (...) {
    return failed_by_exception(n_pkt_get_srcid_str);
}

int n_describe_pkt(n_pkt *pkt)
try {
    if (pkt == nullptr)
        return std::printf("NO SUCH PACKET\n");
    char id[kIdTextSize];
    char loc[kLocTextSize];
    n_pkt_get_srcid_str(pkt, id, sizeof id);
    n_pkt_get_location_str(pkt, loc, sizeof loc);
    std::printf("ID:\t  %s\n", id);
    std::printf("Location: %s\n", loc);
    std::printf("Seq:\t  %d\n", n_pkt_get_seq(pkt));
    std::printf("ACK-Seq:  %d\n", pkt->ack_seq);
    if (pkt->flags & PACKET_HAS_ACL) {
        for (n_acl *t : AclQueue::each(pkt->acl_head)) {
            char name[4];
            std::printf("\t[%s (%3u,%3u) | %u |", n_util_acl2str(t->type, name), t->type[0], t->type[1], t->len);
            for (unsigned i = 0; i < t->len; ++i)
                std::printf(" %u", t->data[i]);
            std::printf("]\n");
        }
    }
    return std::printf("\n");
} catch (...) {
    return failed_by_exception(n_describe_pkt);
}

}  // extern "C"
