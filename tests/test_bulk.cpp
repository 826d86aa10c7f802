// SPDX-License-Identifier: MIT
// Bulk transfer entry points: buffers and files become sending fragmentations, options, refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "frag.h"
#include "support/frames.h"
#include "support/nodes.h"

using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);
const unsigned char kType[2] = {0x12, 0x34};

class Bulk : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = open_node(kA);
        ack = open_node(node_id(7));
    }
    void TearDown() override
    {
        n_socket_close(a);
        n_socket_close(ack);
        for (const std::string &p : files)
            std::remove(p.c_str());
    }

    std::string write_file(const std::string &name, const Bytes &contents)
    {
        const std::string path = ::testing::TempDir() + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(contents.data()),
                                                     static_cast<std::streamsize>(contents.size()));
        files.push_back(path);
        return path;
    }

    // The first part on the wire: its data bytes and "CAC" control byte.
    std::pair<Bytes, int> first_part()
    {
        for (const Bytes &f : tap.drain(30)) {
            if (wire_source(f) != kA)
                continue;
            const std::size_t len = f[56];
            return {Bytes(f.begin() + 57, f.begin() + 57 + static_cast<long>(len)), wire_control(f).control};
        }
        return {{}, -1};
    }

    bool frag_on(int fd) { return n_socket_get_option(fd, SOCKET_FRAG) == SOCKET_FRAG; }

    int a = -1;
    int ack = -1;
    Tap tap;
    std::vector<std::string> files;
};

TEST_F(Bulk, BufferStartsATransferAndSwitchesFragmentsOnBothSockets)
{
    const Bytes data(60, 0x21);
    ASSERT_EQ(1, n_socket_send_buffer(a, ack, data.data(), 60, kB.data(), kType));
    EXPECT_TRUE(frag_on(a));
    EXPECT_TRUE(frag_on(ack));
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kB.data(), 0xffff));
    EXPECT_EQ(60, n_frag_get_data_length(kB.data()));
    const auto [bytes, control] = first_part();
    EXPECT_EQ(Bytes(45, 0x21), bytes);
    EXPECT_EQ(2, control);
}

TEST_F(Bulk, EmptyBufferIsOneEmptyLastPart)
{
    ASSERT_EQ(1, n_socket_send_buffer(a, a, nullptr, 0, kB.data(), kType));
    const auto [bytes, control] = first_part();
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(4, control);
}

TEST_F(Bulk, SecondTransferToTheSameNodeWaitsForTheFirstToBeDeleted)
{
    const Bytes data(10, 1);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), 10, kB.data(), kType));
    n_socket_set_option(ack, SOCKET_FRAG, 0);
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_buffer(a, ack, data.data(), 10, kB.data(), kType));
    EXPECT_EQ(13, n_errno);
    EXPECT_TRUE(frag_on(ack));  // set all the same
    ASSERT_EQ(1, n_frag_abort(kB.data()));
    ASSERT_EQ(1, n_frag_delete(kB.data()));
    EXPECT_EQ(1, n_socket_send_buffer(a, ack, data.data(), 10, kB.data(), kType));
}

TEST_F(Bulk, RefusesUnknownSocketsAndNegativeLengths)
{
    const Bytes data(10, 1);
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_buffer(12345, a, data.data(), 10, kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_buffer(a, 12345, data.data(), 10, kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_buffer(a, a, data.data(), -1, kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_FALSE(frag_on(a));
    EXPECT_EQ(nullptr, n_frag_get_frag(kB.data()));
}

TEST_F(Bulk, TextFormsDecodeTheDestinationBeforeAnythingElse)
{
    const Bytes data(10, 1);
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_buffer_str(12345, 12345, data.data(), 10, "1.2.300", "abc"));
    EXPECT_EQ(42, n_errno);
    // Nine numbers: the first eight name the node.
    ASSERT_EQ(1, n_socket_send_buffer_str(a, a, data.data(), 10, "1.1.1.1.10.0.0.2.77", "abc"));
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(kB.data(), 0xffff));
    unsigned char type[2];
    n_util_str2acl("abc", type);
    tap.drain(10);
    n_frag_next_part(kB.data());
    const Bytes f = tap.next();
    ASSERT_GT(f.size(), 56u);
    EXPECT_EQ(type[0], f[54]);
    EXPECT_EQ(type[1], f[55]);
    // Fewer than eight: the rest of the identifier is zero.
    ASSERT_EQ(1, n_socket_send_buffer_str(a, a, data.data(), 10, "4.5", "abc"));
    const unsigned char padded[8] = {4, 5, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(FRAG_ACTIVE, n_frag_get_status(padded, 0xffff));
}

TEST_F(Bulk, FileIsSentWithItsContents)
{
    Bytes contents(50);
    for (std::size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<unsigned char>(i * 3);
    const std::string path = write_file("bulk_file.bin", contents);
    ASSERT_EQ(1, n_socket_send_file(a, ack, path.c_str(), kB.data(), kType));
    EXPECT_TRUE(frag_on(a));
    EXPECT_TRUE(frag_on(ack));
    EXPECT_EQ(50, n_frag_get_data_length(kB.data()));
    const auto [bytes, control] = first_part();
    EXPECT_EQ(Bytes(contents.begin(), contents.begin() + 45), bytes);
    EXPECT_EQ(2, control);
}

TEST_F(Bulk, EmptyFileIsOneEmptyLastPart)
{
    const std::string path = write_file("bulk_empty.bin", {});
    ASSERT_EQ(1, n_socket_send_file(a, a, path.c_str(), kB.data(), kType));
    const auto [bytes, control] = first_part();
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(4, control);
}

// Only a regular file has a length to announce: a FIFO (which would wait
// for a writer), a device or a directory is refused at once.
TEST_F(Bulk, MissingFileOrAnythingButARegularFileChangesNothing)
{
    const std::string fifo = ::testing::TempDir() + "send.fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    files.push_back(fifo);
    for (const std::string &path : {fifo, std::string("/dev/zero"), ::testing::TempDir()}) {
        n_errno = 0;
        EXPECT_EQ(-1, n_socket_send_file(a, ack, path.c_str(), kB.data(), kType)) << path;
        EXPECT_EQ(22, n_errno) << path;
    }
    n_errno = 0;
    EXPECT_EQ(-1, n_socket_send_file(a, ack, "/nonexistent-dir/none.bin", kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_file(a, ack, nullptr, kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_EQ(-1, n_socket_send_file(a, 12345, "/dev/null", kB.data(), kType));
    EXPECT_EQ(22, n_errno);
    EXPECT_FALSE(frag_on(a));
    EXPECT_FALSE(frag_on(ack));
    EXPECT_EQ(nullptr, n_frag_get_frag(kB.data()));
}

}  // namespace
