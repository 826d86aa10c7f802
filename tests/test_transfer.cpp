// SPDX-License-Identifier: MIT
// Transfers between real nodes: buffers and files of every size class, a blocking receiver that serves its timers, a lossy relay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frag.h"
#include "socket.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/nodes.h"
#include "support/relay.h"

using namespace nimbet;
using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);  // sends
const NodeId kB = node_id(2);  // receives
const unsigned char kType[2] = {0x12, 0x34};

std::string temp_path(const std::string &name) { return ::testing::TempDir() + name; }

void write_file(const std::string &path, const Bytes &data)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// State of a fragmentation, or -1 when there is none.
int state(const NodeId &id) { return n_frag_get_status(id.data(), FRAG_STATE_MASK); }

Bytes received_data()
{
    unsigned char *data = nullptr;
    const int len = n_frag_get_data(kA.data(), &data);
    if (len < 0 || (len > 0 && data == nullptr))
        return {};
    return Bytes(data, data + len);
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = open_node(kA);
        b = open_node(kB);
        n_socket_set_option(b, SOCKET_FRAG, 1);
    }
    void TearDown() override
    {
        n_socket_close(a);
        n_socket_close(b);
    }

    // Receives on both nodes until both sides have finished.
    bool run_to_end(int ms = 60000)
    {
        return pump({a, b}, [] { return state(kB) == FRAG_FINISHED && state(kA) == FRAG_FINISHED; }, ms);
    }

    int a = -1;
    int b = -1;
};

struct BufferCase {
    std::size_t size;
    bool described;  // false: the plain wire, counted by the sequence byte alone
};

void PrintTo(const BufferCase &c, std::ostream *os) { *os << c.size << (c.described ? " bytes" : " bytes, plain"); }

class BufferTransfer : public Transfer, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferTransfer, ArrivesByteIdentical)
{
    const Bytes data = random_bytes(GetParam().size, 11);
    n_socket_set_transfer_check(a, GetParam().described ? 1 : 0);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));
    ASSERT_TRUE(run_to_end());
    EXPECT_EQ(FRAG_FINISHED | FRAG_RECEIVING, n_frag_get_status(kA.data(), 0xffff));
    EXPECT_EQ(static_cast<int>(data.size()), n_frag_get_data_length(kA.data()));
    EXPECT_EQ(data, received_data());
    // The finished sides are deleted, and the next transfer can start.
    EXPECT_EQ(1, n_frag_delete(kA.data()));
    EXPECT_EQ(1, n_frag_delete(kB.data()));
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));
    ASSERT_TRUE(run_to_end());
    EXPECT_EQ(data, received_data());
}

// 300 parts without a descriptor: the sequence byte wraps on both sides.
INSTANTIATE_TEST_SUITE_P(Sizes, BufferTransfer,
                         ::testing::Values(BufferCase{0, true}, BufferCase{45, true}, BufferCase{46, true},
                                           BufferCase{100, true}, BufferCase{64 * 1024, true},
                                           BufferCase{300 * 45, false}),
                         [](const auto &info) {
                             return (info.param.described ? "Bytes" : "PlainBytes") +
                                    std::to_string(info.param.size);
                         });

TEST_F(Transfer, MebibyteFileArrivesByteIdentical)
{
    const Bytes data = random_bytes(1 << 20, 5);
    const std::string src = temp_path("transfer_src.bin");
    const std::string dst = temp_path("transfer_dst.bin");
    write_file(src, data);
    const uint32_t start = n_util_getmstime();
    ASSERT_EQ(1, n_socket_send_file(a, a, src.c_str(), kB.data(), kType));
    ASSERT_TRUE(run_to_end(120000));
    const uint32_t took = n_util_getmstime() - start;
    ASSERT_EQ(1 << 20, n_frag_get_data_file(kA.data(), dst.c_str()));
    EXPECT_EQ(data, read_file(dst));
    const double mib_per_s = took > 0 ? 1000.0 / took : 0.0;
    std::printf("1 MiB file over loopback: %u ms, %.2f MiB/s (%u parts)\n", took, mib_per_s, (1u << 20) / 45 + 1);
    RecordProperty("mebibyte_ms", static_cast<int>(took));
    std::remove(src.c_str());
    std::remove(dst.c_str());
}

