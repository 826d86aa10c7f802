// SPDX-License-Identifier: MIT
// Sockets: opening with real interface discovery, failed opens, settings and their refusals, description.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "socket.h"
#include "support/netns.h"
#include "support/nodes.h"

using namespace nimbet;
using nimbet::test::create_veth;
using nimbet::test::require_only_own_interfaces;

namespace {

constexpr uint16_t kPort = 47001;

uint32_t ipv4(const char *text) { return inet_addr(text); }

// Dotted text of a 4-byte buffer handed out by the library, which is freed.
std::string take_address(unsigned char *buf)
{
    if (buf == nullptr)
        return "(null)";
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", buf[0], buf[1], buf[2], buf[3]);
    std::free(buf);
    return text;
}

std::string dotted(const unsigned char *b, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::to_string(b[i]) + (i + 1 < n ? "." : "");
    return s;
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory stream itself
}

void run(const std::string &command)
{
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

// Adds `pairs` veth pairs with an address on each end: 10.201.k.1/24 and 10.201.k.2/24.
void add_addressed_pairs(int pairs)
{
    for (int k = 0; k < pairs; ++k) {
        const std::string net = "10.201." + std::to_string(k) + ".";
        create_veth("va" + std::to_string(k), net + "1/24", "vb" + std::to_string(k), net + "2/24");
    }
}

std::string captured_stdout(const std::function<void()> &f)
{
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Discovery : public testing::Test {
protected:
    void TearDown() override
    {
        if (fd_ > 0)
            n_socket_close(fd_);
    }
    int fd_ = -1;
};

TEST_F(Discovery, OneCardAndLoopbackGiveTwoDestinationsAndTheDefaults)
{
    create_veth("nb0", "10.200.0.1/24", "nb1", "");
    require_only_own_interfaces();
    fd_ = n_socket_open(0, 0, kPort);
    ASSERT_GT(fd_, 0);

    ASSERT_EQ(2, n_socket_get_num_interfaces(fd_));
    EXPECT_EQ("10.200.0.255", take_address(n_socket_get_ipdest(fd_, 0)));
    EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipdest(fd_, 1)));
    SocketRef rec = socket_acquire(fd_);
    EXPECT_EQ(htons(kPort), rec->send_to[0].sin_port);
    EXPECT_EQ(htons(kPort), rec->send_to[1].sin_port);
    EXPECT_EQ(kPort, n_socket_get_port(fd_));
    EXPECT_EQ("1.1.1.1.10.200.0.1", dotted(n_socket_get_id(fd_), 8));
    EXPECT_EQ(std::string(44, '\0'), std::string(reinterpret_cast<char *>(n_socket_get_loc(fd_)), 44));
    EXPECT_EQ(10, n_socket_get_retry(fd_));
    EXPECT_EQ(163, n_socket_get_timeout(fd_));
    EXPECT_EQ(1, n_socket_get_blocking(fd_));
    EXPECT_EQ(1, n_socket_get_broadcast(fd_));
    EXPECT_EQ(0, n_socket_get_option(fd_, SOCKET_LOWFLAG));
    EXPECT_EQ(0, fcntl(fd_, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(0, fcntl(fd_, F_GETFD) & ~FD_CLOEXEC);
}

TEST_F(Discovery, ListsOnlyInterfacesThatAreUpAndCarryIpv4)
{
    create_veth("nb0", "10.200.0.1/24", "nb1", "10.200.1.1/24");
    require_only_own_interfaces();
    run("ip link set dev nb1 down");
    uint32_t addrs[8];
    uint32_t bcasts[8];
    ASSERT_EQ(2, n_util_get_local_interfaces(addrs, bcasts, sizeof addrs));
    EXPECT_EQ(ipv4("10.200.0.1"), addrs[0]);
    EXPECT_EQ(ipv4("10.200.0.255"), bcasts[0]);
    EXPECT_EQ(ipv4("127.0.0.1"), addrs[1]);
    EXPECT_EQ(ipv4("127.0.0.1"), bcasts[1]);

    uint32_t addr = 0, bcast = 0;
    EXPECT_EQ(1, n_util_get_local_addresses(&addr, &bcast));
    EXPECT_EQ(ipv4("10.200.0.1"), addr);
    EXPECT_EQ(ipv4("10.200.0.255"), bcast);
}

TEST_F(Discovery, MoreInterfacesThanSlotsNeverOverflowTheRecord)
{
    add_addressed_pairs(6);  // 12 addressed interfaces and loopback
    require_only_own_interfaces();

    uint32_t addrs[32];
    uint32_t bcasts[32];
    ASSERT_EQ(13, n_util_get_local_interfaces(addrs, bcasts, sizeof addrs));
    EXPECT_EQ(ipv4("127.0.0.1"), addrs[12]);

    // A small capacity is respected exactly.
    uint32_t small[3] = {7, 7, 7};
    uint32_t small_b[3] = {7, 7, 7};
    EXPECT_EQ(2, n_util_get_local_interfaces(small, small_b, 2 * sizeof(uint32_t)));
    EXPECT_EQ(7u, small[2]);
    EXPECT_EQ(7u, small_b[2]);

    fd_ = n_socket_open(0, 0, kPort);
    ASSERT_GT(fd_, 0);
    EXPECT_EQ(SOCKET_MAX_DESTINATIONS, n_socket_get_num_interfaces(fd_));
    n_socket_set_retry(fd_, 3, 77);
    EXPECT_EQ(SOCKET_MAX_DESTINATIONS, n_socket_set_ipdest_all(fd_));
    EXPECT_EQ(SOCKET_MAX_DESTINATIONS, n_socket_get_num_interfaces(fd_));
    for (int i = 0; i < SOCKET_MAX_DESTINATIONS; ++i)
        EXPECT_EQ(bcasts[i], socket_acquire(fd_)->send_to[i].sin_addr.s_addr) << i;
    // The fields after the slots are untouched.
    EXPECT_EQ(3, n_socket_get_retry(fd_));
    EXPECT_EQ(77, n_socket_get_timeout(fd_));
}

TEST_F(Discovery, WithoutUsableInterfaceFailsWithAMessage)
{
    run("ip link set dev lo down");
    uint32_t addrs[4];
    uint32_t bcasts[4];
    testing::internal::CaptureStderr();
    n_errno = 0;
    EXPECT_EQ(-1, n_util_get_local_interfaces(addrs, bcasts, sizeof addrs));
    EXPECT_EQ(19, n_errno);
    EXPECT_EQ(-1, n_socket_open(0, 0, kPort));
    EXPECT_EQ(22, n_errno);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("numInterfaces: ")) << err;

    uint32_t addr = 5, bcast = 5;
    EXPECT_EQ(1, n_util_get_local_addresses(&addr, &bcast));
    EXPECT_EQ(0u, addr);
    EXPECT_EQ(0u, bcast);
    EXPECT_EQ(0, net_users());
}

// Opening with the descriptor table full fails in discovery (which needs a
// descriptor of its own) or, without discovery, in socket creation; either
// way nothing is left behind.
TEST(SocketOpen, FailedOpenLeavesNoRecordNoDescriptorNoReference)
{
    require_only_own_interfaces();
    const int before = open_descriptors();
    testing::internal::CaptureStderr();
    // No descriptor below the lowest free one is free, so a limit at that
    // number makes the next descriptor allocation fail.
    const int lowest_free = fcntl(0, F_DUPFD, 0);
    close(lowest_free);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));

