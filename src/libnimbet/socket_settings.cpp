// SPDX-License-Identifier: MIT
// Socket settings: destinations, bind address, identifier, location, retries, and their getters.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "frag.h"
#include "socket.h"

using namespace nimbet;

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// Reads a dotted IPv4 text into 4 address bytes (network order). The text
// must hold exactly 4 numbers (else 22), each read as decimal: "010.0.0.1"
// is 10.0.0.1, never the octal 8.0.0.1 that inet_addr would make of it. The
// all-ones address 255.255.255.255 is refused with 42, as the platform's
// conversion has always refused it. 0 or -1.
int ipv4_from_text(const char *text, unsigned char out[kAddrLen])
{
    unsigned char bytes[kAddrLen];
    if (!decode_exact(text, bytes, kAddrLen))
        return fail(kInval);
    uint32_t a = 0;
    std::memcpy(&a, bytes, kAddrLen);
    if (a == kAllOnes)
        return fail(kIlSeq);
    std::memcpy(out, bytes, kAddrLen);
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
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        return set_destination_slot(rec, addr, 0);
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipdest);
}

int n_socket_set_ipdest_str(int fd, const char *text)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        unsigned char addr[kAddrLen];
        if (ipv4_from_text(text, addr) != 0)
            return -1;
        const ScopedLock lock(rec->mu);
        return set_destination_slot(rec, addr, 0);
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipdest_str);
}

int n_socket_set_ipdest_all(int fd)
try {
    return on_socket(fd, kInval, [&](socket_record *rec) {
        constexpr int kRoom = 32;
        uint32_t addrs[kRoom];
        uint32_t bcasts[kRoom];
        const int found = n_util_get_local_interfaces(addrs, bcasts, sizeof addrs);
        if (found < 0)
            return -1;
        // The record has ten slots; interfaces beyond them are left out.
        const int n = found < kMaxDestinations ? found : kMaxDestinations;
        const ScopedLock lock(rec->mu);
        for (int i = 0; i < n; ++i)
            set_destination_slot(rec, reinterpret_cast<const unsigned char *>(&bcasts[i]), i);
        return n;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipdest_all);
}

int n_socket_set_num_interfaces(int fd, int n)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        if (n <= 0 || n >= rec->num_interfaces)
            return fail(kInval);
        rec->num_interfaces = n;
        return 1;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_num_interfaces);
}

int n_socket_set_ipsrc(int fd, const unsigned char *addr)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (addr == nullptr)
            return fail(kInval);
        const ScopedLock lock(rec->mu);
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
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipsrc);
}

int n_socket_set_ipsrc_str(int fd, const char *text)
try {
    return on_socket(fd, kBadF, [&](socket_record *) {
        unsigned char addr[kAddrLen];
        if (ipv4_from_text(text, addr) != 0)
            return -1;
        return n_socket_set_ipsrc(fd, addr);
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipsrc_str);
}

int n_socket_set_ipsrc_all(int fd)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        std::free(rec->recv_from);
        rec->recv_from = nullptr;
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_ipsrc_all);
}

int n_socket_set_id(int fd, const unsigned char *id)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (id == nullptr)
            return fail(kInval);
        {
            const ScopedLock lock(rec->mu);
            std::memmove(rec->id, id, kIdLen);
        }
        update_own_frame_filter(rec);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_id);
}

int n_socket_set_id_str(int fd, const char *text)
try {
    return on_socket(fd, kBadF, [&](socket_record *) {
        unsigned char id[kIdLen];
        if (!decode_id_text(text, id))
            return fail(kInval);
        return n_socket_set_id(fd, id);
    });
} catch (...) {
    return failed_by_exception(n_socket_set_id_str);
}

int n_socket_set_loc(int fd, const unsigned char *loc)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        if (loc == nullptr)
            return fail(kInval);
        const ScopedLock lock(rec->mu);
        std::memmove(rec->loc, loc, kLocLen);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_loc);
}

int n_socket_set_loc_str(int fd, const char *text)
try {
    return on_socket(fd, kBadF, [&](socket_record *) {
        unsigned char loc[kLocLen];
        if (!decode_exact(text, loc, kLocLen))
            return fail(kInval);
        return n_socket_set_loc(fd, loc);
    });
} catch (...) {
    return failed_by_exception(n_socket_set_loc_str);
}

int n_socket_set_retry(int fd, int count, int milliseconds)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        {
            const ScopedLock lock(rec->mu);
            rec->retry = count & 0xff;
            rec->timeout = milliseconds;
        }
        frag_socket_settings_changed(rec);
        return 0;
    });
} catch (...) {
    return failed_by_exception(n_socket_set_retry);
}

// The record's own identifier and location; they stay valid until the
// socket closes.
unsigned char *n_socket_get_id(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) { return rec->id; });
} catch (...) {
    return failed_by_exception(n_socket_get_id);
}

unsigned char *n_socket_get_loc(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) { return rec->loc; });
} catch (...) {
    return failed_by_exception(n_socket_get_loc);
}

unsigned char *n_socket_get_ipdest(int fd, int index)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        if (index < 0 || index >= rec->num_interfaces)
            return fail_null<unsigned char>(kInval);
        return address_copy(rec->send_to[index].sin_addr);
    });
} catch (...) {
    return failed_by_exception(n_socket_get_ipdest);
}

// Without a bind address the socket binds to any address, so 0.0.0.0 is the
// address it receives on.
unsigned char *n_socket_get_ipsrc(int fd)
try {
    return on_socket(fd, kBadF, [](socket_record *rec) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        const ScopedLock lock(rec->mu);
        return address_copy(rec->recv_from != nullptr ? rec->recv_from->sin_addr : any);
    });
} catch (...) {
    return failed_by_exception(n_socket_get_ipsrc);
}

int n_socket_get_num_interfaces(int fd)
try {
    return on_socket(fd, kBadF, [](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        return rec->num_interfaces;
    });
} catch (...) {
    return failed_by_exception(n_socket_get_num_interfaces);
}

int n_socket_get_retry(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) { return socket_retry(rec); });
} catch (...) {
    return failed_by_exception(n_socket_get_retry);
}

int n_socket_get_timeout(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        return static_cast<int>(rec->timeout);
    });
} catch (...) {
    return failed_by_exception(n_socket_get_timeout);
}

uint16_t n_socket_get_port(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        return ntohs(rec->port);
    });
} catch (...) {
    return failed_by_exception(n_socket_get_port);
}

uint8_t n_socket_get_last_seq(int fd)
try {
    return on_socket(fd, kInval, [](socket_record *rec) {
        const ScopedLock lock(rec->mu);
        return rec->last_seq;
    });
} catch (...) {
    return failed_by_exception(n_socket_get_last_seq);
}

}  // extern "C"
