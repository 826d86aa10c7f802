// Socket settings: destinations, bind address, identifier, location, retries, and their getters.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "socket.h"

using namespace nimbet;

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// Reads a dotted IPv4 text into 4 address bytes (network order). The text
// must hold exactly 4 numbers (else 22); the conversion then goes through the
// platform's inet_addr, whose all-ones answer, also that of
// 255.255.255.255, is refused with 42. 0 or -1.
int ipv4_from_text(const char *text, unsigned char out[kAddrLen])
{
    unsigned char bytes[kAddrLen];
    if (!decode_exact(text, bytes, kAddrLen))
        return fail(kInval);
    const in_addr_t a = ::inet_addr(text);
    if (a == kAllOnes)
        return fail(kIlSeq);
    std::memcpy(out, &a, kAddrLen);
    return 0;
}

// A new 4-byte buffer for the caller holding an address; null with 12.
unsigned char *address_copy(const in_addr &a)
{
    auto *buf = static_cast<unsigned char *>(std::malloc(kAddrLen));
    if (buf == nullptr)
        return fail_null<unsigned char>(kNoMem);
    std::memcpy(buf, &a.s_addr, kAddrLen);
    return buf;
}

}  // namespace

extern "C" {

int n_socket_set_ipdest(int fd, const unsigned char *addr)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    return set_destination_slot(rec, addr, 0);
}

int n_socket_set_ipdest_str(int fd, const char *text)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    unsigned char addr[kAddrLen];
    if (ipv4_from_text(text, addr) != 0)
        return -1;
    return set_destination_slot(rec, addr, 0);
}

int n_socket_set_ipdest_all(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    constexpr int kRoom = 32;
    uint32_t addrs[kRoom];
    uint32_t bcasts[kRoom];
    const int found = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
    if (found < 0)
        return -1;
    // The record has ten slots; interfaces beyond them are left out.
    const int n = found < kMaxDestinations ? found : kMaxDestinations;
    for (int i = 0; i < n; ++i)
        set_destination_slot(rec, reinterpret_cast<const unsigned char *>(&bcasts[i]), i);
    return n;
}

int n_socket_set_num_interfaces(int fd, int n)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    if (n <= 0 || n >= rec->num_interfaces)
        return fail(kInval);
    rec->num_interfaces = n;
    return 1;
}

int n_socket_set_ipsrc(int fd, const unsigned char *addr)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    if (addr == nullptr)
        return fail(kInval);
    if ((rec->options & SOCKET_BOUND) != 0)
        return fail(kBusy);
    if (rec->recv_from == nullptr) {
        rec->recv_from = static_cast<sockaddr_in *>(std::calloc(1, sizeof(sockaddr_in)));
        if (rec->recv_from == nullptr)
            return fail(kNoMem);
    }
    std::memset(rec->recv_from, 0, sizeof(sockaddr_in));
    rec->recv_from->sin_family = AF_INET;
    rec->recv_from->sin_port = rec->port;
    std::memcpy(&rec->recv_from->sin_addr.s_addr, addr, kAddrLen);
    return 0;
}

int n_socket_set_ipsrc_str(int fd, const char *text)
{
    if (socket_lookup(fd) == nullptr)
        return fail(kBadF);
    unsigned char addr[kAddrLen];
    if (ipv4_from_text(text, addr) != 0)
        return -1;
    return n_socket_set_ipsrc(fd, addr);
}

int n_socket_set_ipsrc_all(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    std::free(rec->recv_from);
    rec->recv_from = nullptr;
    return 0;
}

int n_socket_set_id(int fd, const unsigned char *id)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    if (id == nullptr)
        return fail(kInval);
    std::memmove(rec->id, id, kIdLen);
    return 0;
}

int n_socket_set_id_str(int fd, const char *text)
{
    if (socket_lookup(fd) == nullptr)
        return fail(kBadF);
    unsigned char id[kIdLen];
    if (!decode_id_text(text, id))
        return fail(kInval);
    return n_socket_set_id(fd, id);
}

int n_socket_set_loc(int fd, const unsigned char *loc)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    if (loc == nullptr)
        return fail(kInval);
    std::memmove(rec->loc, loc, kLocLen);
    return 0;
}

int n_socket_set_loc_str(int fd, const char *text)
{
    if (socket_lookup(fd) == nullptr)
        return fail(kBadF);
    unsigned char loc[kLocLen];
    if (!decode_exact(text, loc, kLocLen))
        return fail(kInval);
    return n_socket_set_loc(fd, loc);
}

int n_socket_set_retry(int fd, int count, int milliseconds)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    rec->retry = count & 0xff;
    rec->timeout = milliseconds;
    return 0;
}

int n_socket_set_lastacks(int n)
{
    g_lastacks = n;
    return 1;
}

int n_socket_get_lastacks(void) { return g_lastacks; }

unsigned char *n_socket_get_id(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<unsigned char>(kInval);
    return rec->id;
}

unsigned char *n_socket_get_loc(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<unsigned char>(kInval);
    return rec->loc;
}

unsigned char *n_socket_get_ipdest(int fd, int index)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<unsigned char>(kBadF);
    if (index < 0 || index >= rec->num_interfaces)
        return fail_null<unsigned char>(kInval);
    return address_copy(rec->send_to[index].sin_addr);
}

// Without a bind address the socket binds to any address, so 0.0.0.0 is the
// address it receives on.
unsigned char *n_socket_get_ipsrc(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail_null<unsigned char>(kBadF);
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    return address_copy(rec->recv_from != nullptr ? rec->recv_from->sin_addr : any);
}

int n_socket_get_num_interfaces(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kBadF);
    return rec->num_interfaces;
}

int n_socket_get_retry(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    return rec->retry;
}

int n_socket_get_timeout(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    return rec->timeout;
}

uint16_t n_socket_get_port(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr) {
        n_errno = kInval;
        return 0xFFFF;
    }
    return ntohs(rec->port);
}

uint8_t n_socket_get_last_seq(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr) {
        n_errno = kInval;
        return 0xFF;
    }
    return rec->last_seq;
}

}  // extern "C"
