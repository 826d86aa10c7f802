// SPDX-License-Identifier: MIT
// The gateway's Prometheus page: listening, reading one request, answering it.
#include "bridge_metrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bridge_mqtt.h"
#include "nimbet/nimbet.h"

namespace nimbet::bridge {

namespace {

constexpr std::size_t kMaxClients = 32;
constexpr std::size_t kMaxRequest = 8192;
constexpr uint32_t kRequestMs = 2000;

std::string response(const char *status, const std::string &type, const std::string &body, bool head)
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           (head ? std::string() : body);
}

}  // namespace

std::string metric_line(const std::string &name, uint64_t value, const std::string &labels)
{
    return name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
}

std::string metric_line(const std::string &name, double value, const std::string &labels)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return name + (labels.empty() ? "" : "{" + labels + "}") + " " + text + "\n";
}

std::string process_metrics(double start_time)
{
    std::string out;
    const auto gauge = [&](const char *name, const char *type, const char *help, double value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
               metric_line(name, value);
    };
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    gauge("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", cpu);
    unsigned long long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%llu %llu", &pages, &resident) != 2)
            pages = resident = 0;
        std::fclose(f);
    }
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    gauge("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
          static_cast<double>(resident) * page);
    gauge("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", static_cast<double>(pages) * page);
    int fds = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d))
            fds += e->d_name[0] != '.';
        closedir(d);
        --fds;  // the directory's own descriptor
    }
    gauge("process_open_fds", "gauge", "Number of open file descriptors.", fds);
    gauge("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", start_time);
    return out;
}

MetricsServer::~MetricsServer()
{
    for (const Client &c : clients_)
        close(c.fd);
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

bool MetricsServer::listen(const std::string &address, std::string &error)
{
    std::string host;
    int port = 0;
    parse_broker_address(address.find(':') == std::string::npos ? "127.0.0.1:" + address : address, host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "metrics address " + address + ": " + gai_strerror(rc);
        return false;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 16) == 0;
    const int err = errno;
    freeaddrinfo(found);
    if (!ok) {
        error = "cannot serve metrics on " + address + ": " + std::strerror(err);
        if (fd >= 0)
            close(fd);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    listen_fd_ = fd;
    return true;
}

void MetricsServer::add_to(std::vector<pollfd> &fds)
{
    if (listen_fd_ < 0)
        return;
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const Client &c : clients_)
        fds.push_back({c.fd, static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
}

void MetricsServer::serve(const std::vector<pollfd> &fds, std::size_t first)
{
    if (listen_fd_ < 0)
        return;
    const uint32_t now = n_util_getmstime();
    // The clients as they were when added to the poll, one entry each.
    for (std::size_t i = 0; i < clients_.size() && first + 1 + i < fds.size(); ++i) {
        Client &c = clients_[i];
        const short ready = fds[first + 1 + i].revents;
        if (ready != 0 && c.out.empty())
            read_request(c);
        if (!c.out.empty() && (ready & POLLOUT) != 0) {
            const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n > 0)
                c.sent += static_cast<std::size_t>(n);
            else if (errno != EAGAIN && errno != EINTR)
                c.sent = c.out.size();  // the client went: nothing more to say
        }
    }
    const auto done = [&](const Client &c) {
        const bool over = (!c.out.empty() && c.sent >= c.out.size()) || now - c.since > kRequestMs || c.fd < 0;
        if (over && c.fd >= 0)
            close(c.fd);
        return over;
    };
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(), done), clients_.end());
    if ((fds[first].revents & POLLIN) != 0) {
        for (std::size_t accepted = 0; accepted < kMaxClients; ++accepted) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                break;
            make_room(now);
            clients_.push_back({fd, {}, {}, 0, now});
        }
    }
}

// At the limit, the client that has waited longest without a complete
// request goes (or, when every one has its answer, the oldest).
void MetricsServer::make_room(uint32_t now)
{
    if (clients_.size() < kMaxClients)
        return;
    auto victim = clients_.begin();
    uint32_t longest = 0;
    bool sending = false;
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        const bool still_sending = it->out.empty();
        if ((still_sending && !sending) || (still_sending == sending && now - it->since >= longest)) {
            victim = it;
            longest = now - it->since;
            sending = still_sending;
        }
    }
    close(victim->fd);
    clients_.erase(victim);
}

void MetricsServer::read_request(Client &c)
{
    char buf[2048];
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        close(c.fd);
        c.fd = -1;
        return;
    }
    if (n > 0)
        c.in.append(buf, static_cast<std::size_t>(n));
    if (c.in.find("\r\n\r\n") != std::string::npos || c.in.find("\n\n") != std::string::npos)
        c.out = respond(c.in);
    else if (c.in.size() > kMaxRequest)
        c.out = response("431 Request Header Fields Too Large", "text/plain", "request too large\n", false);
}

std::string MetricsServer::respond(const std::string &request)
{
    const std::size_t sp1 = request.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 == std::string::npos)
        return response("400 Bad Request", "text/plain", "bad request\n", false);
    const std::string method = request.substr(0, sp1);
    std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    path = path.substr(0, path.find('?'));
    const bool head = method == "HEAD";
    if (method != "GET" && !head)
        return response("405 Method Not Allowed", "text/plain", "only GET\n", false);
    if (path == "/healthz") {
        std::string why;
        const bool healthy = health_ ? health_(why) : true;
        return response(healthy ? "200 OK" : "503 Service Unavailable", "text/plain; charset=utf-8", why + "\n",
                        head);
    }
    if (path != "/metrics")
        return response("404 Not Found", "text/plain", "see /metrics or /healthz\n", head);
    return response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_(), head);
}

}  // namespace nimbet::bridge
