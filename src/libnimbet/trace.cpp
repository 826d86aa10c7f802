// SPDX-License-Identifier: MIT
// The process-wide trace hook and the names of its events.
#include "trace.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "held.h"

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

}  // namespace

namespace nimbet {

bool trace_enabled() { return g_hook_fn.load(std::memory_order_relaxed) != nullptr; }

void trace_call(const n_trace_info &info)
{
    const Hook h = current_hook();
    if (h.fn == nullptr)
        return;
    const HookCall call;
    h.fn(&info, h.user);
}

void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason, const sockaddr_in *to, std::size_t to_count)
{
    if (!trace_enabled())
        return;
    if (events_held()) {
        hold_event(event, fd, bytes, len, peer, reason, to, to_count);
        return;
    }
    trace_call({event, fd, bytes, len, peer, reason, to, to_count});
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
