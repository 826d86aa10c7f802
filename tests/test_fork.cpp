// SPDX-License-Identifier: MIT
// fork(): a child keeps using the sockets it inherited, whatever the parent does with its own copies.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "frag.h"
#include "support/parts.h"

using namespace nimbet::test;

namespace {

const NodeId kB = node_id(2);
const NodeId kC = node_id(3);

int64_t now_us(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// What the child found on its copy of the socket once the parent had
// closed its own.
struct ChildReport {
    bool nothing_came;   // a wait with nothing to read ended empty
    int64_t wait_us;     // how long that wait took
    int64_t busy_us;     // and the processor time the child spent in it
    uint64_t rejected;   // datagrams its copy read that were no frames
    bool frame_arrived;  // a frame sent afterwards arrived
};

// The parent closes its socket while a child holds a copy: the copy is not
// shut down with it (it still receives), and its waits sleep rather than
// spin on anything the parent's close left behind. The socket was shared
// with an earlier child already, so that all the parent keeps for it exists
// before the fork.
TEST(Fork, ParentsCloseLeavesTheChildsCopyWorkingAndItsWaitsAsleep)
{
    const int b = open_node(kB);
    const pid_t earlier = fork();
    if (earlier == 0)
        _exit(0);
    ASSERT_EQ(earlier, waitpid(earlier, nullptr, 0));
    int go[2], back[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(back));
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        char closed = 0;
        if (read(go[0], &closed, 1) != 1)
            _exit(1);
        ChildReport r{};
        const int64_t wall = now_us(CLOCK_MONOTONIC), cpu = now_us(CLOCK_PROCESS_CPUTIME_ID);
        n_pkt *none = n_socket_recv_timeout(b, 0, 300);
        r.wait_us = now_us(CLOCK_MONOTONIC) - wall;
        r.busy_us = now_us(CLOCK_PROCESS_CPUTIME_ID) - cpu;
        r.nothing_came = none == nullptr;
        const int c = open_node(kC);
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, "tmp", kC.data(), 8, 0);
        n_socket_send(c, pkt);
        n_pkt_free(pkt);
        n_pkt *got = n_socket_recv_timeout(b, 0, 2000);
        r.frame_arrived = got != nullptr && std::memcmp(n_pkt_get_srcid(got), kC.data(), 8) == 0;
        r.rejected = stats_of(b).frames_rejected;
        _exit(write(back[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(go[0]);
    close(back[1]);
    EXPECT_EQ(0, n_socket_close(b));
    ASSERT_EQ(1, write(go[1], "c", 1));
    ChildReport r{};
    pollfd p{back[0], POLLIN, 0};
    const bool answered = poll(&p, 1, 10000) == 1 && read(back[0], &r, sizeof r) == sizeof r;
    if (!answered)
        kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(go[1]);
    close(back[0]);
    ASSERT_TRUE(answered);
    EXPECT_TRUE(r.nothing_came);
    EXPECT_TRUE(r.frame_arrived);
    EXPECT_EQ(0u, r.rejected);
    // A wait that sleeps spends next to nothing of the processor; one that
    // spins spends what the machine gives it.
    EXPECT_LT(r.busy_us * 4, r.wait_us) << "the child's wait spun";
}

// A child of fork() draws transfer nonces of its own: one equal to its
// parent's would make a receiver that heard the parent's transfer take the
// child's for a late copy of it.
TEST(Fork, ChildDrawsTransferNoncesOfItsOwn)
{
    nimbet::transfer_nonce();  // the parent's sequence has begun
    int back[2];
    ASSERT_EQ(0, pipe(back));
    const pid_t pid = fork();
    if (pid == 0) {
        const uint32_t mine = nimbet::transfer_nonce();
        _exit(write(back[1], &mine, sizeof mine) == sizeof mine ? 0 : 1);
    }
    close(back[1]);
    const uint32_t parents = nimbet::transfer_nonce();
    uint32_t childs = 0;
    const bool answered = read(back[0], &childs, sizeof childs) == sizeof childs;
    close(back[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(answered);
    EXPECT_NE(parents, childs);
}

}  // namespace
