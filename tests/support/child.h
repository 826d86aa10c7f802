// SPDX-License-Identifier: MIT
// A job run in a child process (each in a network namespace of its own, as the job makes it), its text read back.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace nimbet::test {

struct Child {
    pid_t pid;
    int fd;
};

// Runs `job` in a child process; collect() gives what it returned.
inline Child spawn(const std::function<std::string()> &job)
{
    int p[2];
    if (pipe(p) != 0)
        std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        const std::string r = job();
        [[maybe_unused]] ssize_t n = write(p[1], r.data(), r.size());
        _exit(0);
    }
    close(p[1]);
    return {pid, p[0]};
}

// What the child's job returned; empty when it died first.
inline std::string collect(const Child &c)
{
    std::string r;
    char buf[256];
    for (ssize_t n; (n = read(c.fd, buf, sizeof buf)) > 0;)
        r.append(buf, static_cast<std::size_t>(n));
    close(c.fd);
    int status = 0;
    waitpid(c.pid, &status, 0);
    return r;
}

}  // namespace nimbet::test
