// Sockets: the record and its registry, network start-up, opening and closing, options, description.
#include "socket.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace nimbet;

namespace {

// Open sockets, newest first. Lookups walk from the head, so when two records
// ever shared a descriptor the newer one would win.
TqHead<socket_record> g_registry = {nullptr, &g_registry.tqh_first};

int g_net_users = 0;

constexpr int kDefaultRetry = 10;
constexpr int kDefaultTimeoutMs = 163;
constexpr unsigned char kIdPrefix[4] = {1, 1, 1, 1};


// Points the destination list at the broadcast address of the first
// interface found: one destination, SOCKET_BROADCAST set. 0, or -1 with 22
// when discovery fails.
int set_broadcast_destination(socket_record *rec)
{
    if (rec == nullptr)
        return fail(kBadF);
    uint32_t addrs[5];
    uint32_t bcasts[5];
    if (n_util_get_local_interfaces(addrs, bcasts, sizeof addrs) < 1)
        return fail(kInval);
    set_destination_slot(rec, reinterpret_cast<const unsigned char *>(&bcasts[0]), 0);
    rec->options |= SOCKET_BROADCAST;
    return 0;
}

const char *yes_no(int fd, int bit)
{
    return n_socket_get_option(fd, bit) > 0 ? "Y" : "N";
}

}  // namespace

namespace nimbet {

int g_lastacks = 5;

socket_record *socket_lookup(int fd)
{
    for (socket_record *rec : SocketQueue::each(g_registry))
        if (rec->fd == fd)
            return rec;
    return nullptr;
}

int bind_socket(socket_record *rec)
{
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = rec->port;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    const sockaddr_in *where = rec->recv_from != nullptr ? rec->recv_from : &any;
    return ::bind(rec->fd, reinterpret_cast<const sockaddr *>(where), sizeof *where);
}

int set_blocking_mode(socket_record *rec, int on)
{
    if (rec == nullptr)
        return fail(kInval);
    const int previous = (rec->options & SOCKET_BLOCKING) ? 1 : 0;
    int nonblocking = on ? 0 : 1;
    ::ioctl(rec->fd, FIONBIO, &nonblocking);
    if (on)
        rec->options |= SOCKET_BLOCKING;
    else
        rec->options &= ~static_cast<uint32_t>(SOCKET_BLOCKING);
    return previous;
}

int set_destination_slot(socket_record *rec, const unsigned char *address, int i)
{
    if (rec == nullptr)
        return fail(kBadF);
    if (address == nullptr || i < 0 || i >= kMaxDestinations)
        return fail(kInval);
    sockaddr_in &slot = rec->send_to[i];
    std::memset(&slot, 0, sizeof slot);
    slot.sin_family = AF_INET;
    slot.sin_port = rec->port;
    std::memcpy(&slot.sin_addr.s_addr, address, kAddrLen);
    rec->num_interfaces = i + 1;
    return 0;
}

// The POSIX socket interface needs no start-up; the count is kept so that
// open and close stay balanced on every platform.
int net_acquire()
{
    ++g_net_users;
    return 0;
}

int net_release()
{
    if (g_net_users > 0)
        --g_net_users;
    return 0;
}

int net_users() { return g_net_users; }

}  // namespace nimbet

extern "C" {

int n_socket_open(uint32_t local_addr, uint32_t dest_addr, uint16_t port)
{
    MallocPtr<socket_record> rec(static_cast<socket_record *>(std::calloc(1, sizeof(socket_record))));
    if (!rec)
        return fail(kNoMem);

    uint32_t locals[kMaxDestinations];
    uint32_t dests[kMaxDestinations];
    int count = 1;
    if (local_addr != 0 || dest_addr != 0) {
        locals[0] = local_addr;
        dests[0] = dest_addr;
    } else {
        count = n_util_get_local_interfaces(locals, dests, sizeof locals);
        if (count < 1)
            return fail(kInval);
    }

    if (net_acquire() != 0)
        return fail(kAgain);
    // Close-on-exec: a library descriptor must not leak into programs the
    // application starts.
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const int e = errno;
        net_release();
        return fail(e);
    }
    const int one = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        const int e = errno;
        ::close(s);
        net_release();
        return fail(e);
    }

    rec->fd = s;
    rec->options = 0;
    rec->port = htons(port);
    rec->last_seq = static_cast<uint8_t>(std::rand() & 0xff);
    rec->ack_seq = static_cast<uint8_t>(std::rand() & 0xff);
    rec->retry = kDefaultRetry;
    rec->timeout = kDefaultTimeoutMs;
    set_blocking_mode(rec.get(), 1);
    for (int i = 0; i < count; ++i)
        set_destination_slot(rec.get(), reinterpret_cast<const unsigned char *>(&dests[i]), i);
    rec->options |= SOCKET_BROADCAST;
    std::memcpy(rec->id, kIdPrefix, sizeof kIdPrefix);
    std::memcpy(rec->id + sizeof kIdPrefix, &locals[0], kAddrLen);

    SocketQueue::insert_head(g_registry, rec.get());
    return rec.release()->fd;
}

