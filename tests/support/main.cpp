// SPDX-License-Identifier: MIT
// Entry point of the test program: isolate the process, then run the tests.
#include <gtest/gtest.h>

#include "support/netns.h"

int main(int argc, char **argv)
{
    nimbet::test::enter_private_netns();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
