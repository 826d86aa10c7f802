// SPDX-License-Identifier: MIT
// Several threads: own objects, a close under a waiting receive, bounded waits, transfers tied to their socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frag.h"
#include "socket.h"
#include "support/clock.h"
#include "support/expect.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/nodes.h"
#include "support/parts.h"

using namespace nimbet::test;

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

const unsigned char kType[2] = {0x12, 0x34};

// Closing a socket wakes the thread that waits on it, which returns with 9;
// the record it used stays valid until it has left.
TEST(Threads, CloseWakesEveryKindOfWaitOnTheSocket)
{
    for (int kind = 0; kind < 3; ++kind) {
        const int fd = open_node(node_id(1));
        if (kind != 2)
            n_socket_set_option(fd, SOCKET_BLOCKING, 1);
        if (kind == 1)
            n_socket_set_option(fd, SOCKET_FRAG, 1);
        std::atomic<int> err{0};
        std::atomic<bool> returned{false};
        Clock::time_point closed_at;
        std::thread waiter([&] {
            n_pkt *pkt = kind == 2 ? n_socket_recv_timeout(fd, fd, 10000) : n_socket_recv(fd, fd);
            err = pkt == nullptr ? n_errno : 0;
            returned = true;
        });
        n_util_sleepms(50);
        EXPECT_FALSE(returned);
        closed_at = Clock::now();
        EXPECT_EQ(0, n_socket_close(fd));
        waiter.join();
        std::printf("kind %d: returned %ld ms after the close\n", kind, ms_since(closed_at));
        EXPECT_EQ(9, err.load()) << kind;
        EXPECT_LT(ms_since(closed_at), 5000);  // a hang, not a speed check
    }
}

TEST(Threads, ReceiveTimeoutReturnsWhenItsTimeRunsOut)
{
    const int fd = open_node(node_id(1));
    n_socket_set_option(fd, SOCKET_BLOCKING, 1);
    const auto start = Clock::now();
    n_errno = 0;
    EXPECT_EQ(nullptr, n_socket_recv_timeout(fd, 0, 60));
    EXPECT_EQ(11, n_errno);
    EXPECT_GE(ms_since(start), 55);  // never early
    n_socket_close(fd);
}

// A daemon whose standard input is closed gets descriptor 0 for its socket:
// an acknowledged send through it ends after its retries like any other.
TEST(Threads, SocketOnDescriptorZeroSendsAcknowledgedLikeAnyOther)
{
    ASSERT_EQ(0, ::close(0));
    require_only_own_interfaces();
    const int fd = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.255.255.255"), kNodePort);
    ASSERT_EQ(0, fd);
    // The option setter refuses descriptor 0 (as it always has), so the
    // socket stays blocking; the acknowledged send must not depend on it.
    EXPECT_EQ(-1, n_socket_set_option(fd, SOCKET_BLOCKING, 0));
    n_socket_set_retry(fd, 2, 20);
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add(pkt, kType, kType, 2, 0);
    const auto start = Clock::now();
    EXPECT_EQ(-1, n_socket_send_acked(fd, fd, pkt, node_id(9).data()));
    EXPECT_EQ(227, n_errno);
    EXPECT_LT(ms_since(start), 5000);
    n_pkt_free(pkt);
    n_socket_close(fd);
}

// A Java-style application: one thread sits in a blocking receive, another
// sends acknowledged frames through the same socket. Whichever thread reads
// the acknowledgement, the sender learns of it.
TEST(Threads, AcknowledgementReadByAnotherThreadReachesTheSender)
{
    const int a = open_node(node_id(1));
    const int b = open_node(node_id(2));
    n_socket_set_option(b, SOCKET_AUTOACK, 1);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop)
            if (n_pkt *p = n_socket_recv_timeout(b, b, 20))
                n_pkt_free(p);
    });
    std::atomic<int> seen{0};
    std::thread reader([&] {
        while (!stop)
            if (n_pkt *p = n_socket_recv_timeout(a, a, 20)) {
                ++seen;
                n_pkt_free(p);
            }
    });
    for (int i = 0; i < 20; ++i) {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add(pkt, kType, kType, 2, 0);
        EXPECT_EQ(1, n_socket_send_acked(a, a, pkt, node_id(2).data())) << i << ": " << n_errno;
        n_pkt_free(pkt);
    }
    stop = true;
    peer.join();
    reader.join();
    n_socket_close(a);
    n_socket_close(b);
}

