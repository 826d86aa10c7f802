// SPDX-License-Identifier: MIT
// What the gateway's tests against a real broker share: the fixture, topics, frames, HTTP and metrics pages.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "mqtt_rig.h"
#include "support/nodes.h"

namespace nimbet::test {

using nlohmann::json;

constexpr int kBrokerPort = 18830;

inline std::string id_text(const NodeId &id)
{
    std::string s;
    for (unsigned char b : id)
        s += (s.empty() ? "" : ".") + std::to_string(b);
    return s;
}

inline std::string topic_of(const NodeId &gateway, const std::string &leaf) { return "nimbet/" + id_text(gateway) + "/" + leaf; }

// The first tuple's text of each frame published on `topic`.
inline std::vector<std::string> first_texts(Probe &probe, const std::string &topic)
{
    std::vector<std::string> out;
    for (const std::string &p : probe.on(topic))
        out.push_back(json::parse(p)["tuples"][0].value("text", ""));
    return out;
}

inline bool has(const std::vector<std::string> &v, const std::string &x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// The first tuple's texts as numbers, in arrival order.
inline std::vector<int> numbers(Probe &probe, const std::string &topic)
{
    std::vector<int> out;
    for (const std::string &t : first_texts(probe, topic))
        out.push_back(std::stoi(t));
    return out;
}

// 0, 1, ..., n - 1.
inline std::vector<int> numbers_below(int n)
{
    std::vector<int> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = i;
    return v;
}

// GET http://127.0.0.1:port/path: the whole response, or "" when none came.
inline std::string http_get(int port, const std::string &path)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string out;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(s, req.data(), req.size(), 0) == static_cast<ssize_t>(req.size())) {
            char buf[4096];
            for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
                out.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(s);
    return out;
}

// The samples of a Prometheus text page: "name{labels}" -> value. Every
// line must be a comment or a sample.
inline std::map<std::string, double> parse_metrics(const std::string &page)
{
    std::map<std::string, double> out;
    std::istringstream in(page.substr(page.find("\r\n\r\n") + 4));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto sp = line.rfind(' ');
        EXPECT_NE(sp, std::string::npos) << line;
        out[line.substr(0, sp)] = std::stod(line.substr(sp + 1));
    }
    return out;
}

inline n_pkt *frame(const char *type, const std::string &text)
{
    n_pkt *pkt = n_pkt_alloc();
    n_acl_add_str(pkt, type, reinterpret_cast<const unsigned char *>(text.data()), static_cast<uint16_t>(text.size()), 0);
    return pkt;
}

class BridgeBroker : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Broker::available())
            GTEST_SKIP() << "mosquitto is not installed (scripts/test installs it)";
    }

    void start_broker(bool persistent = false)
    {
        broker = std::make_unique<Broker>(kBrokerPort, persistent);
        broker->start();
    }

    // Starts a gateway and waits for its "online" status.
    std::unique_ptr<GatewayProcess> start_gateway(const NodeId &id, uint16_t port, std::vector<std::string> extra = {})
    {
        auto gw = std::make_unique<GatewayProcess>(gateway_args(id, port, extra));
        Probe status(kBrokerPort, "status-" + id_text(id));
        status.subscribe(topic_of(id, "status"));
        EXPECT_TRUE(status.wait_for([&] { return has(status.on(topic_of(id, "status")), "online"); }, 5000))
            << gw->output();
        return gw;
    }

    // A gateway's command line: no configuration file, its state in the
    // test's directory.
    std::vector<std::string> gateway_args(const NodeId &id, uint16_t port, const std::vector<std::string> &extra = {},
                                          const std::string &mqtt = "")
    {
        std::vector<std::string> args = {std::to_string(port), "--mqtt",
                                         mqtt.empty() ? "127.0.0.1:" + std::to_string(kBrokerPort) : mqtt,
                                         "--id", id_text(id), "--dest", "127.255.255.255", "--seconds", "60",
                                         "--no-config", "--state-dir", state.path};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::unique_ptr<Broker> broker;
    TempDir state;
    NodeId gateway = node_id(9);
};

}  // namespace nimbet::test
