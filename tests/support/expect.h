// SPDX-License-Identifier: MIT
// Helpers shared by the module tests: checking a failure, a time limit, and a fixture that holds one packet.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "nimbet/nimbet.h"

// Runs `call` with the error number cleared, then checks that it gave its
// failure value and set the expected error number.
#define EXPECT_FAILS_WITH(failure, err, call) \
    do {                                      \
        n_errno = 0;                          \
        EXPECT_EQ(failure, call);             \
        EXPECT_EQ(err, n_errno);              \
    } while (0)

namespace nimbet::test {

// Ends the test program (SIGALRM) when the scope lasts longer than
// `seconds`: a call that waits for a lock left held fails at once instead of
// hanging until the test runner gives up.
class Deadline {
public:
    explicit Deadline(unsigned seconds) { alarm(seconds); }
    ~Deadline() { alarm(0); }
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;
};

// A fresh packet per test, freed afterwards with its tuples.
class PacketTest : public testing::Test {
protected:
    void SetUp() override
    {
        pkt = n_pkt_alloc();
        ASSERT_NE(nullptr, pkt);
        n_errno = 0;
    }
    void TearDown() override { EXPECT_EQ(1, n_pkt_free(pkt)); }

    n_pkt *pkt = nullptr;
};

}  // namespace nimbet::test
