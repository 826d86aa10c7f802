// SPDX-License-Identifier: MIT
// The namespace harness: loopback works inside it, veth pairs get their addresses, strangers are refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "support/netns.h"

namespace {

using nimbet::test::create_veth;
using nimbet::test::in_private_netns;
using nimbet::test::require_only_own_interfaces;

// A UDP socket bound to addr:0 that gives up receiving after two seconds.
class UdpSocket {
public:
    explicit UdpSocket(const char *addr)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_GE(fd_, 0);
        timeval limit{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, addr, &sa.sin_addr);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa)) << std::strerror(errno);
        socklen_t len = sizeof local_;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&local_), &len);
    }
    ~UdpSocket() { close(fd_); }
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    bool send_to(const UdpSocket &peer, const std::string &text)
    {
        return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&peer.local_),
                      sizeof peer.local_) == static_cast<ssize_t>(text.size());
    }

    std::string receive(std::string *from = nullptr)
    {
        char buf[64];
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &len);
        if (n < 0)
            return "<nothing: " + std::string(std::strerror(errno)) + ">";
        if (from != nullptr) {
            char text[INET_ADDRSTRLEN];
            *from = inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        }
        return std::string(buf, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    sockaddr_in local_{};
};

std::set<std::string> interface_names()
{
    std::set<std::string> names;
    struct if_nameindex *list = if_nameindex();
    for (struct if_nameindex *i = list; i != nullptr && i->if_index != 0; ++i)
        names.insert(i->if_name);
    if_freenameindex(list);
    return names;
}

TEST(Namespace, TestsRunIsolatedWithOnlyLoopback)
{
    EXPECT_TRUE(in_private_netns());
    EXPECT_EQ(std::set<std::string>{"lo"}, interface_names());
}

// Sends one datagram between two sockets bound to the given addresses.
void expect_datagram(const char *from_addr, const char *to_addr)
{
    UdpSocket a(from_addr);
    UdpSocket b(to_addr);
    ASSERT_TRUE(a.send_to(b, "hello"));
    std::string from;
    EXPECT_EQ("hello", b.receive(&from));
    EXPECT_EQ(from_addr, from);
}

TEST(Namespace, DatagramCrossesLoopback)
{
    expect_datagram("127.0.0.1", "127.0.0.1");
}

TEST(Namespace, VethPairGetsItsAddressesAndIsAccepted)
{
    create_veth("nbt0", "10.200.0.1/24", "nbt1", "10.200.0.2/24");
    require_only_own_interfaces();  // ends the process if it refused
    EXPECT_EQ((std::set<std::string>{"lo", "nbt0", "nbt1"}), interface_names());

    std::set<std::string> seen;
    ifaddrs *list = nullptr;
    ASSERT_EQ(0, getifaddrs(&list));
    for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_broadaddr == nullptr)
            continue;
        char addr[INET_ADDRSTRLEN], brd[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, addr, sizeof addr);
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr, brd, sizeof brd);
        seen.insert(std::string(i->ifa_name) + " " + addr + " " + brd);
    }
    freeifaddrs(list);
    EXPECT_EQ(1u, seen.count("nbt0 10.200.0.1 10.200.0.255"));
    EXPECT_EQ(1u, seen.count("nbt1 10.200.0.2 10.200.0.255"));
    expect_datagram("10.200.0.1", "10.200.0.2");
}

TEST(NamespaceDeathTest, ForeignInterfaceIsRefused)
{
    // The child moves to a namespace of its own first, so the stranger it
    // adds never reaches this process's namespace.
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNET) != 0 ||
                std::system("ip link add nbtstr0 type veth peer name nbtstr1 >/dev/null 2>&1") != 0)
                std::_Exit(99);
            require_only_own_interfaces();
            std::_Exit(0);
        },
        testing::ExitedWithCode(3), "REFUSING TO RUN: found network interface 'nbtstr[01]'");
    EXPECT_EQ(std::set<std::string>{"lo"}, interface_names());
}

}  // namespace
