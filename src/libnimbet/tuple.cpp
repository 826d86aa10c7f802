// SPDX-License-Identifier: MIT
// Tuples: creation, the tuple list of a packet, and the packed 3-letter type codes.
#include <cstdlib>
#include <cstring>

#include "frame.h"
#include "packet.h"

using namespace nimbet;

namespace {

constexpr unsigned kBlankValue = 12;

// Value 0..39 of one name character; see the alphabet table of the type codes.
unsigned char_value(unsigned char c)
{
    switch (c) {
    case ' ': return 12;
    case '/': return 11;
    case '-': return 10;
    default: break;
    }
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return 14u + (c - 'A');
    if (c >= '0' && c <= '9')
        return c - '0';
    switch (c) {
    case '@': return 13;
    case ':': return 10;
    case ';': return 11;
    default: return kBlankValue;  // '<', NUL and everything not in the alphabet
    }
}

// Character produced for a value; 40 only occurs as the third digit of the
// codes 64000..65535 and is written as 'x'.
char value_char(unsigned v)
{
    constexpr char kAlphabet[] = "0123456789-/ @abcdefghijklmnopqrstuvwxyzx";
    return kAlphabet[v <= 40 ? v : 40];
}

void pack3(const char c[3], unsigned char out[2])
{
    unsigned code = char_value(static_cast<unsigned char>(c[0])) +
                    40u * char_value(static_cast<unsigned char>(c[1])) +
                    1600u * char_value(static_cast<unsigned char>(c[2]));
    out[0] = static_cast<unsigned char>(code >> 8);
    out[1] = static_cast<unsigned char>(code & 0xff);
}

void unpack3(const unsigned char in[2], char out[3])
{
    unsigned code = in[0] * 256u + in[1];
    out[0] = value_char(code % 40);
    out[1] = value_char((code % 1600) / 40);
    out[2] = value_char(code / 1600);
}

// Reads the first three characters of a NUL-terminated name; characters
// after the terminator count as missing (NUL).
void name3(const char *name, char out[3])
{
    out[0] = out[1] = out[2] = '\0';
    for (int i = 0; i < 3 && name[i] != '\0'; ++i)
        out[i] = name[i];
}

bool has_tuples(const n_pkt *pkt) { return (pkt->flags & PACKET_HAS_ACL) != 0; }

// Changing the list means the packet no longer matches a received frame.
constexpr uint32_t kReceiveBits = 0xF0u;

}  // namespace