// A blocking receive on a socket that drives fragmentations waits no longer
// than the next fragment timer: when the acknowledgement of a part is lost,
// the part goes out again while the application sits in n_socket_recv. The
// peer here is a thread with plain sockets (the library is single-threaded):
// it ignores the first copy of the part and acknowledges the second.
TEST_F(Transfer, BlockingReceiveResendsAPartWhoseAcknowledgementWasLost)
{
    Tap wire;
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes ack = ack_frame(kB, kA, 4, 0);
    const Bytes wake = frame(node_id(9), 1, {payload({0})});
    n_socket_set_retry(a, 5, 30);
    n_socket_set_option(a, SOCKET_BLOCKING, 1);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), kB.data(), kType));

    std::atomic<int> copies{0};
    std::thread peer([&] {
        const int out = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(out, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kNodePort);
        to.sin_addr.s_addr = inet_addr("127.255.255.255");
        const auto send = [&](const Bytes &f) {
            sendto(out, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        };
        const auto start = std::chrono::steady_clock::now();
        while (copies < 2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
            const Bytes f = wire.next(50);
            if (!f.empty() && wire_source(f) == kA && wire_control(f).control == 4)
                ++copies;
        }
        // The second copy is acknowledged; without one, a frame for
        // everybody ends the blocking receive so that the test fails.
        send(copies >= 2 ? ack : wake);
        close(out);
    });
    PacketPtr got(n_socket_recv(a, a));
    peer.join();
    EXPECT_GE(copies.load(), 2);
    ASSERT_NE(nullptr, got);
    n_acl *cac = nullptr;
    ASSERT_GE(n_acl_findfirst(got.get(), kTypeCAC, &cac), 0);
    EXPECT_EQ(5, cac->data[0]);
    EXPECT_EQ(FRAG_FINISHED, state(kB));
}

// ---------------------------------------------------------------- lossy relay

struct LossCase {
    std::string name;
    double drop;
    int retry;
    int timeout;
    std::size_t size;
    bool must_finish;
};

void PrintTo(const LossCase &c, std::ostream *os) { *os << c.name; }

class LossyTransfer : public ::testing::TestWithParam<LossCase> {};

// A receiver that finished holds exactly the data; one that did not
// (aborted, or never reached) hands out no data at all, and the sender
// never reports success for data that did not arrive.
TEST_P(LossyTransfer, DataArriveByteIdenticalOrTheTransferAborts)
{
    const LossCase &c = GetParam();
    const int a = relay_node(kA, true, c.retry, c.timeout);
    const int b = relay_node(kB, false, c.retry, c.timeout);
    const Bytes data = random_bytes(c.size, 3);
    const Faults lossy{c.drop};
    FaultRelay relay(lossy, lossy, 1234);
    const TransferRun run = run_transfer(a, b, kA, kB, data, relay, 60000);
    EXPECT_GT(relay.faults(), 0);
    EXPECT_FALSE(run.hung);
    if (c.must_finish) {
        EXPECT_STREQ("identical", run.verdict());
    } else {
        EXPECT_TRUE(std::string(run.verdict()) == "identical" || std::string(run.verdict()) == "clean abort")
            << run.verdict();
    }
    n_socket_close(a);
    n_socket_close(b);
}

INSTANTIATE_TEST_SUITE_P(
    Relay, LossyTransfer,
    ::testing::Values(LossCase{"TenPercentLost", 0.10, 20, 20, 6000, true},
                      LossCase{"MostLostFewRetries", 0.45, 2, 10, 6000, false}),
    [](const auto &info) { return info.param.name; });

}  // namespace
