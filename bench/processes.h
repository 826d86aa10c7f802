// SPDX-License-Identifier: MIT
// Helper processes of the benchmarks: forked helpers with a channel to the parent, programs run within bounds.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace nimbet::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A forked helper process with a stream socket to its parent. The body gets
// its end of the socket and returns the exit status; the parent reaps the
// child in every case, killing it when it does not end in time.
class Child {
public:
    explicit Child(const std::function<int(int)> &body)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            close(ends[0]);
            _exit(body(ends[1]));
        }
        close(ends[1]);
        channel_ = ends[0];
    }
    ~Child()
    {
        finish();
        if (channel_ >= 0)
            close(channel_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // True once the child has said it is ready (one byte), within 5 s.
    bool ready() const
    {
        pollfd p{channel_, POLLIN, 0};
        char c = 0;
        return pid_ > 0 && poll(&p, 1, 5000) == 1 && read(channel_, &c, 1) == 1;
    }

    // The child's exit status; -1 when it had to be killed.
    int finish()
    {
        if (pid_ <= 0)
            return status_;
        for (int i = 0; i < 1000; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                pid_ = -1;
                return status_;
            }
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return status_ = -1;
    }

private:
    pid_t pid_ = -1;
    int channel_ = -1;
    int status_ = -1;
};

inline void say_ready(int channel) { (void)!write(channel, "r", 1); }

// Starts a program with its standard output and error on `out` (or
// /dev/null when out is -1). Returns its process id, or -1.
inline pid_t spawn(const std::vector<std::string> &args, int out = -1)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int sink = out >= 0 ? out : open("/dev/null", O_WRONLY);
    dup2(sink, STDOUT_FILENO);
    dup2(sink, STDERR_FILENO);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Waits for a program at most `seconds`, then kills it; true when it exited with 0.
inline bool reap(pid_t pid, int seconds)
{
    const auto t0 = Clock::now();
    for (;;) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return WIFEXITED(st) && WEXITSTATUS(st) == 0;
        if (seconds_since(t0) > seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return false;
        }
        usleep(1000);
    }
}

// Reads what a program writes to `fd` until `text` appears, at most `ms`.
inline bool await_text(int fd, const char *text, int ms)
{
    std::string seen;
    const auto t0 = Clock::now();
    while (seen.find(text) == std::string::npos) {
        const int left = ms - static_cast<int>(seconds_since(t0) * 1000);
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        if (left <= 0 || poll(&p, 1, left) != 1)
            return false;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace nimbet::bench
