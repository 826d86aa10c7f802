// SPDX-License-Identifier: MIT
// Filtered receiving: only packets that a chain accepts reach the application.
#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
