// SPDX-License-Identifier: MIT
// Telling systemd how the gateway is: libsystemd's sd_notify, or the same datagram written directly.
#include "bridge_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef NIMBET_BRIDGE_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "nimbet/nimbet.h"

namespace nimbet::bridge {

namespace {

// The watchdog interval in microseconds when it is meant for this process.
uint64_t watchdog_usec()
{
#ifdef NIMBET_BRIDGE_WITH_SYSTEMD
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
#else
    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && std::strtol(pid, nullptr, 10) != getpid()))
        return 0;
    return std::strtoull(usec, nullptr, 10);
#endif
}

}  // namespace

ServiceNotifier::ServiceNotifier()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    interval_ms_ = enabled_ ? static_cast<uint32_t>(watchdog_usec() / 2000) : 0;
    last_ = n_util_getmstime();
}

void ServiceNotifier::ready(const std::string &status) { send("READY=1\nSTATUS=" + status); }
void ServiceNotifier::status(const std::string &status) { send("STATUS=" + status); }

void ServiceNotifier::reloading()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    send("RELOADING=1\nMONOTONIC_USEC=" +
         std::to_string(static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u));
}
void ServiceNotifier::stopping() { send("STOPPING=1"); }

void ServiceNotifier::tick(uint32_t now_ms)
{
    if (interval_ms_ == 0 || now_ms - last_ < interval_ms_)
        return;
    last_ = now_ms;
    send("WATCHDOG=1");
}

int ServiceNotifier::next_ms(uint32_t now_ms, int max_ms) const
{
    if (interval_ms_ == 0)
        return max_ms;
    const uint32_t since = now_ms - last_;
    return since >= interval_ms_ ? 0 : std::min<int>(max_ms, static_cast<int>(interval_ms_ - since));
}

void ServiceNotifier::send(const std::string &text)
{
    if (!enabled_)
        return;
#ifdef NIMBET_BRIDGE_WITH_SYSTEMD
    sd_notify(0, text.c_str());
#else
    // A datagram to NOTIFY_SOCKET: a path, or an abstract name after '@'.
    const char *path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const std::size_t len = std::strlen(path);
    if (len >= sizeof to.sun_path)
        return;
    std::memcpy(to.sun_path, path, len);
    if (to.sun_path[0] == '@')
        to.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
    close(fd);
#endif
}

}  // namespace nimbet::bridge
