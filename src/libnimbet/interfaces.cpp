// SPDX-License-Identifier: MIT
// Discovery of the local IPv4 interfaces and the addresses that reach their networks.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>

#include "socket.h"

using namespace nimbet;

namespace {

// An interface takes part when it is up and has an IPv4 address; an
// interface that is down cannot carry a frame, and discovery is about where
// frames can go.
bool usable(const ifaddrs *ifa)
{
    return ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET && (ifa->ifa_flags & IFF_UP) != 0;
}

bool is_loopback(const ifaddrs *ifa) { return (ifa->ifa_flags & IFF_LOOPBACK) != 0; }

uint32_t ipv4_of(const sockaddr *sa)
{
    return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr;
}

// Holds one network stack reference for the duration of a discovery.
struct NetUse {
    NetUse() { net_acquire(); }
    ~NetUse() { net_release(); }
    NetUse(const NetUse &) = delete;
    NetUse &operator=(const NetUse &) = delete;
};

}  // namespace

extern "C" {

int n_util_get_local_interfaces(uint32_t *addrs, uint32_t *broadcasts, int capacity)
try {
    const int room = capacity > 0 ? capacity / static_cast<int>(sizeof(uint32_t)) : 0;
    if (room > 0 && (addrs == nullptr || broadcasts == nullptr))
        return fail(kInval);

    NetUse use;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        const int e = errno;
        std::perror("SIOCGIFCONF");
        return fail_sys(kNoDev, e);
    }

    // Non-loopback interfaces first, in the order the system lists them, each
    // with its directed broadcast address; then the loopback interfaces,
    // which are reached at their own address.
    int n = 0;
    bool found = false;
    for (bool loopback_pass : {false, true}) {
        for (const ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
            if (!usable(ifa))
                continue;
            found = true;
            if (is_loopback(ifa) != loopback_pass || n >= room)
                continue;
            const uint32_t addr = ipv4_of(ifa->ifa_addr);
            const uint32_t mask = ifa->ifa_netmask != nullptr ? ipv4_of(ifa->ifa_netmask) : 0xFFFFFFFFu;
            addrs[n] = addr;
            broadcasts[n] = loopback_pass ? addr : (addr | ~mask);
            ++n;
        }
    }
    ::freeifaddrs(list);

    if (!found) {
        errno = ENODEV;
        std::perror("numInterfaces");
        return fail(kNoDev);
    }
    return n;
} catch (...) {
    return failed_by_exception(n_util_get_local_interfaces);
}

int n_util_get_local_addresses(uint32_t *addr_out, uint32_t *broadcast_out)
try {
    uint32_t addrs[kMaxDestinations];
    uint32_t bcasts[kMaxDestinations];
    // Without any interface both answers are the any-address 0.0.0.0.
    uint32_t addr = 0;
    uint32_t bcast = 0;
    if (n_util_get_local_interfaces(addrs, bcasts, sizeof addrs) > 0) {
        addr = addrs[0];
        bcast = bcasts[0];
    }
    if (addr_out != nullptr)
        *addr_out = addr;
    if (broadcast_out != nullptr)
        *broadcast_out = bcast;
    return 1;
} catch (...) {
    return failed_by_exception(n_util_get_local_addresses);
}

}  // extern "C"