// A transfer holds its socket: closing the socket aborts it, and nothing it
// does later goes out through another socket that got the same number.
TEST(Threads, TransfersEndWithTheirSocket)
{
    Tap tap;
    const int a = open_node(node_id(1));
    n_socket_set_retry(a, 5, 10);
    const std::vector<unsigned char> data(500, 7);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), node_id(2).data(), kType));
    ASSERT_EQ(0, n_socket_close(a));
    EXPECT_EQ(FRAG_ABORTED, n_frag_get_status(node_id(2).data(), FRAG_STATE_MASK));
    tap.drain(10);
    const int reused = open_node(node_id(3));
    ASSERT_EQ(a, reused);
    n_socket_set_option(reused, SOCKET_FRAG, 1);
    pump({reused}, [] { return false; }, 100);
    for (const auto &f : tap.drain(20))
        EXPECT_NE(0x12, f.size() > 54 ? f[54] : 0) << "a part went out through the reused descriptor";
    n_socket_close(reused);
}

// A trace hook may call any function of the library: it is never called
// while the library holds a lock. Here it asks for the transfer's status and
// the socket's counters on every event, while two threads drive a transfer.
TEST(Threads, TraceHookMayCallBackIntoTheLibrary)
{
    const Deadline limit(20);  // a hook called under a lock would wait for it for ever
    struct Seen {
        std::atomic<int> events{0}, answered{0};
    } seen;
    n_set_trace([](const n_trace_info *info, void *user) {
        auto *s = static_cast<Seen *>(user);
        n_socket_stats st{};
        const bool stats = n_socket_get_stats(info->fd, &st) == 0;
        const int state = n_frag_get_status(node_id(2).data(), FRAG_STATE_MASK);
        s->events += 1;
        s->answered += stats && state >= FRAG_ACTIVE ? 1 : 0;
    }, &seen);
    const int a = open_node(node_id(1));
    const int b = open_node(node_id(2));
    n_socket_set_option(b, SOCKET_FRAG, 1);
    const std::vector<unsigned char> data(4000, 9);
    ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), node_id(2).data(), kType));
    std::thread receiver([b] { pump({b}, [] { return false; }, 1500); });
    pump({a}, [] { return n_frag_get_status(node_id(2).data(), FRAG_STATE_MASK) != FRAG_ACTIVE; }, 10000);
    receiver.join();
    n_set_trace(nullptr, nullptr);
    EXPECT_EQ(FRAG_FINISHED, n_frag_get_status(node_id(2).data(), FRAG_STATE_MASK));
    EXPECT_GT(seen.events.load(), 100);
    EXPECT_GT(seen.answered.load(), 0);
    n_socket_close(a);
    n_socket_close(b);
}

// Set by a fork handler of the test's, which runs before the library's own
// (handlers registered later prepare first): a fork() has begun.
std::atomic<bool> g_fork_begun{false};

// One of the locks a thread of the parent may hold at the moment another
// thread forks.
struct HeldLock {
    std::string what;
    std::function<void()> take;
    std::function<void()> let_go;
};

// What a child does with the library: the parent's transfer and socket
// (their own locks), then every registry (sockets, transfers, filters,
// trace hooks, the history of requests). False when anything fails; a lock
// left taken makes it hang instead, until its alarm.
bool child_uses_the_library(int inherited, const NodeId &parked)
{
    bool ok = n_frag_get_status(parked.data(), FRAG_RECEIVING) == 0;
    ok = n_socket_set_option(inherited, SOCKET_RECV_ALL, 0) == 0 && ok;
    ok = n_socket_close(inherited) == 0 && ok;  // gone here, untouched in the parent
    n_set_trace([](const n_trace_info *, void *) {}, nullptr);
    n_set_trace(nullptr, nullptr);
    // A port of its own: the parent's busy transfer floods the other.
    const NodeId self = node_id(9);
    const int own = open_node(self, static_cast<uint16_t>(kNodePort + 1));
    const int chain = n_filter_create("child");
    const Bytes request = frame(self, 1, {payload({1}), cad(self), cac(0, 1)});
    ok = n_socket_send_raw(own, request.data(), static_cast<int>(request.size())) == 1 && ok;
    n_pkt *back = n_socket_recv_timeout(own, 0, 2000);
    ok = back != nullptr && chain > 0 && n_filter_destroy(chain) == 0 && ok;
    n_pkt_free(back);
    return ok;
}