    n_errno = 0;
    const int discovered = n_socket_open(0, 0, kPort);
    const int discovered_errno = n_errno;
    n_errno = 0;
    const int given = n_socket_open(ipv4("127.0.0.1"), ipv4("127.0.0.1"), kPort);
    const int given_errno = n_errno;

    setrlimit(RLIMIT_NOFILE, &saved);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, discovered);
    EXPECT_EQ(22, discovered_errno);
    EXPECT_EQ(0u, err.find("SIOCGIFCONF: ")) << err;
    EXPECT_EQ(-1, given);
    EXPECT_EQ(EMFILE, given_errno);
    EXPECT_EQ(before, open_descriptors());
    EXPECT_EQ(0, net_users());
    for (int fd = 0; fd < 1024; ++fd)
        EXPECT_FALSE(socket_acquire(fd)) << fd;
}

TEST(SocketOpen, GivenAddressesMakeOneDestinationWithoutDiscovery)
{
    create_veth("nb0", "10.200.0.1/24", "nb1", "");
    require_only_own_interfaces();
    const int fd = n_socket_open(ipv4("10.0.0.5"), ipv4("10.0.0.99"), kPort);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(1, n_socket_get_num_interfaces(fd));
    EXPECT_EQ("10.0.0.99", take_address(n_socket_get_ipdest(fd, 0)));
    EXPECT_EQ("1.1.1.1.10.0.0.5", dotted(n_socket_get_id(fd), 8));
    n_socket_close(fd);
}

