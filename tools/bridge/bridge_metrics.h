// SPDX-License-Identifier: MIT
// The gateway's Prometheus page: a small HTTP responder served from the gateway thread's poll loop.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nimbet::bridge {

// Answers GET /metrics with the text that `render` makes, and every other
// request with 404 (405 for methods other than GET and HEAD), one request per
// connection. Nothing blocks: the listening socket and the clients take
// part in the gateway's poll, a client that sends no complete request within
// two seconds is dropped, and at most eight are served at once.
class MetricsServer {
public:
    explicit MetricsServer(std::function<std::string()> render) : render_(std::move(render)) {}
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

    std::function<std::string()> render_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::vector<Client> clients_;
};

// One sample line of the Prometheus text format: NAME{LABELS} VALUE.
std::string metric_line(const std::string &name, uint64_t value, const std::string &labels = "");

}  // namespace nimbet::bridge