int n_socket_close(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    SocketQueue::remove(g_registry, rec);
    ::shutdown(rec->fd, SHUT_RDWR);
    const int result = ::close(rec->fd);
    net_release();
    std::free(rec->recv_from);
    std::free(rec);
    return result;
}

int n_socket_set_option(int fd, int mask, int value)
{
    if (fd == 0 || mask == 0 || (mask & SOCKET_BOUND) != 0)
        return fail(kInval);
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    // Broadcast and blocking act before the value is checked: a refused value
    // still leaves their effect in place, as callers have always seen it.
    if ((mask & SOCKET_BROADCAST) != 0 && set_broadcast_destination(rec) != 0)
        return -1;
    if ((mask & SOCKET_BLOCKING) != 0)
        set_blocking_mode(rec, value);
    const uint32_t low = static_cast<uint32_t>(mask) & SOCKET_LOWFLAG;
    if (value == 0)
        rec->options &= ~low;
    else if (value == 1)
        rec->options |= low;
    else
        return fail(kInval);
    return 0;
}

int n_socket_get_option(int fd, int mask)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr || mask == 0)
        return fail(kInval);
    return static_cast<int>(rec->options & static_cast<uint32_t>(mask));
}

int n_socket_get_blocking(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    return (rec->options & SOCKET_BLOCKING) ? 1 : 0;
}

int n_socket_get_broadcast(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return fail(kInval);
    return (rec->options & SOCKET_BROADCAST) ? 1 : 0;
}

int n_describe_socket(int fd)
{
    socket_record *rec = socket_lookup(fd);
    if (rec == nullptr)
        return std::printf("NO SUCH SOCKET\n");

    std::printf("SOCKET: #%i @%p\n", fd, static_cast<void *>(rec));
    std::printf("fd:\t\t%i\n", rec->fd);
    std::printf("port:\t\t%i\n", static_cast<int>(ntohs(rec->port)));
    if (rec->recv_from != nullptr)
        std::printf("recv_from:\t%s\n", inet_ntoa(rec->recv_from->sin_addr));
    else
        std::printf("recv_from:\tANY\n");
    std::printf("send_to:\t");
    for (int i = 0; i < rec->num_interfaces; ++i)
        std::printf("%s, ", inet_ntoa(rec->send_to[i].sin_addr));
    std::printf("\n");
    std::printf("ACK:\t\t%i x %i (ms)\n", rec->retry, rec->timeout);
    const unsigned char *id = rec->id;
    std::printf("ID:\t\t%i.%i.%i.%i.%i.%i.%i.%i\n", id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7]);

    unsigned char root[16];
    char node[4][10];
    int32_t x = 0, y = 0, z = 0;
    uint8_t deviation = 0;
    n_util_raw2location(root, node[0], node[1], node[2], node[3], &x, &y, &z, &deviation, rec->loc);
    std::printf("LOC:\t\t");
    for (int i = 0; i < 15; ++i)
        std::printf("%i.", root[i]);
    std::printf("%i\n\t\t[%s.%s.%s.%s] [%i/%i/%i @ %i]\n", root[15], node[0], node[1], node[2], node[3], x, y, z,
                deviation);
    std::printf("Seq:\t\t%i\n", rec->last_seq);
    return std::printf("BLOCKING [%s] BOUND [%s] BROADCAST [%s] AUTOACKK [%s]\n receive ALL[%s] FRAGMENTATION[%s]\n",
                       yes_no(fd, SOCKET_BLOCKING), yes_no(fd, SOCKET_BOUND), yes_no(fd, SOCKET_BROADCAST),
                       yes_no(fd, SOCKET_AUTOACK), yes_no(fd, SOCKET_RECV_ALL), yes_no(fd, SOCKET_FRAG));
}

}  // extern "C"