TEST(SocketOpen, ClosingOneSocketKeepsTheOtherAndBalancesReferences)
{
    require_only_own_interfaces();
    const int a = n_socket_open(0, 0, kPort);
    const int b = n_socket_open(0, 0, kPort + 1);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(2, net_users());
    EXPECT_EQ(0, n_socket_close(a));
    EXPECT_EQ(kPort + 1, n_socket_get_port(b));
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_close(a));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(0, n_socket_close(b));
    EXPECT_EQ(0, net_users());
}

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        require_only_own_interfaces();
        fd_ = n_socket_open(0, 0, kPort);
        ASSERT_GT(fd_, 0);
        n_errno = 0;
    }
    void TearDown() override { n_socket_close(fd_); }
    int fd_ = -1;
};

struct TextCase {
    const char *text;
    int err;  // 0: accepted
};

void PrintTo(const TextCase &c, std::ostream *os) { *os << (c.text ? c.text : "(null)"); }

class DestinationText : public Settings, public testing::WithParamInterface<TextCase> {};

TEST_P(DestinationText, AcceptsExactlyFourNumbersThatMakeAnAddress)
{
    const TextCase c = GetParam();
    const int result = n_socket_set_ipdest_str(fd_, c.text);
    if (c.err == 0) {
        EXPECT_EQ(0, result);
        EXPECT_EQ(1, n_socket_get_num_interfaces(fd_));
        EXPECT_EQ(c.text, take_address(n_socket_get_ipdest(fd_, 0)));
    } else {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(c.err, n_errno);
        EXPECT_EQ(1, n_socket_get_num_interfaces(fd_));
        EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipdest(fd_, 0)));
    }
}

// Numbers with leading zeros are decimal, as in every other dotted text of
// the library (inet_addr would read 010 as octal 8).
TEST_F(Settings, LeadingZerosInAddressTextsAreDecimal)
{
    ASSERT_EQ(0, n_socket_set_ipdest_str(fd_, "010.0.0.009"));
    EXPECT_EQ("10.0.0.9", take_address(n_socket_get_ipdest(fd_, 0)));
    ASSERT_EQ(0, n_socket_set_ipsrc_str(fd_, "127.000.0.01"));
    EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipsrc(fd_)));
}

INSTANTIATE_TEST_SUITE_P(Texts, DestinationText,
                         testing::Values(TextCase{"10.0.0.9", 0}, TextCase{"255.255.255.255", 42},
                                         TextCase{"10.0.0", 22}, TextCase{"1.2.3.4.5", 22},
                                         TextCase{"1.2.3.256", 22}, TextCase{"1.2.x.4", 22},
                                         TextCase{nullptr, 22}));

TEST_F(Settings, IdentifierAndLocationTextsAreCheckedBeforeAnythingChanges)
{
    ASSERT_EQ(0, n_socket_set_id_str(fd_, "10.0.0.7"));
    EXPECT_EQ("1.1.1.1.10.0.0.7", dotted(n_socket_get_id(fd_), 8));
    for (const char *bad : {"1.2.3.4.5.6", "1.2.3.4.5.6.7.8.9", "1.2.3.999", ""}) {
        n_errno = 0;
        EXPECT_EQ(-1, n_socket_set_id_str(fd_, bad)) << bad;
        EXPECT_EQ(22, n_errno) << bad;
    }
    EXPECT_EQ("1.1.1.1.10.0.0.7", dotted(n_socket_get_id(fd_), 8));

    std::string text43;
    for (int i = 0; i < 43; ++i)
        text43 += std::to_string(i) + (i < 42 ? "." : "");
    EXPECT_EQ(-1, n_socket_set_loc_str(fd_, text43.c_str()));
    EXPECT_EQ(-1, n_socket_set_loc_str(fd_, (text43 + ".43.44").c_str()));
    EXPECT_EQ(0, n_socket_get_loc(fd_)[7]);
    ASSERT_EQ(0, n_socket_set_loc_str(fd_, (text43 + ".43").c_str()));
    EXPECT_EQ(7, n_socket_get_loc(fd_)[7]);
    EXPECT_EQ(43, n_socket_get_loc(fd_)[43]);
}

