// SPDX-License-Identifier: MIT
// The gateway's Prometheus page: a small HTTP responder served from the gateway thread's poll loop.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nimbet::bridge {

// Answers GET /metrics with the text that `render` makes, GET /healthz with
// 200 or 503 as `health` says, and every other request with 404 (405 for
// methods other than GET and HEAD), one request per connection. Nothing
// blocks: the listening socket and the clients take part in the gateway's
// poll, a client that sends no complete request within two seconds is
// dropped, and at most 32 are served at once; when a new one comes while
// 32 are there, the oldest one still sending its request gives way, so
// slow or idle clients cannot keep a scraper out.
class MetricsServer {
public:
    // Whether the gateway is healthy, with a line that says why (or why not).
    using Health = std::function<bool(std::string &why)>;
    MetricsServer(std::function<std::string()> render, Health health)
        : render_(std::move(render)), health_(std::move(health))
    {
    }
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;

    // Listens on "[HOST:]PORT" (host 127.0.0.1 when only a port is given).
    // False with a message naming the address.
    bool listen(const std::string &address, std::string &error);

    // Appends the descriptors to wait for; serve() takes the same entries
    // back after poll, from index `first`.
    void add_to(std::vector<pollfd> &fds);
    void serve(const std::vector<pollfd> &fds, std::size_t first);

    uint16_t port() const { return port_; }

private:
    struct Client {
        int fd;
        std::string in, out;
        std::size_t sent = 0;
        uint32_t since;
    };
    void read_request(Client &c);
    std::string respond(const std::string &request);

    void make_room(uint32_t now);

    std::function<std::string()> render_;
    Health health_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::vector<Client> clients_;
};

// One sample line of the Prometheus text format: NAME{LABELS} VALUE.
std::string metric_line(const std::string &name, uint64_t value, const std::string &labels = "");
std::string metric_line(const std::string &name, double value, const std::string &labels = "");

// The process's own figures as Prometheus users expect them:
// process_cpu_seconds_total, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds, process_start_time_seconds
// (start_time: seconds of the wall clock).
std::string process_metrics(double start_time);

}  // namespace nimbet::bridge