// A child of fork() uses the library while the parent's threads are inside
// it: none of their locks is left taken in the child, and closing an
// inherited socket in the child leaves the parent's socket working. Besides
// the busy threads, a thread holds one lock of each kind in turn while the
// parent forks (until the fork is through, or, when the library's handler
// waits for that lock, a moment after it began), so that a lock the
// handlers leave out fails the test every time.
TEST(Threads, ForkedChildrenUseTheLibraryWhileTheParentsThreadsAreBusy)
{
    const Deadline limit(60);
    const int a = open_node(node_id(1));
    const int b = open_node(node_id(2));
    n_socket_set_option(b, SOCKET_FRAG, 1);
    // A transfer nobody answers: it stays registered.
    const NodeId parked = node_id(7);
    ASSERT_EQ(1, n_frag_init_send(a, parked.data(), kType, 2, kType));
    // A request, so that the history of requests has been used too.
    const Bytes request = frame(node_id(1), 1, {payload({1}), cad(node_id(2)), cac(0, 1)});
    ASSERT_EQ(1, n_socket_send_raw(a, request.data(), static_cast<int>(request.size())));
    n_pkt_free(n_socket_recv_timeout(b, 0, 2000));
    n_set_trace([](const n_trace_info *, void *) {}, nullptr);
    n_set_trace(nullptr, nullptr);
    n_filter_destroy(n_filter_create("once"));
    std::vector<HeldLock> locks;
    for (int rank = 0; rank < nimbet::kLockRanks; ++rank) {
        nimbet::GlobalLock *g = nimbet::global_lock(rank);
        ASSERT_NE(nullptr, g) << "registry lock " << rank << " never used";
        locks.push_back({"registry lock " + std::to_string(rank), [g] { g->lock(); }, [g] { g->unlock(); }});
    }
    const nimbet::FragRef transfer = nimbet::frag_acquire(parked.data());
    const nimbet::SocketRef socket = nimbet::socket_acquire(a);
    ASSERT_TRUE(transfer && socket);
    locks.push_back({"a transfer's lock", [&] { transfer->mu.lock(); }, [&] { transfer->mu.unlock(); }});
    locks.push_back({"a socket's lock", [&] { socket->mu.lock(); }, [&] { socket->mu.unlock(); }});
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork([] { g_fork_begun = true; }, nullptr, nullptr); });
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    busy.emplace_back([&] {
        const std::vector<unsigned char> data(2000, 3);
        while (!stop) {
            n_frag_delete(node_id(2).data());
            n_socket_send_buffer(a, a, data.data(), static_cast<int>(data.size()), node_id(2).data(), kType);
            pump({a, b}, [] { return n_frag_get_status(node_id(2).data(), FRAG_STATE_MASK) != FRAG_ACTIVE; }, 500);
            n_frag_delete(node_id(1).data());
        }
    });
    busy.emplace_back([&] {
        while (!stop) {
            const int id = n_filter_create("busy");
            n_filter_add(id, FILTER_TYPE_ACL, kType);
            n_filter_destroy(id);
        }
    });

    const int children = 4 * static_cast<int>(locks.size());
    int finished = 0;
    for (int child = 0; child < children && finished == child; ++child) {
        const HeldLock &held = locks[static_cast<std::size_t>(child) % locks.size()];
        std::atomic<bool> taken{false}, forked{false};
        g_fork_begun = false;
        std::thread holder([&] {
            held.take();
            taken = true;
            while (!forked && !g_fork_begun)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            for (int ms = 0; ms < 20 && !forked; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            held.let_go();
        });
        while (!taken)
            std::this_thread::yield();
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(3);
            _exit(child_uses_the_library(a, parked) ? 0 : 1);
        }
        forked = true;
        holder.join();
        int status = 0;
        const auto start = Clock::now();
        while (waitpid(pid, &status, WNOHANG) == 0 && ms_since(start) < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (ms_since(start) >= 5000)
            kill(pid, SIGKILL), waitpid(pid, &status, 0);
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        finished += ok ? 1 : 0;
        EXPECT_TRUE(ok) << "a child forked while a thread held " << held.what << " did not finish";
    }
    stop = true;
    for (std::thread &t : busy)
        t.join();
    EXPECT_EQ(children, finished);
    // The parent's socket still sends, and its frame arrives.
    pump({a, b}, [] { return false; }, 50);
    n_pkt *p = n_pkt_alloc();
    n_acl_add(p, kType, kType, 2, 0);
    EXPECT_EQ(1, n_socket_send(a, p));
    n_pkt_free(p);
    n_pkt *got = n_socket_recv_timeout(b, 0, 2000);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(0, std::memcmp(n_pkt_get_srcid(got), node_id(1).data(), 8));
    n_pkt_free(got);
    n_socket_close(a);
    n_socket_close(b);
}

