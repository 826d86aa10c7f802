// SPDX-License-Identifier: MIT
// Runs a command inside a fresh private network namespace with loopback up.
#include <unistd.h>

#include <cstdio>

#include "support/netns.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s command [args...]\n", argv[0]);
        return 2;
    }
    nimbet::test::enter_private_netns();
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