TEST_F(Settings, DestinationListCanOnlyBeShortened)
{
    ASSERT_EQ(0, n_socket_set_ipdest_str(fd_, "10.0.0.1"));
    set_destination_slot(socket_acquire(fd_).get(), reinterpret_cast<const unsigned char *>("\x0a\0\0\x02"), 1);
    ASSERT_EQ(2, n_socket_get_num_interfaces(fd_));
    EXPECT_EQ(-1, n_socket_set_num_interfaces(fd_, 2));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_set_num_interfaces(fd_, 0));
    EXPECT_EQ(1, n_socket_set_num_interfaces(fd_, 1));
    EXPECT_EQ(nullptr, n_socket_get_ipdest(fd_, 1));
    EXPECT_EQ(nullptr, n_socket_get_ipdest(fd_, -1));
    EXPECT_EQ(-1, set_destination_slot(socket_acquire(fd_).get(), reinterpret_cast<const unsigned char *>("abcd"), 10));
}

TEST_F(Settings, RetryKeepsLowEightBits)
{
    ASSERT_EQ(0, n_socket_set_retry(fd_, 300, 50));
    EXPECT_EQ(44, n_socket_get_retry(fd_));
    EXPECT_EQ(50, n_socket_get_timeout(fd_));
}

TEST_F(Settings, OptionValueOtherThanZeroOrOneIsRefusedAfterBlockingTookEffect)
{
    EXPECT_EQ(-1, n_socket_set_option(fd_, SOCKET_AUTOACK, 2));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(0, n_socket_get_option(fd_, SOCKET_AUTOACK));

    ASSERT_EQ(0, n_socket_set_option(fd_, SOCKET_BLOCKING, 0));
    EXPECT_EQ(0, n_socket_get_blocking(fd_));
    EXPECT_NE(0, fcntl(fd_, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(-1, n_socket_set_option(fd_, SOCKET_BLOCKING, 2));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(1, n_socket_get_blocking(fd_));
    EXPECT_EQ(0, fcntl(fd_, F_GETFL) & O_NONBLOCK);

    ASSERT_EQ(0, n_socket_set_option(fd_, SOCKET_AUTOACK | SOCKET_FRAG, 1));
    EXPECT_EQ(SOCKET_AUTOACK | SOCKET_FRAG, n_socket_get_option(fd_, SOCKET_LOWFLAG));
    ASSERT_EQ(0, n_socket_set_option(fd_, SOCKET_FRAG, 0));
    EXPECT_EQ(SOCKET_AUTOACK, n_socket_get_option(fd_, SOCKET_LOWFLAG));
}

TEST_F(Settings, BoundCleanFlagAndDescriptorZeroAreRefused)
{
    for (int mask : {SOCKET_BOUND, SOCKET_CLEANFLAG, SOCKET_BOUND | SOCKET_AUTOACK}) {
        n_errno = 0;
        EXPECT_EQ(-1, n_socket_set_option(fd_, mask, 1)) << mask;
        EXPECT_EQ(22, n_errno) << mask;
    }
    EXPECT_EQ(0, n_socket_get_option(fd_, SOCKET_LOWFLAG));
    EXPECT_EQ(-1, n_socket_set_option(0, SOCKET_AUTOACK, 1));
    EXPECT_EQ(-1, n_socket_get_option(fd_, 0));
}

TEST_F(Settings, BroadcastOptionKeepsOnlyTheFirstInterfaceEvenWithValueZero)
{
    ASSERT_EQ(0, n_socket_set_ipdest_str(fd_, "10.0.0.1"));
    ASSERT_EQ(0, n_socket_set_option(fd_, SOCKET_BROADCAST, 0));
    EXPECT_EQ(1, n_socket_get_num_interfaces(fd_));
    EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipdest(fd_, 0)));
    EXPECT_EQ(1, n_socket_get_broadcast(fd_));
}

