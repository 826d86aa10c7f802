// SPDX-License-Identifier: MIT
// fork(): a child keeps using the sockets it inherited, whatever the parent does with its own copies.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "frag.h"
#include "support/expect.h"
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

// How a child of fork() is done with the sockets it inherited.
enum class Child { Exits, Execs, StaysAlive };

const char *name_of(Child c)
{
    return c == Child::Exits ? "exits" : c == Child::Execs ? "execs" : "stays alive";
}

// A child that holds the parent's sockets until it exits (at once, or by
// running another program: the library's descriptors are closed on exec),
// or until it is killed. Returns its process id.
pid_t fork_child(Child how)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (how == Child::Execs)
        execl("/bin/true", "true", static_cast<char *>(nullptr));
    if (how == Child::StaysAlive) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed
        alarm(60);
        pause();
    }
    _exit(0);
}

// Once a child that shared a socket is gone, the socket is the parent's
// alone again: a blocking receive waits in the read itself (one system
// call, with a receive timeout on the socket), as it did before the fork.
// While the child lives, it waits otherwise.
TEST(Fork, SocketIsNoLongerSharedOnceTheChildIsGone)
{
    const Deadline limit(20);
    for (const Child how : {Child::Exits, Child::Execs, Child::StaysAlive}) {
        const int b = open_node(kB);
        n_socket_set_option(b, SOCKET_BLOCKING, 1);
        const pid_t pid = fork_child(how);
        if (how != Child::StaysAlive) {
            ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
        }
        EXPECT_EQ(nullptr, n_socket_recv_timeout(b, 0, 30));
        timeval tv{};
        socklen_t len = sizeof tv;
        ASSERT_EQ(0, getsockopt(b, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
        EXPECT_EQ(how != Child::StaysAlive, tv.tv_sec != 0 || tv.tv_usec != 0) << name_of(how);
        if (how == Child::StaysAlive) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        n_socket_close(b);
    }
}

// Closing a socket wakes every wait on it, which returns with 9, before any
// fork(), after a child that shared the socket is gone, and while one holds
// it (the child's copy is not shut down then).
TEST(Fork, CloseWakesEveryWaitWhetherOrNotAChildHoldsTheSocket)
{
    const Deadline limit(30);  // a wait that is never woken
    enum Wait { Receive, RawRead, Select };
    for (const int forked : {0, 1, 2}) {
        for (const Wait wait : {Receive, RawRead, Select}) {
            const int b = open_node(kB);
            n_socket_set_option(b, SOCKET_BLOCKING, 1);
            pid_t pid = -1;
            if (forked > 0)
                pid = fork_child(forked == 1 ? Child::Exits : Child::StaysAlive);
            if (forked == 1) {
                ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
            }
            std::atomic<int> result{0}, err{0};
            std::thread waiter([&] {
                unsigned char buf[400];
                if (wait == Receive)
                    result = n_socket_recv(b, 0) != nullptr ? 1 : -1;
                else if (wait == RawRead)
                    result = n_socket_recv_raw(b, buf, sizeof buf);
                else
                    result = n_socket_select(b, nullptr);
                err = n_errno;
            });
            n_util_sleepms(50);
            EXPECT_EQ(0, n_socket_close(b));
            waiter.join();
            EXPECT_EQ(-1, result.load()) << "wait " << wait << ", forked " << forked;
            EXPECT_EQ(N_EBADF, err.load()) << "wait " << wait << ", forked " << forked;
            if (forked == 2) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
}

// A child of fork() numbers the frames it sends through an inherited
// socket afresh: numbered on from where its parent is, its frames and the
// parent's next ones would carry the same numbers (and its requests the
// same sequence bytes, which a receiver takes for repeats). Three children
// in turn: that all three match the parent is what the fault looks like.
TEST(Fork, ChildNumbersItsFramesAfresh)
{
    const int b = open_node(kB);
    Tap tap;
    const auto send_one = [b] {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, "tmp", kB.data(), 8, 0);
        const int sent = n_socket_send(b, pkt);
        n_pkt_free(pkt);
        return sent;
    };
    int same = 0;
    for (int child = 0; child < 3; ++child) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(send_one() == 1 ? 0 : 1);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(1, send_one());
        const Bytes childs = tap.next(), parents = tap.next();
        ASSERT_TRUE(childs.size() > 53 && parents.size() > 53);
        same += childs[53] == parents[53] ? 1 : 0;
    }
    EXPECT_LT(same, 3);
    n_socket_close(b);
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
