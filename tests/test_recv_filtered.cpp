// SPDX-License-Identifier: MIT
// Filtered receiving: only packets that a chain accepts reach the application.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "support/frames.h"
#include "support/nodes.h"

using namespace nimbet::test;

namespace {

class FilteredReceive : public NodePair {
protected:
    void broadcast(int fd, const char *type)
    {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, type, nullptr, 0, 0);
        ASSERT_EQ(1, n_socket_send(fd, pkt));
        n_pkt_free(pkt);
    }

    // Waits until b has a datagram to read.
    void await_datagram()
    {
        timeval tv{1, 0};
        ASSERT_EQ(1, n_socket_select(b, &tv));
    }
};

TEST_F(FilteredReceive, ReturnsOnlyAcceptedPacketsAndSkipsRejectedOnesWhenBlocking)
{
    const int chain = n_filter_create("acm only");
    ASSERT_EQ(chain, n_filter_add(chain, FILTER_TYPE_ACL, n_util_str2acl("ACM", nullptr)));
    broadcast(a, "XYZ");
    broadcast(a, "ACM");
    n_socket_set_option(b, SOCKET_BLOCKING, 1);
    n_pkt *got = n_socket_recv_filtered(b, 0, chain);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(0, n_acl_findfirst_str(got, "ACM", nullptr));
    n_pkt_free(got);
}

TEST_F(FilteredReceive, NonBlockingRejectionConsumesTheDatagramAndReports11)
{
    const int chain = n_filter_create(nullptr);
    const unsigned char nobody[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(chain, n_filter_add(chain, FILTER_TYPE_ID, nobody));
    broadcast(a, "XYZ");
    await_datagram();
    n_errno = 0;
    EXPECT_EQ(nullptr, n_socket_recv_filtered(b, 0, chain));
    EXPECT_EQ(11, n_errno);
    timeval zero{0, 0};
    EXPECT_EQ(0, n_socket_select(b, &zero));  // the datagram is gone
}

TEST_F(FilteredReceive, UnknownChainReleasesThePacketAndReportsTheFiltersError)
{
    broadcast(a, "XYZ");
    await_datagram();
    n_errno = 0;
    EXPECT_EQ(nullptr, n_socket_recv_filtered(b, 0, 4711));
    EXPECT_EQ(2, n_errno);
}

TEST_F(FilteredReceive, NothingToReceiveOrNoSocket)
{
    n_errno = 0;
    EXPECT_EQ(nullptr, n_socket_recv_filtered(b, 0, n_filter_create(nullptr)));
    EXPECT_EQ(11, n_errno);
    EXPECT_EQ(nullptr, n_socket_recv_filtered(54321, 0, 1));
    EXPECT_EQ(9, n_errno);
}

// A receive that fails keeps its own number, so that a caller tells a
// socket that is gone or cannot be bound from one that has nothing yet.
TEST_F(FilteredReceive, FailedReceiveKeepsItsOwnNumber)
{
    const int chain = n_filter_create(nullptr);
    const unsigned char junk[3] = {1, 2, 3};
    ASSERT_EQ(1, n_socket_send_raw(a, junk, sizeof junk));
    await_datagram();
    EXPECT_EQ(nullptr, n_socket_recv_filtered(b, 0, chain));
    EXPECT_EQ(N_EILSEQ, n_errno);

    const Bytes part = frame(ida, 1, {payload({1}), cad(idb), cac(2, 0)});
    ASSERT_EQ(1, n_socket_send_raw(a, part.data(), static_cast<int>(part.size())));
    await_datagram();
    EXPECT_EQ(nullptr, n_socket_recv_filtered(b, 0, chain));
    EXPECT_EQ(N_EPROTO, n_errno);

    const int unbindable = n_socket_open(htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK), kNodePort);
    const unsigned char elsewhere[4] = {10, 99, 0, 1};
    ASSERT_EQ(0, n_socket_set_ipsrc(unbindable, elsewhere));
    EXPECT_EQ(nullptr, n_socket_recv_filtered(unbindable, 0, chain));
    EXPECT_EQ(N_ENOTBOUND, n_errno);
    EXPECT_EQ(EADDRNOTAVAIL, n_util_syserr());
    n_socket_close(unbindable);

    // Closed while a blocking receive waits on it.
    n_socket_set_option(b, SOCKET_BLOCKING, 1);
    std::atomic<int> seen{0};
    std::thread waiter([&] {
        n_pkt *got = n_socket_recv_filtered(b, 0, chain);
        seen = got == nullptr ? n_errno : -1;
        n_pkt_free(got);
    });
    n_util_sleepms(50);
    n_socket_close(b);
    waiter.join();
    EXPECT_EQ(N_EBADF, seen.load());
}

}  // namespace

namespace {

// An acknowledgement tells the sender its request arrived: a request that
// the application's chain refuses is not acknowledged (its sender gives up
// and says so), nor remembered; one that passes is acknowledged and
// delivered.
TEST_F(FilteredReceive, RequestTheChainRefusesIsNotAcknowledged)
{
    const NodeId kC = node_id(3);
    const int chain = chain_passing_only(kC);
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    Tap tap;
    const Bytes from_a = frame(ida, 1, {payload({1}), cad(idb), cac(0, 7)});
    const Bytes from_c = frame(kC, 1, {payload({2}), cad(idb), cac(0, 7)});
    for (const Bytes *f : {&from_a, &from_c}) {
        ASSERT_EQ(1, n_socket_send_raw(a, f->data(), static_cast<int>(f->size())));
        await_datagram();
    }
    n_socket_set_option(b, SOCKET_BLOCKING, 1);
    n_pkt *got = n_socket_recv_filtered(b, b, chain);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(0, std::memcmp(got->srcid, kC.data(), 8));
    n_pkt_free(got);
    const std::vector<Bytes> seen = tap.drain(50);
    EXPECT_EQ(0, acks_seen(seen, idb, ida));
    EXPECT_EQ(1, acks_seen(seen, idb, kC));
    // Not remembered either: the same request taken without the chain is new.
    n_socket_set_option(b, SOCKET_BLOCKING, 0);
    ASSERT_EQ(1, n_socket_send_raw(a, from_a.data(), static_cast<int>(from_a.size())));
    await_datagram();
    n_pkt *later = nullptr;
    for (int i = 0; i < 10 && later == nullptr; ++i)
        later = n_socket_recv(b, b);
    ASSERT_NE(nullptr, later);
    n_pkt_free(later);
}

}  // namespace