TEST_F(Settings, BindAddressAppliesToTheFirstBindAndIsFrozenAfterIt)
{
    EXPECT_EQ("0.0.0.0", take_address(n_socket_get_ipsrc(fd_)));
    ASSERT_EQ(0, n_socket_set_ipsrc_str(fd_, "127.0.0.1"));
    EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipsrc(fd_)));

    SocketRef ref = socket_acquire(fd_);
    socket_record *rec = ref.get();
    ASSERT_EQ(0, bind_socket(rec));
    rec->options |= SOCKET_BOUND;
    sockaddr_in where{};
    socklen_t len = sizeof where;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&where), &len);
    EXPECT_EQ(ipv4("127.0.0.1"), where.sin_addr.s_addr);
    EXPECT_EQ(htons(kPort), where.sin_port);

    EXPECT_EQ(-1, n_socket_set_ipsrc_str(fd_, "127.0.0.2"));
    EXPECT_EQ(16, n_errno);
    EXPECT_EQ("127.0.0.1", take_address(n_socket_get_ipsrc(fd_)));
    EXPECT_EQ(0, n_socket_set_ipsrc_all(fd_));
    EXPECT_EQ("0.0.0.0", take_address(n_socket_get_ipsrc(fd_)));
}

// Every operation on a descriptor that names no socket, with the error
// number each one has always reported.
struct UnknownFdCase {
    const char *name;
    std::function<bool()> call;  // true when the result is the failure value
    int err;
};

void PrintTo(const UnknownFdCase &c, std::ostream *os) { *os << c.name; }

class UnknownDescriptor : public testing::TestWithParam<UnknownFdCase> {};

TEST_P(UnknownDescriptor, FailsWithItsOwnErrorNumber)
{
    n_errno = 0;
    EXPECT_TRUE(GetParam().call());
    EXPECT_EQ(GetParam().err, n_errno);
}

constexpr int kNoSocket = 999;
const unsigned char kBytes[44] = {1, 2, 3, 4, 5, 6, 7, 8};

INSTANTIATE_TEST_SUITE_P(
    Operations, UnknownDescriptor,
    testing::Values(
        UnknownFdCase{"set_ipdest", [] { return n_socket_set_ipdest(kNoSocket, kBytes) == -1; }, 9},
        UnknownFdCase{"set_ipdest_str", [] { return n_socket_set_ipdest_str(kNoSocket, "1.2.3.4") == -1; }, 9},
        UnknownFdCase{"set_ipdest_all", [] { return n_socket_set_ipdest_all(kNoSocket) == -1; }, 22},
        UnknownFdCase{"set_num_interfaces", [] { return n_socket_set_num_interfaces(kNoSocket, 1) == -1; }, 9},
        UnknownFdCase{"set_ipsrc", [] { return n_socket_set_ipsrc(kNoSocket, kBytes) == -1; }, 9},
        UnknownFdCase{"set_ipsrc_str", [] { return n_socket_set_ipsrc_str(kNoSocket, "1.2.3.4") == -1; }, 9},
        UnknownFdCase{"set_ipsrc_all", [] { return n_socket_set_ipsrc_all(kNoSocket) == -1; }, 9},
        UnknownFdCase{"set_id", [] { return n_socket_set_id(kNoSocket, kBytes) == -1; }, 9},
        UnknownFdCase{"set_id_str", [] { return n_socket_set_id_str(kNoSocket, "1.2.3.4") == -1; }, 9},
        UnknownFdCase{"set_loc", [] { return n_socket_set_loc(kNoSocket, kBytes) == -1; }, 9},
        UnknownFdCase{"set_loc_str", [] { return n_socket_set_loc_str(kNoSocket, "1") == -1; }, 9},
        UnknownFdCase{"set_retry", [] { return n_socket_set_retry(kNoSocket, 1, 1) == -1; }, 9},
        UnknownFdCase{"set_option", [] { return n_socket_set_option(kNoSocket, SOCKET_FRAG, 1) == -1; }, 22},
        UnknownFdCase{"get_option", [] { return n_socket_get_option(kNoSocket, SOCKET_FRAG) == -1; }, 22},
        UnknownFdCase{"get_blocking", [] { return n_socket_get_blocking(kNoSocket) == -1; }, 22},
        UnknownFdCase{"get_broadcast", [] { return n_socket_get_broadcast(kNoSocket) == -1; }, 22},
        UnknownFdCase{"get_id", [] { return n_socket_get_id(kNoSocket) == nullptr; }, 22},
        UnknownFdCase{"get_loc", [] { return n_socket_get_loc(kNoSocket) == nullptr; }, 22},
        UnknownFdCase{"get_ipdest", [] { return n_socket_get_ipdest(kNoSocket, 0) == nullptr; }, 9},
        UnknownFdCase{"get_ipsrc", [] { return n_socket_get_ipsrc(kNoSocket) == nullptr; }, 9},
        UnknownFdCase{"get_num_interfaces", [] { return n_socket_get_num_interfaces(kNoSocket) == -1; }, 9},
        UnknownFdCase{"get_retry", [] { return n_socket_get_retry(kNoSocket) == -1; }, 22},
        UnknownFdCase{"get_timeout", [] { return n_socket_get_timeout(kNoSocket) == -1; }, 22},
        UnknownFdCase{"get_port", [] { return n_socket_get_port(kNoSocket) == 0xFFFF; }, 22},
        UnknownFdCase{"get_last_seq", [] { return n_socket_get_last_seq(kNoSocket) == 0xFF; }, 22},
        UnknownFdCase{"set_kernel_drops", [] { return n_socket_set_kernel_drops(kNoSocket, 1) == -1; }, 9},
        // The calls added since: 9 where a socket is asked to do or tell something.
        UnknownFdCase{"set_frag_limits", [] { return n_socket_set_frag_limits(kNoSocket, 1, 1) == -1; }, 9},
        UnknownFdCase{"set_transfer_check", [] { return n_socket_set_transfer_check(kNoSocket, 1) == -1; }, 9},
        UnknownFdCase{"get_stats", [] { n_socket_stats s; return n_socket_get_stats(kNoSocket, &s) == -1; }, 9},
        UnknownFdCase{"reset_stats", [] { return n_socket_reset_stats(kNoSocket) == -1; }, 9},
        UnknownFdCase{"recv_timeout", [] { return n_socket_recv_timeout(kNoSocket, 0, 0) == nullptr; }, 9},
        UnknownFdCase{"next_timer", [] { return n_socket_next_timer(kNoSocket) == -1; }, 9},
        UnknownFdCase{"serve_timers", [] { return n_socket_serve_timers(kNoSocket) == -1; }, 9},
        UnknownFdCase{"close", [] { return n_socket_close(kNoSocket) == -1; }, 22}),
    [](const testing::TestParamInfo<UnknownFdCase> &info) { return std::string(info.param.name); });

