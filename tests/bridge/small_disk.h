// SPDX-License-Identifier: MIT
// A small disk for the gateway's tests: a tmpfs in a mount namespace of the test's own process, and a file that fills it.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace nimbet::test {

// A tmpfs of `kib` KiB at `dir`, in a mount namespace of this test's
// process (and the programs it starts); false where that cannot be had.
// Unmount it (umount2 with MNT_DETACH) before removing `dir`.
inline bool small_disk(const std::string &dir, int kib)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()) == 0;
}

// Fills what is left of the disk with a file; removing it makes room.
inline void fill(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char block[4096];
    std::memset(block, 'f', sizeof block);
    while (write(fd, block, sizeof block) > 0) {
    }
    for (ssize_t n = 1; n > 0;)
        n = write(fd, block, 1);
    close(fd);
}

}  // namespace nimbet::test