extern "C" {

n_acl *n_acl_new(const unsigned char *type, const unsigned char *data, uint16_t len)
try {
    if (type == nullptr)
        return fail_null<n_acl>(kInval);
    const unsigned char n = static_cast<unsigned char>(len & 0xff);
    // One malloc'd block that the caller may release with free(). Its data
    // are the given bytes, or zeros without them.
    auto *t = static_cast<n_acl *>(std::malloc(kAclHeaderSize + n));
    if (t == nullptr)
        return fail_null<n_acl>(kNoMem);
    t->type[0] = type[0];
    t->type[1] = type[1];
    t->len = n;
    t->link.tqe_next = nullptr;
    t->link.tqe_prev = nullptr;
    if (data != nullptr)
        copy_short(t->data, data, n);
    else
        std::memset(t->data, 0, n);
    return t;
} catch (...) {
    return failed_by_exception(n_acl_new);
}

n_acl *n_acl_new_str(const char *name, const unsigned char *data, uint16_t len)
try {
    if (name == nullptr)
        return fail_null<n_acl>(kInval);
    unsigned char code[2];
    n_util_str2acl(name, code);
    return n_acl_new(code, data, len);
} catch (...) {
    return failed_by_exception(n_acl_new_str);
}

uint8_t n_acl_get_data(n_acl *tuple, unsigned char **out)
try {
    if (tuple == nullptr || out == nullptr) {
        n_errno = kInval;
        return 0xff;
    }
    *out = tuple->data;
    return tuple->len;
} catch (...) {
    return failed_by_exception(n_acl_get_data);
}

unsigned char *n_acl_get_type(n_acl *tuple)
try {
    if (tuple == nullptr)
        return fail_null<unsigned char>(kInval);
    return tuple->type;
} catch (...) {
    return failed_by_exception(n_acl_get_type);
}

char *n_acl_get_type_str(n_acl *tuple, char *buf)
try {
    if (tuple == nullptr)
        return fail_null<char>(kInval);
    return n_util_acl2str(tuple->type, buf);
} catch (...) {
    return failed_by_exception(n_acl_get_type_str);
}

int n_acl_add_tuple(n_pkt *pkt, n_acl *tuple, int oversize)
try {
    if (pkt == nullptr || tuple == nullptr)
        return fail(kInval);
    if (oversize != 0 && has_tuples(pkt) && !(pkt->flags & PACKET_OVERSIZE))
        return fail(kProto);
    if (oversize == 0 && !fits_tuple_area(pkt->acl_len + tuple_size(tuple->len)))
        return fail(kProto);
    pkt->flags &= ~kReceiveBits;
    if (oversize != 0)
        pkt->flags |= PACKET_OVERSIZE;
    pkt->acl_len += static_cast<uint32_t>(tuple_size(tuple->len));
    pkt->acl_count += 1;
    AclQueue::insert_tail(pkt->acl_head, tuple);
    pkt->flags |= PACKET_HAS_ACL;
    return 0;
} catch (...) {
    return failed_by_exception(n_acl_add_tuple);
}

int n_acl_add(n_pkt *pkt, const unsigned char *type, const unsigned char *data, uint16_t len, int oversize)
try {
    n_acl *t = (type != nullptr) ? n_acl_new(type, data, len) : nullptr;
    if (t == nullptr)
        return fail(kInval);
    if (n_acl_add_tuple(pkt, t, oversize) < 0) {
        std::free(t);  // never attached: still ours
        return -1;
    }
    return 0;
} catch (...) {
    return failed_by_exception(n_acl_add);
}

int n_acl_add_str(n_pkt *pkt, const char *name, const unsigned char *data, uint16_t len, int oversize)
try {
    if (name == nullptr)
        return fail(kInval);
    unsigned char code[2];
    n_util_str2acl(name, code);
    return n_acl_add(pkt, code, data, len, oversize);
} catch (...) {
    return failed_by_exception(n_acl_add_str);
}

int n_acl_remove_tuple(n_pkt *pkt, n_acl *tuple)
try {
    if (pkt == nullptr || tuple == nullptr)
        return fail(kInval);
    bool found = false;
    if (has_tuples(pkt))
        for (n_acl *t : AclQueue::each(pkt->acl_head))
            if (t == tuple) {
                found = true;
                break;
            }
    if (!found)
        return fail(kNotFound);
    pkt->flags &= ~(kReceiveBits | PACKET_OVERSIZE);
    pkt->acl_len -= static_cast<uint32_t>(tuple_size(tuple->len));
    pkt->acl_count -= 1;
    AclQueue::remove(pkt->acl_head, tuple);
    if (AclQueue::empty(pkt->acl_head))
        pkt->flags &= ~PACKET_HAS_ACL;
    return 0;
} catch (...) {
    return failed_by_exception(n_acl_remove_tuple);
}

n_acl *n_acl_first(n_pkt *pkt)
try {
    if (pkt == nullptr || !has_tuples(pkt))
        return fail_null<n_acl>(kInval);
    return AclQueue::first(pkt->acl_head);
} catch (...) {
    return failed_by_exception(n_acl_first);
}

n_acl *n_acl_next(n_pkt *pkt, n_acl *tuple)
try {
    if (pkt == nullptr || !has_tuples(pkt) || tuple == nullptr)
        return fail_null<n_acl>(kInval);
    return AclQueue::next(tuple);
} catch (...) {
    return failed_by_exception(n_acl_next);
}

int n_acl_findfirst(n_pkt *pkt, const unsigned char *type, n_acl **out)
try {
    if (pkt == nullptr || type == nullptr)
        return fail(kInval);
    if (!has_tuples(pkt))
        return fail(kNotFound);
    int pos = 0;
    for (n_acl *t : AclQueue::each(pkt->acl_head)) {
        if (same_type(t->type, type)) {
            if (out != nullptr)
                *out = t;
            return pos;
        }
        ++pos;
    }
    return fail(kNotFound);
} catch (...) {
    return failed_by_exception(n_acl_findfirst);
}

int n_acl_findfirst_str(n_pkt *pkt, const char *name, n_acl **out)
try {
    if (name == nullptr)
        return fail(kInval);
    unsigned char code[2];
    n_util_str2acl(name, code);
    return n_acl_findfirst(pkt, code, out);
} catch (...) {
    return failed_by_exception(n_acl_findfirst_str);
}

int n_acl_findnext(n_pkt *pkt, n_acl *tuple, n_acl **out)
try {
    if (pkt == nullptr || tuple == nullptr)
        return fail(kInval);
    if (!has_tuples(pkt))
        return fail(kBadF);
    int dist = 1;
    for (n_acl *t = AclQueue::next(tuple); t != nullptr; t = AclQueue::next(t), ++dist) {
        if (same_type(t->type, tuple->type)) {
            if (out != nullptr)
                *out = t;
            return dist;
        }
    }
    return fail(kNotFound);
} catch (...) {
    return failed_by_exception(n_acl_findnext);
}

unsigned char *n_util_str2acl(const char *name, unsigned char *out)
try {
    thread_local unsigned char shared[2];  // one per thread: threads never overwrite each other's result
    unsigned char *dst = out != nullptr ? out : shared;
    char c[3];
    name3(name != nullptr ? name : "", c);
    pack3(c, dst);
    return dst;
} catch (...) {
    return failed_by_exception(n_util_str2acl);
}

char *n_util_acl2str(const unsigned char *code, char *buf)
try {
    thread_local char shared[4];
    char *dst = buf != nullptr ? buf : shared;
    unpack3(code, dst);
    dst[3] = '\0';
    return dst;
} catch (...) {
    return failed_by_exception(n_util_acl2str);
}

int n_util_3to2(unsigned char *out, const char *text, int textlen)
try {
    int written = 0;
    for (int g = 0; g < textlen; g += 3) {
        char c[3] = {' ', ' ', ' '};
        for (int k = 0; k < 3 && g + k < textlen; ++k) {
            if (text[g + k] == '\0')
                break;  // a NUL ends the group; the rest counts as spaces
            c[k] = text[g + k];
        }
        pack3(c, out + written);
        written += 2;
    }
    return written;
} catch (...) {
    return failed_by_exception(n_util_3to2);
}

int n_util_2to3(char *out, const unsigned char *codes, int codeslen)
try {
    int written = 0;
    for (int g = 0; g + 1 < codeslen; g += 2) {
        unpack3(codes + g, out + written);
        written += 3;
    }
    out[written] = '\0';
    return written;
} catch (...) {
    return failed_by_exception(n_util_2to3);
}

}  // extern "C"