TEST(SocketDescription, FreshSocketPrintsEverySettingExactly)
{
    create_veth("nb0", "10.200.0.1/24", "nb1", "");
    require_only_own_interfaces();
    const int fd = n_socket_open(0, 0, kPort);
    ASSERT_GT(fd, 0);
    char head[64];
    std::snprintf(head, sizeof head, "SOCKET: #%i @%p\nfd:\t\t%i\n", fd, static_cast<void *>(socket_acquire(fd).get()), fd);
    const std::string seq = std::to_string(n_socket_get_last_seq(fd));

    int result = 0;
    const std::string out = captured_stdout([&] { result = n_describe_socket(fd); });
    const std::string last = "BLOCKING [Y] BOUND [N] BROADCAST [Y] AUTOACKK [N]\n receive ALL[N] FRAGMENTATION[N]\n";
    EXPECT_EQ(std::string(head) +
                  "port:\t\t47001\n"
                  "recv_from:\tANY\n"
                  "send_to:\t10.200.0.255, 127.0.0.1, \n"
                  "ACK:\t\t10 x 163 (ms)\n"
                  "ID:\t\t1.1.1.1.10.200.0.1\n"
                  "LOC:\t\t0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0\n"
                  "\t\t[000000000.000000000.000000000.000000000] [0/0/0 @ 0]\n"
                  "Seq:\t\t" + seq + "\n" + last,
              out);
    EXPECT_EQ(static_cast<int>(last.size()), result);
    n_socket_close(fd);
}