// A transfer started while another thread closes its socket is aborted (not
// left under way, holding the closed socket), a refused start says why, and
// aborted transfers nobody deletes, sending ones too, are reclaimed.
TEST(Threads, TransferStartedAsItsSocketClosesIsAbortedAndReclaimed)
{
    const std::vector<unsigned char> data(200, 5);
    int refused_without_cause = 0;
    for (unsigned char round = 0; round < 100; ++round) {
        const int s = open_node(node_id(1));
        int result = 0, err = 0;
        std::thread starter([&] {
            n_errno = 0;
            result = n_socket_send_buffer(s, s, data.data(), static_cast<int>(data.size()),
                                          node_id(static_cast<unsigned char>(100 + round)).data(), kType);
            err = n_errno;
        });
        n_socket_close(s);
        starter.join();
        refused_without_cause += result < 0 && err == 0 ? 1 : 0;
        EXPECT_NE(FRAG_ACTIVE, n_frag_get_status(node_id(static_cast<unsigned char>(100 + round)).data(),
                                                 FRAG_STATE_MASK))
            << int(round);
    }
    EXPECT_EQ(0, refused_without_cause);
    // The narrowest case, held still: the close has begun (its sweep of the
    // transfers is over) when the transfer registers.
    {
        const int s = open_node(node_id(1));
        nimbet::SocketRef rec = nimbet::socket_acquire(s);
        rec->closed = true;
        n_errno = 0;
        EXPECT_EQ(-1, nimbet::frag_start_send(rec.get(), node_id(99).data(), data.data(), 200, kType));
        EXPECT_EQ(N_EBADF, n_errno);
        EXPECT_EQ(FRAG_ABORTED, n_frag_get_status(node_id(99).data(), FRAG_STATE_MASK));
        n_socket_close(s);
    }
    nimbet::test::ShiftedClock clock;
    clock.advance(31000);
    const int reader = open_node(node_id(2));
    n_socket_serve_timers(reader);
    for (unsigned char round = 0; round < 100; ++round)
        EXPECT_EQ(nullptr, n_frag_get_frag(node_id(static_cast<unsigned char>(100 + round)).data())) << int(round);
    n_socket_close(reader);
}

// The mirror on the receiving side: a first part that arrives as its socket
// closes starts a transfer that is aborted at once, with 9. The hook hears of
// the abort once the new transfer's lock is let go, so it may ask for that
// transfer's status; both ways in (a part read from the socket, and
// n_frag_init_recv) are held still where the close has begun.
TEST(Threads, TransferArrivingAsItsSocketClosesIsAbortedAndTheHookMayAskForIt)
{
    const Deadline limit(10);  // a hook called under the transfer's lock waits for it for ever
    struct Heard {
        int aborted = 0;
        int state = -1;
    } heard;
    const NodeId peer = node_id(5);
    n_set_trace([](const n_trace_info *info, void *user) {
        auto *h = static_cast<Heard *>(user);
        if (info->event != N_TRACE_TRANSFER_ABORTED)
            return;
        h->aborted += 1;
        h->state = n_frag_get_status(node_id(5).data(), FRAG_STATE_MASK);
    }, &heard);
    const Bytes part = single_part(peer, node_id(1), 77, {1, 2, 3});
    for (const bool through_socket : {true, false}) {
        heard = Heard{};
        n_frag_delete(peer.data());
        const int s = open_node(node_id(1));
        n_socket_set_option(s, SOCKET_FRAG, 1);
        const nimbet::SocketRef rec = nimbet::socket_acquire(s);
        rec->closed = true;
        if (through_socket) {
            nimbet::FrameView view;
            ASSERT_EQ(nimbet::Reject::None, nimbet::view_frame(part.data(), part.size(), view));
            EXPECT_FALSE(nimbet::frag_on_fragment(rec.get(), rec.get(), view));
        } else {
            n_pkt *pkt = n_pkt_alloc();
            ASSERT_EQ(0, n_pkt_parse(pkt, part.data(), static_cast<unsigned>(part.size())));
            EXPECT_FAILS_WITH(-1, N_EBADF, n_frag_init_recv(s, pkt));
            n_pkt_free(pkt);
        }
        EXPECT_EQ(1, heard.aborted) << through_socket;
        EXPECT_EQ(FRAG_ABORTED, heard.state) << through_socket;
        EXPECT_EQ(FRAG_ABORTED, transfer_state(peer)) << through_socket;
        n_socket_close(s);
    }
    n_set_trace(nullptr, nullptr);
}

