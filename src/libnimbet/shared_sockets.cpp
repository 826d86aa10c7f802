// SPDX-License-Identifier: MIT
// Sockets shared with other processes since a fork(): claims that tell whether another process still holds one.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "socket.h"

/*
 * A socket inherited across fork() is one system socket for both processes:
 * shutting it down on close would end it for the other one too, so a close
 * leaves a shared socket alone and wakes its waits another way. It stays
 * shared only while another process still holds it: a child that exits,
 * or runs another program (the library's descriptors are closed on exec),
 * gives it back whole.
 *
 * Who holds a socket is told by claims: a read lock on the byte at the
 * socket's inode number in one file, a memory file that the processes of a
 * family share. Each process claims through its own open description of
 * that file (an open file description lock belongs to the description, and
 * is given up with the last descriptor of it); another process's claim is
 * one that conflicts with a write lock asked through ours. Before fork() the
 * parent claims every socket through its description and through a new one
 * for the child, which the child makes its own (the parent closes its copy
 * of it). Closing a socket gives up the claim; ending or exec gives up all
 * of them.
 */

namespace {

// This process's description of the claims file (-1 before its first
// fork, or when there is none), and the one made for the child of the fork
// under way. Changed only by the fork handlers, with every registry held.
std::atomic<int> g_own{-1};
int g_child = -1;

bool lock_byte(int description, uint64_t at, short type, int cmd)
{
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(at);
    l.l_len = 1;
    return ::fcntl(description, cmd, &l) == 0;
}

}  // namespace

namespace nimbet {

bool claims_prepare()
{
    int own = g_own.load(std::memory_order_relaxed);
    if (own < 0) {
        own = ::memfd_create("nimbet-sockets", MFD_CLOEXEC);
        if (own < 0)
            return false;
        g_own.store(own, std::memory_order_relaxed);
    }
    // A new description of the same file: the path through /proc opens the
    // file anew, where dup() would share ours.
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", own);
    g_child = ::open(path, O_RDWR | O_CLOEXEC);
    return g_child >= 0;
}

bool claim_for_fork(socket_record *rec)
{
    const int own = g_own.load(std::memory_order_relaxed);
    return own >= 0 && g_child >= 0 && lock_byte(own, rec->inode, F_RDLCK, F_OFD_SETLK) &&
           lock_byte(g_child, rec->inode, F_RDLCK, F_OFD_SETLK);
}

void claims_after_fork(bool child)
{
    if (child) {
        const int parents = g_own.load(std::memory_order_relaxed);
        if (parents >= 0)
            ::close(parents);
        g_own.store(g_child, std::memory_order_relaxed);
    } else if (g_child >= 0) {
        ::close(g_child);  // the child's claims live on in its copy
    }
    g_child = -1;
}

void claim_release(socket_record *rec)
{
    const int own = g_own.load(std::memory_order_relaxed);
    if (own >= 0)
        lock_byte(own, rec->inode, F_UNLCK, F_OFD_SETLK);
}

bool socket_shared(socket_record *rec)
{
    uint64_t since = rec->shared_since.load(std::memory_order_acquire);
    if (since == 0)
        return false;
    const int own = g_own.load(std::memory_order_relaxed);
    if (since == kSharedForGood || own < 0)
        return true;
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(rec->inode);
    l.l_len = 1;
    if (::fcntl(own, F_OFD_GETLK, &l) != 0 || l.l_type != F_UNLCK)
        return true;
    // Nobody else claims it. A fork() meanwhile (a new value) keeps it shared.
    if (rec->shared_since.compare_exchange_strong(since, 0, std::memory_order_acq_rel))
        return false;
    return since != 0;
}

}  // namespace nimbet