TEST(SocketDescription, ShowsBindAddressDecodedLocationAndEmptyDestinations)
{
    require_only_own_interfaces();
    const int fd = n_socket_open(0, 0, kPort);
    ASSERT_GT(fd, 0);
    unsigned char loc[44];
    const unsigned char root[16] = {255, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 200};
    n_util_location2raw(root, "ab", "hall", "node-7", "x", 5, 1250, 63700, 9, loc);
    n_socket_set_loc(fd, loc);
    n_socket_set_ipsrc_str(fd, "127.0.0.1");
    SocketRef ref = socket_acquire(fd);
    socket_record *rec = ref.get();
    rec->num_interfaces = 0;
    bind_socket(rec);
    rec->options |= SOCKET_BOUND;

    const std::string out = captured_stdout([&] { n_describe_socket(fd); });
    EXPECT_NE(std::string::npos, out.find("recv_from:\t127.0.0.1\nsend_to:\t\nACK:")) << out;
    EXPECT_NE(std::string::npos,
              out.find("LOC:\t\t255.1.2.3.4.5.6.7.8.9.10.11.12.13.14.200\n"
                       "\t\t[ab       .hall     .node-7   .x        ] [5/1300/63000 @ 9]\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("BOUND [Y]")) << out;
    n_socket_close(fd);
}

TEST(SocketDescription, UnknownDescriptorPrintsOneLine)
{
    int result = 0;
    EXPECT_EQ("NO SUCH SOCKET\n", captured_stdout([&] { result = n_describe_socket(kNoSocket); }));
    EXPECT_EQ(15, result);
}

}  // namespace

namespace {

using nimbet::test::node_id;
using nimbet::test::open_node;

// Sends `count` frames from `from` without a pause, then reads `to` dry.
void burst(int from, int to, int count)
{
    n_pkt *pkt = n_pkt_alloc();
    const unsigned char data[40] = {};
    n_acl_add_str(pkt, "tmp", data, sizeof data, 0);
    for (int i = 0; i < count; ++i)
        n_socket_send(from, pkt);
    n_pkt_free(pkt);
    while (n_pkt *got = n_socket_recv_timeout(to, 0, 20))
        n_pkt_free(got);
}

n_socket_stats stats_of(int fd)
{
    n_socket_stats st{};
    EXPECT_EQ(0, n_socket_get_stats(fd, &st));
    return st;
}

}  // namespace

// A burst into a receive buffer too small for it: every frame is either
// read or counted as dropped by the system, once the socket asked for it.
TEST(KernelDrops, EveryFrameOfABurstIsReadOrCountedOnceAskedFor)
{
    require_only_own_interfaces();
    const int a = open_node(node_id(1), kPort);
    const int counting = open_node(node_id(2), kPort);
    const int silent = open_node(node_id(3), kPort);
    for (int fd : {counting, silent}) {
        const int tiny = 1;  // the system's minimum: a few datagrams
        ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny));
    }
    ASSERT_EQ(0, n_socket_set_kernel_drops(counting, 1));
    constexpr int kFrames = 300;
    burst(a, counting, kFrames);
    burst(a, silent, 0);
    const n_socket_stats c = stats_of(counting);
    EXPECT_GT(c.kernel_drops, 0u);
    EXPECT_EQ(uint64_t{kFrames}, c.frames_received + c.kernel_drops);
    EXPECT_EQ(0u, stats_of(silent).kernel_drops);

    // Counted again from a reset, and from 0 once switched off and on.
    ASSERT_EQ(0, n_socket_reset_stats(counting));
    burst(a, counting, kFrames);
    const n_socket_stats again = stats_of(counting);
    EXPECT_EQ(uint64_t{kFrames}, again.frames_received + again.kernel_drops);
    ASSERT_EQ(0, n_socket_set_kernel_drops(counting, 0));
    burst(a, counting, 10);
    ASSERT_EQ(0, n_socket_set_kernel_drops(counting, 1));
    EXPECT_EQ(0u, stats_of(counting).kernel_drops);
    for (int fd : {a, counting, silent})
        n_socket_close(fd);
}

// The kernel filter that drops a socket's own frames for other nodes stays
// off while drops are counted: those frames would count as losses.
TEST(KernelDrops, OwnFramesForOtherNodesAreNotCountedAsDrops)
{
    require_only_own_interfaces();
    const int fd = open_node(node_id(2), kPort);
    ASSERT_EQ(0, n_socket_set_kernel_drops(fd, 1));
    n_pkt *pkt = n_pkt_alloc();
    const unsigned char other[8] = {1, 1, 1, 1, 10, 0, 0, 9};
    n_acl_add_str(pkt, "msg", other, 1, 0);
    for (int i = 0; i < 5; ++i)
        n_socket_send_addressed(fd, pkt, other);
    n_pkt_free(pkt);
    burst(fd, fd, 0);
    const n_socket_stats st = stats_of(fd);
    EXPECT_EQ(0u, st.kernel_drops);
    EXPECT_EQ(5u, st.not_for_us);  // read back and passed over instead
    n_socket_close(fd);
}