// The mirror on the file path: a file arranged for a socket that is closing
// is refused with 9 and leaves no temporary file behind, rather than an
// arrangement (an open descriptor and a .part file) that outlives the
// socket. Held still where the close has begun, then raced for real.
TEST(Threads, FileArrangedAsItsSocketClosesIsRefusedAndLeavesNothing)
{
    const TempFolder folder(::testing::TempDir(), "arranged_");
    const std::string &dir = folder.path();
    ASSERT_FALSE(dir.empty());
    {
        const int s = open_node(node_id(1));
        const nimbet::SocketRef rec = nimbet::socket_acquire(s);
        rec->closed = true;
        EXPECT_FAILS_WITH(-1, N_EBADF, n_frag_recv_file(s, node_id(5).data(), (dir + "held").c_str()));
        EXPECT_EQ(0, part_files(dir));
        n_socket_close(s);
    }
    for (int round = 0; round < 100; ++round) {
        const int s = open_node(node_id(1));
        const std::string out = dir + "raced" + std::to_string(round);
        std::thread arranger([&] { n_frag_recv_file(s, nullptr, out.c_str()); });
        n_socket_close(s);
        arranger.join();
    }
    EXPECT_EQ(0, part_files(dir));
}

// Transfers started by threads at once draw their nonces at once: no two
// are ever the same (a receiver would take the second transfer for a copy
// of the first).
TEST(Threads, TransferNoncesDrawnAtOnceNeverRepeat)
{
    constexpr int kEach = 200000;
    std::vector<uint32_t> drawn[2];
    std::atomic<int> ready{0};
    std::vector<std::thread> drawers;
    for (std::vector<uint32_t> &mine : drawn)
        drawers.emplace_back([&ready, &mine] {
            mine.reserve(kEach);
            ready += 1;
            while (ready < 2)
                std::this_thread::yield();
            for (int i = 0; i < kEach; ++i)
                mine.push_back(nimbet::transfer_nonce());
        });
    for (std::thread &t : drawers)
        t.join();
    std::vector<uint32_t> all(drawn[0]);
    all.insert(all.end(), drawn[1].begin(), drawn[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
}

// Threads on their own objects (packets, tuples, filters, sockets) while
// another thread opens and closes sockets: nobody sees a failure it did not
// cause, and nothing breaks. Run under ThreadSanitizer by scripts/test.
TEST(Threads, ThreadsOnTheirOwnObjectsProceedIndependently)
{
    std::atomic<int> foreign{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const int fd = open_node(node_id(static_cast<unsigned char>(10 + t)),
                                     static_cast<uint16_t>(kNodePort + 10 + t));
            n_socket_set_option(fd, SOCKET_AUTOACK | SOCKET_FRAG, 1);
            for (int round = 0; !stop && round < 2000; ++round) {
                n_errno = 0;
                const int chain = n_filter_create("own");
                const unsigned char id[8] = {1, 1, 1, 1, 10, 0, 0, static_cast<unsigned char>(10 + t)};
                n_filter_add(chain, FILTER_TYPE_ID, id);
                n_pkt *pkt = n_pkt_alloc();
                n_acl_add_str(pkt, "tmp", id, 8, 0);
                n_socket_send(fd, pkt);
                n_pkt_free(pkt);
                if (n_pkt *in = n_socket_recv_filtered(fd, fd, chain))
                    n_pkt_free(in);
                n_filter_destroy(chain);
                // Only this thread's own failures may show: a receive with
                // nothing waiting (11), a frame another filter would want (11).
                if (n_errno != 0 && n_errno != 11)
                    ++foreign;
            }
            n_socket_close(fd);
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; !stop && round < 300; ++round) {
            const int fd = open_node(node_id(50), static_cast<uint16_t>(kNodePort + 50));
            n_socket_close(fd);
        }
    });
    const auto start = Clock::now();
    while (ms_since(start) < 1500)
        n_util_sleepms(20);
    stop = true;
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, foreign.load());
}

