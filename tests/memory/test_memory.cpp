// SPDX-License-Identifier: MIT
// Memory that runs out: calls fail with 12 and leave every registry whole; what the library keeps does not grow.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "frag.h"
#include "memory/allocation.h"
#include "recent.h"
#include "support/expect.h"
#include "support/files.h"
#include "support/parts.h"
#include "window_table.h"

using namespace nimbet::test;

namespace {

const unsigned char kType[2] = {0x12, 0x34};

// Runs `attempt(n)` for n = 0, 1, 2, ... until an attempt never reaches the
// allocation it set to fail: each one sets the n-th allocation of the calls
// it tries to fail (fail_allocation(n) before them, fail_allocation(-1)
// after them) and checks what it must.
void each_allocation_failing(const std::function<void(long n)> &attempt)
{
    for (long n = 0; n < 10000; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        fail_allocation(-1);
        attempt(n);
        fail_allocation(-1);
        if (!allocation_failed()) {
            std::printf("swept %ld allocations\n", n);
            return;
        }
    }
    ADD_FAILURE() << "the attempts never ran out of allocations";
}

std::string fresh_dir(const char *name)
{
    const std::string dir = ::testing::TempDir() + name + std::to_string(::getpid()) + "/";
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

// What a call of the library did with allocation n set to fail.
struct Outcome {
    bool thrown = false;
    long result = 0;
    int err = 0;  // n_errno after it
};

// (A negative n leaves the countdown to a failure as it is: a failure set
// for several calls before them.)
template <class Call>
Outcome with_allocation_failing(long n, Call call)
{
    Outcome o;
    n_errno = 0;
    if (n >= 0)
        fail_allocation(n);
    try {
        o.result = static_cast<long>(call());
        o.err = n_errno;
    } catch (...) {
        o.thrown = true;
    }
    if (n >= 0)
        fail_allocation(-1);
    return o;
}

// A call that fails for want of memory says so (12); none throws.
void expect_done_or_out_of_memory(long done, const Outcome &o)
{
    EXPECT_FALSE(o.thrown);
    if (o.result != done) {
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(N_ENOMEM, o.err);
    }
}

// Setting the trace hook over and over (a face that sets it per transfer)
// keeps nothing per call.
TEST(Allocations, TraceHookSetOverAndOverKeepsNothing)
{
    const n_trace_fn hooks[2] = {[](const n_trace_info *, void *) {}, [](const n_trace_info *, void *) {}};
    n_set_trace(hooks[0], nullptr);
    n_set_trace(nullptr, nullptr);
    const int64_t before = live_bytes();
    for (int i = 0; i < 10000; ++i)
        n_set_trace(hooks[i % 2], &i);
    n_set_trace(nullptr, nullptr);
    EXPECT_EQ(before, live_bytes());
}

// The tables of what peers did recently: an entry that cannot be made for
// want of memory leaves the table as it was, usable and bounded.
TEST(MemoryExhaustion, PeerTablesStayWholeWhenAnEntryCannotBeMade)
{
    const Deadline limit(60);  // a registry left broken may make a walk of it endless
    each_allocation_failing([](long n) {
        nimbet::RecentTable<int, int, std::hash<int>> recent(2, 1000);
        nimbet::WindowTable<int, int, std::hash<int>> window(2);
        bool made = false;
        fail_allocation(n);
        for (int key = 0; key < 4; ++key) {
            try {
                recent.touch(key, static_cast<uint32_t>(key));
            } catch (const std::bad_alloc &) {
            }
            try {
                if (window.find_or_make(key, static_cast<uint32_t>(key), made) != nullptr)
                    window.expire_in(key, static_cast<uint32_t>(key), 10);
            } catch (const std::bad_alloc &) {
            }
        }
        fail_allocation(-1);
        // Everything made is forgotten in time, and new entries are made.
        EXPECT_EQ(nullptr, recent.find(0, 5000)) << n;
        EXPECT_EQ(nullptr, window.find(0, 5000)) << n;
        EXPECT_EQ(0u, window.size()) << n;
        recent.touch(7, 6000);
        EXPECT_NE(nullptr, recent.find(7, 6000));
        EXPECT_NE(nullptr, window.find_or_make(7, 6000, made));
    });
}

// A transfer that cannot be started for want of memory fails with 12 and
// leaves the registry whole: every transfer in its list is found by its
// peer, and nothing else. The next start succeeds.
TEST(MemoryExhaustion, TransferStartFailsWith12AndLeavesTheRegistryWhole)
{
    const Deadline limit(60);  // a registry left broken may make a walk of it endless
    const int a = open_node(node_id(1));
    const Bytes data(100, 7);
    // Others registered already, so that the registry's index grows too.
    for (unsigned char other = 20; other < 24; ++other)
        ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), 100, node_id(other).data(), kType));
    const NodeId peer = node_id(9);
    each_allocation_failing([&](long n) {
        n_frag_abort(peer.data());
        n_frag_delete(peer.data());
        expect_done_or_out_of_memory(1, with_allocation_failing(n, [&] {
                                         return n_socket_send_buffer(a, a, data.data(), 100, peer.data(), kType);
                                     }));
        EXPECT_TRUE(nimbet::frag_registry_whole());
    });
    EXPECT_EQ(FRAG_ACTIVE, transfer_state(peer));
    n_socket_close(a);
}

