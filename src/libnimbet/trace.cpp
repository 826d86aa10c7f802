// SPDX-License-Identifier: MIT
// The process-wide trace hook and the names of its events.
#include "trace.h"

#include <atomic>
#include <deque>
#include <mutex>


namespace {

struct Hook {
    n_trace_fn fn;
    void *user;
};

std::atomic<const Hook *> g_hook{nullptr};
// Every hook ever installed: a thread may still be calling one while another
// thread replaces it, so none is freed before the process ends. Hooks are
// set a handful of times per process.
std::mutex g_hooks_mu;
std::deque<Hook> g_hooks;

constexpr const char *kEventNames[] = {
    "unknown",  "sent",         "delivered", "rejected",          "not-for-us",       "duplicate",        "ack-sent",
    "ack-received", "part-stored", "part-sent", "part-resent", "ignored", "transfer-finished", "transfer-aborted",
    "transfer-refused", "received",
};

}  // namespace

namespace nimbet {

bool trace_enabled() { return g_hook.load(std::memory_order_acquire) != nullptr; }

void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason, const sockaddr_in *to, std::size_t to_count)
{
    const Hook *h = g_hook.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    const n_trace_info info{event, fd, bytes, len, peer, reason, to, to_count};
    h->fn(&info, h->user);
}

}  // namespace nimbet

extern "C" {

void n_set_trace(n_trace_fn fn, void *user)
{
    const Hook *h = nullptr;
    if (fn != nullptr) {
        std::lock_guard lock(g_hooks_mu);
        h = &g_hooks.emplace_back(Hook{fn, user});
    }
    g_hook.store(h, std::memory_order_release);
}

const char *n_trace_event_name(int event)
{
    if (event < 1 || event >= static_cast<int>(sizeof kEventNames / sizeof kEventNames[0]))
        return kEventNames[0];
    return kEventNames[event];
}

}  // extern "C"
