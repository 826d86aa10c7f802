// The process-wide trace hook and the names of its events.
#include "trace.h"

#include <atomic>

namespace {

struct Hook {
    n_trace_fn fn;
    void *user;
};

std::atomic<const Hook *> g_hook{nullptr};

constexpr const char *kEventNames[] = {
    "unknown",  "sent",         "delivered", "rejected",          "not-for-us",       "duplicate",        "ack-sent",
    "ack-received", "part-stored", "part-sent", "part-resent", "ignored", "transfer-finished", "transfer-aborted",
    "transfer-refused",
};

}  // namespace

namespace nimbet {

bool trace_enabled() { return g_hook.load(std::memory_order_acquire) != nullptr; }

void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason)
{
    const Hook *h = g_hook.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    const n_trace_info info{event, fd, bytes, len, peer, reason};
    h->fn(&info, h->user);
}

}  // namespace nimbet

extern "C" {

void n_set_trace(n_trace_fn fn, void *user)
{
    // A hook, once installed, is never freed: a thread may still be calling
    // it while another replaces it. Hooks are set a handful of times per
    // process, so the few bytes kept are of no account.
    const Hook *h = fn != nullptr ? new Hook{fn, user} : nullptr;
    g_hook.store(h, std::memory_order_release);
}

const char *n_trace_event_name(int event)
{
    if (event < 1 || event >= static_cast<int>(sizeof kEventNames / sizeof kEventNames[0]))
        return kEventNames[0];
    return kEventNames[event];
}

}  // extern "C"
