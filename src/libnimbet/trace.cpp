// SPDX-License-Identifier: MIT
// The process-wide trace hook and the names of its events.
#include "trace.h"

#include <netinet/in.h>

#include <atomic>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

struct Hook {
    n_trace_fn fn;
    void *user;
};

// The installed hook, a function and its argument that a thread reads as
// one pair while another may be replacing them: a count that is odd while
// a change is under way (a sequence lock) lets readers take a consistent
// copy without a lock. Nothing is kept per hook, however often it is set.
std::atomic<uint64_t> g_hook_changes{0};
std::atomic<n_trace_fn> g_hook_fn{nullptr};
std::atomic<void *> g_hook_user{nullptr};
nimbet::GlobalLock g_hooks_mu(nimbet::kRankHooks);  // one change at a time

Hook current_hook()
{
    for (;;) {
        const uint64_t before = g_hook_changes.load(std::memory_order_acquire);
        const Hook h{g_hook_fn.load(std::memory_order_relaxed), g_hook_user.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) == 0 && g_hook_changes.load(std::memory_order_relaxed) == before)
            return h;
        std::this_thread::yield();
    }
}

constexpr const char *kEventNames[] = {
    "unknown",  "sent",         "delivered", "rejected",          "not-for-us",       "duplicate",        "ack-sent",
    "ack-received", "part-stored", "part-sent", "part-resent", "ignored", "transfer-finished", "transfer-aborted",
    "transfer-refused", "received", "request-refused",
};

// An event held back until the thread holds no library lock. Reasons are
// static texts, so the pointer is kept; the bytes and the addresses are
// copied.
struct Held {
    n_trace_event event;
    int fd;
    std::vector<unsigned char> bytes;
    bool has_peer;
    sockaddr_in peer;
    const char *reason;
    std::vector<sockaddr_in> to;
};

// Per thread: library locks held, whether the hook runs, what waits. (A
// list is made without allocating anything: a thread's first hold may end
// while memory has run out, in a destructor that must not throw.)
thread_local int t_holds = 0;
thread_local bool t_in_hook = false;
thread_local std::list<Held> t_held;

void call_hook(const n_trace_info &info)
{
    const Hook h = current_hook();
    if (h.fn == nullptr)
        return;
    t_in_hook = true;
    h.fn(&info, h.user);
    t_in_hook = false;
}

// Delivers what was held back, in order, events raised by the hook itself
// included (they wait for the call that raised them to return).
void deliver_held()
{
    while (!t_held.empty() && t_holds == 0 && !t_in_hook) {
        const Held e = std::move(t_held.front());
        t_held.pop_front();
        const n_trace_info info{e.event,  e.fd, e.bytes.empty() ? nullptr : e.bytes.data(), e.bytes.size(),
                                e.has_peer ? &e.peer : nullptr,
                                e.reason, e.to.empty() ? nullptr : e.to.data(), e.to.size()};
        call_hook(info);
    }
}

}  // namespace

namespace nimbet {

bool trace_enabled() { return g_hook_fn.load(std::memory_order_relaxed) != nullptr; }

void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason, const sockaddr_in *to, std::size_t to_count)
{
    if (!trace_enabled())
        return;
    if (t_holds > 0 || t_in_hook) {
        // An event that cannot be copied for want of memory is lost, as
        // it would be if the hook could not take it.
        try {
            Held e{event, fd, {}, peer != nullptr, {}, reason, {}};
            if (bytes != nullptr)
                e.bytes.assign(bytes, bytes + len);
            if (to != nullptr)
                e.to.assign(to, to + to_count);
            if (peer != nullptr)
                e.peer = *peer;
            t_held.push_back(std::move(e));
        } catch (const std::bad_alloc &) {
        }
        return;
    }
    call_hook({event, fd, bytes, len, peer, reason, to, to_count});
    deliver_held();
}

TraceHold::TraceHold() { ++t_holds; }

TraceHold::~TraceHold()
{
    if (--t_holds == 0 && !t_held.empty())
        deliver_held();
}

}  // namespace nimbet

extern "C" {

// A thread that is calling the hook being replaced finishes that call: the
// old function and argument must stay usable until such calls are over.
void n_set_trace(n_trace_fn fn, void *user)
try {
    const nimbet::ScopedLock lock(g_hooks_mu);
    const uint64_t changes = g_hook_changes.load(std::memory_order_relaxed);
    g_hook_changes.store(changes + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    g_hook_fn.store(fn, std::memory_order_relaxed);
    g_hook_user.store(fn != nullptr ? user : nullptr, std::memory_order_relaxed);
    g_hook_changes.store(changes + 2, std::memory_order_release);
} catch (...) {
    return nimbet::failed_by_exception(n_set_trace);
}

const char *n_trace_event_name(int event)
try {
    if (event < 1 || event >= static_cast<int>(sizeof kEventNames / sizeof kEventNames[0]))
        return kEventNames[0];
    return kEventNames[event];
} catch (...) {
    return nimbet::failed_by_exception(n_trace_event_name);
}

}  // extern "C"
