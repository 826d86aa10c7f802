// SPDX-License-Identifier: MIT
// Memory that runs out: calls fail with 12 and leave every registry whole; what the library keeps does not grow.
#include <gtest/gtest.h>

#include "memory/allocation.h"
#include "nimbet/nimbet.h"

using namespace nimbet::test;

namespace {

// Setting the trace hook over and over (a face that sets it per transfer)
// keeps nothing per call.
TEST(Allocations, TraceHookSetOverAndOverKeepsNothing)
{
    const n_trace_fn hooks[2] = {[](const n_trace_info *, void *) {}, [](const n_trace_info *, void *) {}};
    n_set_trace(hooks[0], nullptr);
    n_set_trace(nullptr, nullptr);
    const int64_t before = live_bytes();
    for (int i = 0; i < 10000; ++i)
        n_set_trace(hooks[i % 2], &i);
    n_set_trace(nullptr, nullptr);
    EXPECT_EQ(before, live_bytes());
}

}  // namespace
