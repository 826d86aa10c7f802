// SPDX-License-Identifier: MIT
// The memory tests' own operator new: allocations counted, and made to fail on demand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbet::test {

// Makes the allocation `n` allocations from now (0: the next one) fail, and
// only that one: operator new throws std::bad_alloc, its nothrow form gives
// null. A negative n lets every allocation succeed again.
void fail_allocation(long n);
// Whether the allocation last set to fail was reached (before a negative n
// called off what was left of the countdown).
bool allocation_failed();
// Bytes obtained through operator new and not yet given back.
int64_t live_bytes();

}  // namespace nimbet::test
