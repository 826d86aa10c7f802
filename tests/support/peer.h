// SPDX-License-Identifier: MIT
// A node that runs in a child process, for tests whose own node blocks in a library call while the peer must answer.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "nimbet/nimbet.h"
#include "support/nodes.h"

namespace nimbet::test {

// The library keeps its state per process and is used from one thread, so a
// peer that answers while the test waits inside n_socket_send_acked lives in
// a forked child (same network namespace). The child opens a node, sets
// `options`, and receives (acknowledging through its own socket) until the
// parent stops it or `max_ms` have passed; it counts the packets delivered
// to it. Its life is bounded, and the destructor reaps it in any case.
// `options` are SOCKET_ bits, and kPlainPeer for a node that takes no
// request identifiers (it answers as a node that knows only the sequence
// byte does).
class PeerProcess {
public:
    static constexpr int kPlainPeer = 0x10000;

    PeerProcess(const NodeId &id, int options, int max_ms = 5000)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ends[0]);
            run_child(id, options, max_ms, ends[1]);
        }
        close(ends[1]);
        channel_ = ends[0];
        char ready = 0;
        ready_ = pid_ > 0 && wait_readable(channel_, 5000) && recv(channel_, &ready, 1, 0) == 1;
    }

    ~PeerProcess() { stop(); }

    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    bool ready() const { return ready_; }

    // Stops the child and returns the number of packets its application
    // received, or -1 when it did not answer.
    int stop()
    {
        if (pid_ <= 0)
            return delivered_;
        int32_t count = -1;
        // The child may have ended at its time limit: no SIGPIPE then.
        send(channel_, "s", 1, MSG_NOSIGNAL);
        if (!wait_readable(channel_, 5000) || recv(channel_, &count, sizeof count, MSG_WAITALL) != sizeof count) {
            kill(pid_, SIGKILL);
            count = -1;
        }
        waitpid(pid_, nullptr, 0);
        close(channel_);
        pid_ = -1;
        delivered_ = count;
        return delivered_;
    }

private:
    static bool wait_readable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }

    [[noreturn]] static void run_child(const NodeId &id, int options, int max_ms, int channel)
    {
        const int fd = open_node(id);
        if ((options & kPlainPeer) != 0)
            n_socket_set_request_ids(fd, 0);
        if ((options & ~kPlainPeer) != 0)
            n_socket_set_option(fd, options & ~kPlainPeer, 1);
        if (send(channel, "r", 1, MSG_NOSIGNAL) != 1)
            _exit(1);
        int32_t count = 0;
        const uint32_t start = n_util_getmstime();
        while (n_util_getmstime() - start < static_cast<uint32_t>(max_ms)) {
            pollfd ps[2] = {{fd, POLLIN, 0}, {channel, POLLIN, 0}};
            poll(ps, 2, 10);
            if (ps[1].revents != 0)
                break;
            while (n_pkt *pkt = n_socket_recv(fd, fd)) {
                ++count;
                n_pkt_free(pkt);
            }
        }
        send(channel, &count, sizeof count, MSG_NOSIGNAL);
        n_socket_close(fd);
        _exit(0);
    }

    pid_t pid_ = -1;
    int channel_ = -1;
    bool ready_ = false;
    int delivered_ = -1;
};

}  // namespace nimbet::test