// A file that cannot be arranged for want of memory fails with 12 and leaves
// no temporary file of its own; the arrangements made before it stay, the
// one it would have replaced too.
TEST(MemoryExhaustion, FileArrangementFailsWith12AndLeavesTheFormerOnes)
{
    const Deadline limit(60);
    const std::string dir = fresh_dir("arrange");
    each_allocation_failing([&](long n) {
        const int b = open_node(node_id(2));
        ASSERT_EQ(0, n_frag_recv_file(b, node_id(1).data(), (dir + "first").c_str()));
        // Arrangements for new peers (the table grows), then one in place of
        // the first; allocation n of all of them fails.
        std::vector<std::string> paths;
        for (int i = 0; i <= 8; ++i)
            paths.push_back(dir + "next" + std::to_string(i));
        Outcome outcomes[9];
        fail_allocation(n);
        for (int i = 0; i <= 8; ++i) {
            const NodeId peer = node_id(static_cast<unsigned char>(i < 8 ? 10 + i : 1));
            outcomes[i] = with_allocation_failing(-1, [&] { return n_frag_recv_file(b, peer.data(), paths[i].c_str()); });
        }
        fail_allocation(-1);
        int made = 1;
        for (int i = 0; i <= 8; ++i) {
            expect_done_or_out_of_memory(0, outcomes[i]);
            made += outcomes[i].result == 0 && i < 8 ? 1 : 0;
        }
        EXPECT_EQ(made, part_files(dir));
        EXPECT_EQ(0, n_socket_close(b));
        EXPECT_EQ(0, part_files(dir));
    });
}

// Closing a socket cannot fail for want of memory: its transfers are
// aborted and its files given up whatever runs out.
TEST(MemoryExhaustion, CloseEndsTransfersAndFilesWhateverRunsOut)
{
    const Deadline limit(60);  // a registry left broken may make a walk of it endless
    const std::string dir = fresh_dir("close");
    const Bytes data(100, 7);
    each_allocation_failing([&](long n) {
        const int a = open_node(node_id(1));
        const NodeId peer = node_id(static_cast<unsigned char>(30 + n % 200));
        n_frag_delete(peer.data());
        ASSERT_EQ(1, n_socket_send_buffer(a, a, data.data(), 100, peer.data(), kType));
        ASSERT_EQ(0, n_frag_recv_file(a, nullptr, (dir + "out").c_str()));
        const Outcome closed = with_allocation_failing(n, [a] { return n_socket_close(a); });
        EXPECT_FALSE(closed.thrown);
        EXPECT_EQ(0, closed.result);
        EXPECT_EQ(FRAG_ABORTED, transfer_state(peer));
        EXPECT_EQ(0, part_files(dir));
    });
}

