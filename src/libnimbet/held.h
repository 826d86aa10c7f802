// SPDX-License-Identifier: MIT
// What a thread holds back while it holds a library lock: trace events, and frames to send, which go once it holds none.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "internal.h"

namespace nimbet {

struct Outgoing;
struct SocketCounters;
struct socket_record;

// A counter of the socket's to add one to when a frame went (null: none).
using SentCounter = std::atomic<uint64_t> SocketCounters::*;

// Lives as long as the thread holds a library lock; the outermost one, when
// it goes, sends and reports what was held back, in the order it was
// raised. Declared before the lock it covers, so that it outlives it.
class OutputHold {
public:
    OutputHold();
    ~OutputHold();
    OutputHold(const OutputHold &) = delete;
    OutputHold &operator=(const OutputHold &) = delete;
};

// Whether a trace event raised now must wait: the thread holds a library
// lock, or runs the trace hook already.
bool events_held();

// Keeps a trace event (with copies of its bytes and addresses) until it can
// reach the hook; an event that cannot be copied for want of memory is lost,
// as it would be if the hook could not take it.
void hold_event(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason, const sockaddr_in *to, std::size_t to_count);

// Keeps a frame that `rec` is to send, while the thread holds a library lock
// (no system call is made under one); false when it holds none, or when the
// frame cannot be kept for want of memory: the caller sends it at once.
bool hold_send(socket_record *rec, const Outgoing &out, std::span<const unsigned char> frame, n_trace_event event,
               SentCounter also);

// Lives while the thread runs the trace hook (trace.cpp): what the hook's
// own calls raise waits until it returns.
class HookCall {
public:
    HookCall();
    ~HookCall();
    HookCall(const HookCall &) = delete;
    HookCall &operator=(const HookCall &) = delete;
};

// Sends and reports what waits, when nothing holds it any more.
void deliver_held();

/*
 * What became of the frames a call sent while this lives, at once or held
 * back and sent as its locks were let go: the call reports a frame that did
 * not go as it would have reported a send made under its lock. Made where
 * the thread holds no lock (else a frame held back may go only after it
 * ends, and is not counted).
 */
class SentFrames {
public:
    SentFrames();
    ~SentFrames();
    SentFrames(const SentFrames &) = delete;
    SentFrames &operator=(const SentFrames &) = delete;

    // `result` when every frame went, else -1 with the first refusal's
    // error numbers.
    int result(int result) const;
    bool all_went() const { return !failed_; }

    // A frame sent at once went (r > 0) or not, with the thread's error
    // numbers: the report of the call under way, if any, learns it.
    static void note(int r);
    // A frame went (r > 0) or not, with these error numbers.
    void record(int r, int err, int sys);
    // Whether frames held back now go before this report ends.
    bool sees_held() const { return sees_held_; }

private:
    SentFrames *outer_;
    bool sees_held_;
    bool failed_ = false;
    int err_ = 0;
    int sys_ = 0;
};

}  // namespace nimbet
