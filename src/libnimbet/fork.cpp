// SPDX-License-Identifier: MIT
// fork(): the library's locks are taken around it, so that the child finds every registry whole and usable.
#include <pthread.h>

#include "internal.h"

namespace nimbet {

namespace {

// Every registry lock that was ever used, by rank, and those the handler
// before fork() took (a lock first used meanwhile is not let go for it).
std::atomic<GlobalLock *> g_locks[kLockRanks];
GlobalLock *g_taken[kLockRanks];
std::once_flag g_handlers_once;
// Held while a lock is enrolled and first taken, and by the handlers from
// before fork() to after it: a lock is either known to them, or not taken
// by anyone when the process forks.
Mutex g_enrol_mu;

}  // namespace

// The handlers pthread_atfork calls: before fork() every registry lock is
// taken (no thread is then halfway through changing a registry); after it,
// both processes mend what needs mending and let go of them.
// (The analysis cannot follow locks chosen at run time and let go of in
// another function.)
struct ForkHandlers {
    static void prepare() NO_THREAD_SAFETY_ANALYSIS
    {
        g_enrol_mu.lock();
        for (int r = 0; r < kLockRanks; ++r) {
            g_taken[r] = g_locks[r].load(std::memory_order_acquire);
            if (g_taken[r] != nullptr)
                g_taken[r]->m_.lock();
        }
        if (g_taken[kRankSockets] != nullptr)
            sockets_before_fork();
    }
    static void release() NO_THREAD_SAFETY_ANALYSIS
    {
        for (int r = kLockRanks - 1; r >= 0; --r)
            if (g_taken[r] != nullptr)
                g_taken[r]->m_.unlock();
        g_enrol_mu.unlock();
    }
    static void parent()
    {
        // Only a registry held since before fork() may be walked here: the
        // parent's other threads run on.
        if (g_taken[kRankSockets] != nullptr)
            sockets_after_fork(false);
        release();
    }
    static void child()
    {
        sockets_after_fork(true);
        transfers_after_fork();
        release();
    }
};

GlobalLock *global_lock(int rank)
{
    return rank >= 0 && rank < kLockRanks ? g_locks[rank].load(std::memory_order_acquire) : nullptr;
}

void GlobalLock::enrol_and_lock()
{
    std::call_once(g_handlers_once,
                   [] { pthread_atfork(&ForkHandlers::prepare, &ForkHandlers::parent, &ForkHandlers::child); });
    const ScopedLock enrolling(g_enrol_mu);
    g_locks[rank_].store(this, std::memory_order_release);
    known_.store(true, std::memory_order_release);
    m_.lock();
}

}  // namespace nimbet
