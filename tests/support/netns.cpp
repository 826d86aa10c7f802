// SPDX-License-Identifier: MIT
// Private network namespaces for tests: isolation, loopback, veth pairs, and the refusal check.
#include "support/netns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

extern char **environ;

namespace nimbet::test {
namespace {

bool g_isolated = false;
std::set<std::string> g_own_interfaces{"lo"};

[[noreturn]] void refuse(const std::string &why)
{
    std::fprintf(stderr,
                 "\n*** nimbet test harness: REFUSING TO RUN: %s ***\n"
                 "*** socket tests run only inside a private network namespace ***\n\n",
                 why.c_str());
    std::fflush(stderr);
    std::_Exit(3);
}

bool write_file(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

void unshare_net()
{
    if (unshare(CLONE_NEWNET) == 0)
        return;
    if (errno != EPERM)
        refuse(std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));
    // Unprivileged: a user namespace in which we are root owns the new
    // network namespace.
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        refuse(std::string("unshare(CLONE_NEWUSER | CLONE_NEWNET): ") + std::strerror(errno));
    write_file("/proc/self/setgroups", "deny");
    if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
        refuse("cannot write the user namespace id maps");
}

void bring_up(const char *name)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        refuse(std::string("socket: ") + std::strerror(errno));
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
        refuse(std::string("SIOCGIFFLAGS ") + name + ": " + std::strerror(errno));
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        refuse(std::string("SIOCSIFFLAGS ") + name + ": " + std::strerror(errno));
    close(s);
}

void run_ip(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    std::string prog = "ip";
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
        refuse("cannot start the ip command (package iproute2)");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line = "ip";
        for (const std::string &a : args)
            line += " " + a;
        refuse("command failed: " + line);
    }
}

}  // namespace

void enter_private_netns()
{
    if (g_isolated)
        return;
    unshare_net();
    g_isolated = true;
    bring_up("lo");
    require_only_own_interfaces();
}

bool in_private_netns() { return g_isolated; }

void require_only_own_interfaces()
{
    if (!g_isolated)
        refuse("the process has not entered its own network namespace");
    struct if_nameindex *list = if_nameindex();
    if (list == nullptr)
        refuse(std::string("if_nameindex: ") + std::strerror(errno));
    std::string stranger;
    for (struct if_nameindex *i = list; i->if_index != 0; ++i)
        if (g_own_interfaces.count(i->if_name) == 0)
            stranger = i->if_name;
    if_freenameindex(list);
    if (!stranger.empty())
        refuse("found network interface '" + stranger + "' that the test did not create");
}

void create_veth(const std::string &name_a, const std::string &cidr_a,
                 const std::string &name_b, const std::string &cidr_b)
{
    if (!g_isolated)
        refuse("create_veth outside the private namespace");
    run_ip({"link", "add", name_a, "type", "veth", "peer", "name", name_b});
    g_own_interfaces.insert(name_a);
    g_own_interfaces.insert(name_b);
    if (!cidr_a.empty())
        run_ip({"addr", "add", cidr_a, "brd", "+", "dev", name_a});
    if (!cidr_b.empty())
        run_ip({"addr", "add", cidr_b, "brd", "+", "dev", name_b});
    run_ip({"link", "set", name_a, "up"});
    run_ip({"link", "set", name_b, "up"});
}

}  // namespace nimbet::test
