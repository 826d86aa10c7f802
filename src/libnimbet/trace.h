// SPDX-License-Identifier: MIT
// The trace hook as the library's modules call it: cheap when no hook is installed.
#pragma once

#include <cstddef>

#include "internal.h"

namespace nimbet {

bool trace_enabled();

// Calls the installed hook, if any.
void trace_emit(n_trace_event event, int fd, const unsigned char *bytes, std::size_t len, const sockaddr_in *peer,
                const char *reason = nullptr, const sockaddr_in *to = nullptr, std::size_t to_count = 0);

}  // namespace nimbet