// A transfer whose deadline found no memory keeps its time: once memory is
// back, its resends and its end come as they would have.
TEST(MemoryExhaustion, TransfersKeepTheirTimesWhateverRunsOut)
{
    const Deadline limit(60);
    const Bytes data(300, 7);
    each_allocation_failing([&](long n) {
        const int a = open_node(node_id(1));
        ASSERT_EQ(0, n_socket_set_retry(a, 2, 20));
        const NodeId peer = node_id(static_cast<unsigned char>(60 + n % 150));
        n_frag_delete(peer.data());
        const Outcome started = with_allocation_failing(
            n, [&] { return n_socket_send_buffer(a, a, data.data(), 300, peer.data(), kType); });
        expect_done_or_out_of_memory(1, started);
        if (started.result == 1) {
            // Nobody answers: the transfer gives up after 2 x 20 ms.
            for (int i = 0; i < 200 && transfer_state(peer) == FRAG_ACTIVE; ++i) {
                const int next = n_socket_next_timer(a);
                ASSERT_GE(next, 0) << "an active transfer waits on no timer";
                ::usleep(static_cast<useconds_t>(std::min(next, 20)) * 1000 + 500);
                n_socket_serve_timers(a);
            }
            EXPECT_EQ(FRAG_ABORTED, transfer_state(peer));
        }
        n_socket_close(a);
    });
}

// An acknowledged send started without blocking either fails with 12 or
// ends in its outcome event, whatever runs out while it starts.
TEST(MemoryExhaustion, AnAcknowledgedSendStartedEndsInItsEvent)
{
    const Deadline limit(60);
    const NodeId nobody = node_id(77);
    each_allocation_failing([&](long n) {
        const int a = open_node(node_id(1));
        ASSERT_EQ(0, n_socket_set_retry(a, 2, 20));
        n_pkt *packet = n_pkt_alloc();
        ASSERT_NE(nullptr, packet);
        const unsigned char value = 1;
        ASSERT_EQ(0, n_acl_add_str(packet, "val", &value, 1, 0));
        const Outcome started =
            with_allocation_failing(n, [&] { return n_socket_send_acked_start(a, a, packet, nobody.data()); });
        EXPECT_FALSE(started.thrown);
        if (started.result > 0) {
            n_event ev{};
            bool ended = false;
            for (int i = 0; i < 100 && !ended; ++i) {
                n_pkt_free(n_socket_recv_timeout(a, a, 10));
                ended = n_socket_next_event(a, &ev, sizeof ev) == 1;
            }
            ASSERT_TRUE(ended) << "no outcome";
            EXPECT_EQ(N_EVENT_NOT_ACKED, ev.kind);
            EXPECT_EQ(static_cast<uint64_t>(started.result), ev.request);
        } else {
            EXPECT_EQ(N_ENOMEM, started.err);
        }
        n_pkt_free(packet);
        n_socket_close(a);
    });
}

// Transfers arriving while memory runs out: each receive delivers, or fails
// with 12 (or the numbers it has without a failure: 227 for a part taken,
// 11 for nothing); the registry stays whole, and once memory is back the
// transfers that were started finish.
TEST(MemoryExhaustion, ReceivingFailsWith12AndLeavesTheRegistryWhole)
{
    const Deadline limit(60);  // a registry left broken may make a walk of it endless
    const int a = open_node(node_id(1));
    const int b = open_node(node_id(2));
    n_socket_set_option(b, SOCKET_FRAG, 1);
    each_allocation_failing([&](long n) {
        const NodeId peer = node_id(static_cast<unsigned char>(40 + n % 200));
        const Bytes part = single_part(peer, node_id(2), static_cast<uint32_t>(5000 + n), {1, 2, 3});
        ASSERT_EQ(1, n_socket_send_raw(a, part.data(), static_cast<int>(part.size())));
        // (Allocation n counts from the first receive; a receive that ran
        // out of memory before reading the part leaves it for the next.)
        bool reading = true;
        for (int read = 0; read < 3 && reading; ++read) {
            const Outcome o = with_allocation_failing(read == 0 ? n : -1, [b] {
                n_pkt *pkt = n_socket_recv_timeout(b, b, 20);
                if (pkt == nullptr)
                    return -1;
                n_pkt_free(pkt);
                return 0;
            });
            EXPECT_FALSE(o.thrown);
            EXPECT_TRUE(o.result == 0 || o.err == N_ENOMEM || o.err == N_EPROTO || o.err == N_EAGAIN) << o.err;
            reading = o.result != 0 && o.err == N_ENOMEM;
        }
        EXPECT_TRUE(nimbet::frag_registry_whole());
        const int state = transfer_state(peer);
        EXPECT_TRUE(state == -1 || state == FRAG_FINISHED) << state;
    });
    n_socket_close(a);
    n_socket_close(b);
}

}  // namespace
