// SPDX-License-Identifier: MIT
// Trace events and frames held back while a thread holds a library lock, delivered in order once it holds none.
#include "held.h"

#include <cstring>
#include <new>
#include <variant>
#include <vector>

#include "send.h"
#include "socket.h"
#include "trace.h"

namespace nimbet {

namespace {

// A trace event. Reasons are static texts, so the pointer is kept; the bytes
// and the addresses are copied.
struct HeldEvent {
    n_trace_event event;
    int fd;
    std::vector<unsigned char> bytes;
    bool has_peer;
    sockaddr_in peer;
    const char *reason;
    std::vector<sockaddr_in> to;
};

// A frame to send, with its socket kept open until it went, and the report
// of the call that sent it (null: nobody asks).
struct HeldSend {
    SocketRef rec;
    Outgoing out;
    unsigned char bytes[kMaxFrame];
    std::size_t len;
    n_trace_event event;
    SentCounter also;
    SentFrames *report;
};

using Held = std::variant<HeldEvent, HeldSend>;

// Per thread: library locks held, whether the hook runs, whether a delivery
// is under way further up the stack, the report of the call under way, and
// what waits (a queue from `t_next`, emptied once all of it went; an empty
// vector allocates nothing, so a thread's first hold may end while memory
// has run out, in a destructor that must not throw).
thread_local int t_holds = 0;
thread_local bool t_in_hook = false;
thread_local bool t_delivering = false;
thread_local SentFrames *t_report = nullptr;
thread_local std::vector<Held> t_held;
thread_local std::size_t t_next = 0;

void deliver(HeldEvent &e)
{
    const n_trace_info info{e.event,  e.fd, e.bytes.empty() ? nullptr : e.bytes.data(), e.bytes.size(),
                            e.has_peer ? &e.peer : nullptr,
                            e.reason, e.to.empty() ? nullptr : e.to.data(), e.to.size()};
    trace_call(info);
}

// A held frame goes now; the thread's error numbers are the call's own, so
// they are kept as they were, and the frame's fate goes to its report.
void deliver(HeldSend &s)
{
    const int err = n_errno, sys = n_util_syserr();
    const int r = s.rec->closed.load(std::memory_order_acquire)
                      ? fail(kBadF)
                      : transmit_now(s.rec.get(), s.out, {s.bytes, s.len}, s.event, s.also);
    if (s.report != nullptr)
        s.report->record(r, n_errno, n_util_syserr());
    set_error(err, sys);
}

}  // namespace

OutputHold::OutputHold() { ++t_holds; }

OutputHold::~OutputHold()
{
    if (--t_holds == 0 && t_next < t_held.size())
        deliver_held();
}

bool events_held() { return t_holds > 0 || t_in_hook; }

void hold_event(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason, const sockaddr_in *to, std::size_t to_count)
{
    try {
        HeldEvent e{event, fd, {}, peer != nullptr, {}, reason, {}};
        if (bytes != nullptr)
            e.bytes.assign(bytes, bytes + len);
        if (to != nullptr)
            e.to.assign(to, to + to_count);
        if (peer != nullptr)
            e.peer = *peer;
        t_held.emplace_back(std::move(e));
    } catch (const std::bad_alloc &) {
    }
}

bool hold_send(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
               SentCounter also)
{
    // Frames that the hook's own calls send go at once, as the hook asked.
    if (t_holds == 0 || frame.size() > kMaxFrame)
        return false;
    try {
        t_held.emplace_back(std::in_place_type<HeldSend>);
    } catch (const std::bad_alloc &) {
        return false;
    }
    HeldSend &s = std::get<HeldSend>(t_held.back());
    s.rec = socket_share(rec);
    s.out = out;
    std::memcpy(s.bytes, frame.data(), frame.size());
    s.len = frame.size();
    s.event = event;
    s.also = also;
    s.report = t_report != nullptr && t_report->sees_held() ? t_report : nullptr;
    return true;
}

HookCall::HookCall() { t_in_hook = true; }
HookCall::~HookCall() { t_in_hook = false; }

void deliver_held()
{
    // What a delivery raises (the hook's own events, a held frame's trace
    // event) joins the queue behind it and goes in its turn, from this loop.
    if (t_delivering)
        return;
    t_delivering = true;
    while (t_next < t_held.size() && t_holds == 0 && !t_in_hook) {
        Held h = std::move(t_held[t_next]);
        ++t_next;
        if (HeldSend *send = std::get_if<HeldSend>(&h))
            deliver(*send);
        else if (HeldEvent *event = std::get_if<HeldEvent>(&h))
            deliver(*event);
    }
    if (t_next == t_held.size()) {
        t_held.clear();
        t_next = 0;
    }
    t_delivering = false;
}

SentFrames::SentFrames() : outer_(t_report), sees_held_(t_holds == 0 && !t_in_hook && !t_delivering)
{
    t_report = this;
}

SentFrames::~SentFrames() { t_report = outer_; }

int SentFrames::result(int result) const
{
    if (!failed_)
        return result;
    return fail_sys(err_, sys_);
}

void SentFrames::note(int r)
{
    if (t_report != nullptr)
        t_report->record(r, n_errno, n_util_syserr());
}

void SentFrames::record(int r, int err, int sys)
{
    if (r > 0 || failed_)
        return;
    failed_ = true;
    err_ = err;
    sys_ = sys;
}

}  // namespace nimbet