// Two threads changing a socket's identifier and options at once leave the
// kernel filter of the socket's final identifier attached: its own frames
// to other nodes are dropped before they are read (and nothing races).
TEST(Threads, ConcurrentIdentifierChangesLeaveTheFinalIdentifiersFilter)
{
    const int fd = open_node(node_id(60), static_cast<uint16_t>(kNodePort + 60));
    std::thread ids([&] {
        for (int i = 0; i < 300; ++i)
            n_socket_set_id(fd, node_id(static_cast<unsigned char>(61 + i % 2)).data());
    });
    std::thread options([&] {
        for (int i = 0; i < 300; ++i)
            n_socket_set_option(fd, SOCKET_RECV_ALL, i % 2);
        n_socket_set_option(fd, SOCKET_RECV_ALL, 0);
    });
    ids.join();
    options.join();
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add_str(pkt, "tmp", kType, 2, 0);
    ASSERT_EQ(1, n_socket_send_addressed(fd, pkt, node_id(99).data()));
    n_pkt_free(pkt);
    EXPECT_EQ(nullptr, n_socket_recv_timeout(fd, 0, 50));
    n_socket_stats stats{};
    ASSERT_EQ(0, n_socket_get_stats(fd, &stats));
    EXPECT_EQ(0u, stats.not_for_us);
    n_socket_close(fd);
}

// The event-loop example of the README: one poll() over several sockets,
// each woken for its datagrams and its transfers' timers.
void serve_until(const std::vector<int> &fds, const std::function<bool()> &done, int max_ms)
{
    const auto start = Clock::now();
    while (!done() && ms_since(start) < max_ms) {
        std::vector<pollfd> ps;
        int wait = 100;
        for (int fd : fds) {
            ps.push_back({fd, POLLIN, 0});
            const int t = n_socket_next_timer(fd);
            if (t >= 0 && t < wait)
                wait = t;
        }
        poll(ps.data(), ps.size(), wait);
        for (std::size_t i = 0; i < ps.size(); ++i) {
            if (ps[i].revents & POLLIN) {
                while (n_pkt *pkt = n_socket_recv_timeout(ps[i].fd, ps[i].fd, 0))
                    n_pkt_free(pkt);
            }
            n_socket_serve_timers(ps[i].fd);
        }
    }
}

// Node 1 sends to node 2 and node 3 to node 4, all four served by one loop.
TEST(Threads, OnePollLoopServesTwoTransfersAtOnce)
{
    std::vector<int> fds;
    for (unsigned char n = 1; n <= 4; ++n) {
        fds.push_back(open_node(node_id(n)));
        n_socket_set_option(fds.back(), SOCKET_FRAG, 1);
    }
    std::vector<unsigned char> data(20000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 13);
    for (int from : {0, 2})
        ASSERT_EQ(1, n_socket_send_buffer(fds[from], fds[from], data.data(), static_cast<int>(data.size()),
                                          node_id(static_cast<unsigned char>(from + 2)).data(), kType));
    const auto finished = [](unsigned char n) {
        return n_frag_get_status(node_id(n).data(), FRAG_STATE_MASK) == FRAG_FINISHED;
    };
    serve_until(fds, [&] { return finished(1) && finished(2) && finished(3) && finished(4); }, 20000);
    for (unsigned char sender : {1, 3}) {
        std::vector<unsigned char> got(data.size());
        EXPECT_EQ(static_cast<int64_t>(data.size()), n_frag_copy_data(node_id(sender).data(), got.data(), got.size()));
        EXPECT_EQ(data, got) << int(sender);
    }
    for (int fd : fds)
        n_socket_close(fd);
}

}  // namespace
