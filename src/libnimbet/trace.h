// SPDX-License-Identifier: MIT
// The trace hook as the library's modules call it: cheap when no hook is installed, never called under a lock.
#pragma once

#include <cstddef>

#include "internal.h"

namespace nimbet {

bool trace_enabled();

// Reports an event to the installed hook, if any. While the calling thread
// holds a library lock (an OutputHold lives) or runs the hook already, the
// event (with a copy of its bytes) waits, and reaches the hook once the
// last hold is gone: the hook may call any function of the library.
void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason = nullptr, const sockaddr_in *to = nullptr, std::size_t to_count = 0);

// Calls the installed hook with an event, now.
void trace_call(const n_trace_info &info);

}  // namespace nimbet
