// SPDX-License-Identifier: MIT
// The gateway against a real mosquitto broker on loopback, inside the test's private namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "broker_fixture.h"

namespace nimbet::test {
namespace {

using nlohmann::json;

TEST_F(BridgeBroker, FramesAndFinishedTransfersGoUp)
{
    start_broker();
    Probe probe(kBrokerPort, "watcher");
    probe.subscribe("nimbet/#");
    auto gw = start_gateway(gateway, kNodePort, {"--timeout", "50", "--stats", "1"});
    const int a = open_node(node_id(1));

    n_pkt *p1 = frame("msg", "to everybody");
    n_pkt *p2 = frame("msg", "to another node");
    n_pkt *p3 = frame("msg", "to the gateway");
    const NodeId other = node_id(5);
    ASSERT_EQ(n_socket_send(a, p1), 1);
    ASSERT_GE(n_socket_send_addressed(a, p2, other.data()), 0);
    ASSERT_GE(n_socket_send_acked(a, a, p3, gateway.data()), 0);
    const std::string rx = topic_of(gateway, "rx");
    ASSERT_TRUE(probe.wait_for([&] { return has(first_texts(probe, rx), "to the gateway"); }, 5000))
        << gw->output();
    const auto texts = first_texts(probe, rx);
    EXPECT_TRUE(has(texts, "to everybody"));
    EXPECT_FALSE(has(texts, "to another node"));  // sent before the last one, on the same path
    const json first = json::parse(probe.on(rx).front());
    EXPECT_EQ(first["src"], id_text(node_id(1)));

    // A transfer to the gateway arrives whole, then its summary.
    std::string data(500, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    ASSERT_GE(n_socket_send_buffer_str(a, a, reinterpret_cast<const unsigned char *>(data.data()),
                                       static_cast<int>(data.size()), id_text(gateway).c_str(), "fil"),
              0);
    pump({a}, [&] { return n_frag_get_status(gateway.data(), FRAG_STATE_MASK) != FRAG_ACTIVE; }, 10000);
    EXPECT_EQ(n_frag_get_status(gateway.data(), FRAG_STATE_MASK), FRAG_FINISHED);
    const std::string transfer = topic_of(gateway, "transfer/" + id_text(node_id(1)));
    ASSERT_TRUE(probe.wait_for([&] { return !probe.on(transfer + "/meta").empty(); }, 5000)) << gw->output();
    ASSERT_EQ(probe.on(transfer).size(), 1u);
    EXPECT_EQ(probe.on(transfer)[0], data);
    const json meta = json::parse(probe.on(transfer + "/meta")[0]);
    EXPECT_EQ(meta["bytes"], data.size());
    EXPECT_EQ(meta["type"], "fil");

    // The counters come every second, with the outbox's figures.
    ASSERT_TRUE(probe.wait_for([&] { return !probe.on(topic_of(gateway, "stats")).empty(); }, 5000));
    const json stats = json::parse(probe.on(topic_of(gateway, "stats")).back());
    EXPECT_EQ(stats["dropped"], 0);
    EXPECT_TRUE(stats.contains("socket") && stats["socket"].contains("frames_received"));

    // Everything published matches its schema.
    SchemaCheck schemas;
    for (const std::string &m : probe.on(rx))
        schemas.add("bridge-rx", m);
    schemas.add("bridge-transfer-meta", probe.on(transfer + "/meta")[0]);
    schemas.add("bridge-stats", probe.on(topic_of(gateway, "stats")).back());
    const std::string report = schemas.check();
    EXPECT_TRUE(report.empty() || report == "skipped") << report;

    for (n_pkt *p : {p1, p2, p3})
        n_pkt_free(p);
    n_socket_close(a);
}

TEST_F(BridgeBroker, CommandsComeDownAndMalformedOnesGetAnErrorResult)
{
    start_broker();
    Probe probe(kBrokerPort, "commander");
    probe.subscribe(topic_of(gateway, "tx/result"));
    auto gw = start_gateway(gateway, kNodePort, {"--retry", "3", "--timeout", "50"});
    const int b = open_node(node_id(2));
    n_socket_set_option(b, SOCKET_AUTOACK | SOCKET_FRAG, 1);

    std::vector<std::vector<std::string>> heard;  // node b: the tuples of each frame, as "type:bytes"
    auto result_of = [&](const std::string &id) -> json {
        pump({b}, [&] {
            for (const std::string &r : probe.on(topic_of(gateway, "tx/result")))
                if (json::parse(r)["id"] == id)
                    return true;
            return false;
        }, 10000, [&](int, n_pkt *pkt) {
            std::vector<std::string> tuples;
            for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
                char name[4];
                unsigned char *d = nullptr;
                const unsigned len = n_acl_get_data(t, &d);
                tuples.push_back(std::string(n_acl_get_type_str(t, name)) + ":" +
                                 std::string(reinterpret_cast<char *>(d), len));
            }
            heard.push_back(tuples);
        });
        for (const std::string &r : probe.on(topic_of(gateway, "tx/result")))
            if (json::parse(r)["id"] == id)
                return json::parse(r);
        return json{{"missing", id}};
    };
    const std::string tx = topic_of(gateway, "tx");

    probe.publish(tx, R"({"id": "c1", "tuples": [{"type": "msg", "text": "hi"}, {"type": "tmp", "hex": "1505"}]})");
    EXPECT_EQ(result_of("c1")["ok"], true) << gw->output();
    const std::vector<std::string> want = {"msg:hi", "tmp:\x15\x05"};
    EXPECT_TRUE(std::find(heard.begin(), heard.end(), want) != heard.end());

    probe.publish(tx, R"({"id": "c2", "to": "10.0.0.2", "acked": true, "tuples": [{"type": "msg", "text": "ack me"}]})");
    const json c2 = result_of("c2");
    EXPECT_EQ(c2["ok"], true) << c2.dump();
    EXPECT_TRUE(c2.contains("ms"));

    probe.publish(tx, R"({"id": "c3", "to": "10.0.0.77", "acked": true, "tuples": [{"type": "msg", "text": "x"}]})");
    const json c3 = result_of("c3");
    EXPECT_EQ(c3["ok"], false);
    EXPECT_NE(c3.value("error", "").find("not acknowledged"), std::string::npos) << c3.dump();

    // Malformed commands: each gets its error result, and the gateway goes on.
    probe.publish(tx, "{\"id\": \"m1\", not json");
    probe.publish(tx, R"({"id": "m2", "tuples": []})");
    probe.publish(tx, R"({"id": "m3", "to": "x.y", "tuples": [{"type": "msg", "text": "x"}]})");
    probe.publish(tx, R"({"id": "m4", "tuples": [{"type": "msg", "text": "01234567890123456789012345678901234567890123456789012345678901"}]})");
    for (const char *m : {"m2", "m3", "m4"}) {
        const json r = result_of(m);
        EXPECT_EQ(r["ok"], false) << r.dump();
        EXPECT_FALSE(r.value("error", "").empty());
    }
    ASSERT_TRUE(probe.wait_for([&] {
        for (const std::string &r : probe.on(topic_of(gateway, "tx/result")))
            if (json::parse(r)["id"].is_null())
                return true;  // the unparsable one cannot name its id
        return false;
    }, 5000));

    // A transfer down, after all that.
    std::string data(300, 'z');
    data[0] = '\0';
    probe.publish(tx, json{{"id", "c4"}, {"to", "10.0.0.2"}, {"data", {{"hex", [&] {
                      std::string h;
                      char two[3];
                      for (unsigned char c : data) {
                          std::snprintf(two, sizeof two, "%02x", c);
                          h += two;
                      }
                      return h;
                  }()}}}}.dump());
    const json c4 = result_of("c4");
    EXPECT_EQ(c4["ok"], true) << c4.dump() << gw->output();
    SchemaCheck schemas;
    for (const std::string &r : probe.on(topic_of(gateway, "tx/result")))
        schemas.add("bridge-result", r);
    const std::string report = schemas.check();
    EXPECT_TRUE(report.empty() || report == "skipped") << report;
    EXPECT_EQ(c4["bytes"], data.size());
    unsigned char *got = nullptr;
    const int len = n_frag_get_data(gateway.data(), &got);
    ASSERT_EQ(len, static_cast<int>(data.size()));
    EXPECT_EQ(std::memcmp(got, data.data(), data.size()), 0);
    n_socket_close(b);
}

TEST_F(BridgeBroker, BrokerRestartMidStreamLosesNoQueuedFrame)
{
    start_broker(true);
    auto watcher = std::make_unique<Probe>(kBrokerPort, "restart-watcher", false);
    watcher->subscribe(topic_of(gateway, "rx"));
    auto gw = start_gateway(gateway, kNodePort, {"--timeout", "50"});
    const int a = open_node(node_id(1));

    constexpr int kFrames = 30;
    for (int i = 0; i < kFrames; ++i) {
        if (i == 10) {
            broker->stop();
            // The gateway notices before the next frames come: they must wait in its queue.
            for (int t = 0; t < 250 && gw->output().find("broker away") == std::string::npos; ++t)
                n_util_sleepms(20);
        }
        if (i == 20)
            broker->start();
        n_pkt *p = frame("num", std::to_string(i));
        // The gateway acknowledges whether the broker is there or not.
        EXPECT_GE(n_socket_send_acked(a, a, p, gateway.data()), 0) << "frame " << i;
        n_pkt_free(p);
    }
    const std::string rx = topic_of(gateway, "rx");
    auto all_there = [&] {
        const auto texts = first_texts(*watcher, rx);
        for (int i = 0; i < kFrames; ++i)
            if (!has(texts, std::to_string(i)))
                return false;
        return true;
    };
    EXPECT_TRUE(watcher->wait_for([&] { return all_there(); }, 20000)) << gw->output();
    // In order: a frame sent again after the reconnection may repeat, but
    // first arrivals keep the order of the frames.
    std::vector<int> firsts;
    for (const std::string &t : first_texts(*watcher, rx))
        if (std::find(firsts.begin(), firsts.end(), std::stoi(t)) == firsts.end())
            firsts.push_back(std::stoi(t));
    std::string order;
    for (int f : firsts)
        order += std::to_string(f) + " ";
    EXPECT_TRUE(std::is_sorted(firsts.begin(), firsts.end())) << order << "\n" << gw->output();
    // It came back with the frames of the outage queued.
    const std::string out = gw->output();
    const auto back = out.find("connected", out.find("broker away"));
    ASSERT_NE(back, std::string::npos) << out;
    const auto queued = out.find(" queued)", back);
    ASSERT_NE(queued, std::string::npos) << out;
    EXPECT_GE(std::stoi(out.substr(out.rfind(", ", queued) + 2)), 10) << out;
    n_socket_close(a);
}

// Failures that waiting does not mend end the gateway with status 1 after
// the attempts allowed, each with its cause and the file or host concerned;
// the right settings connect.
TEST_F(BridgeBroker, PermanentFailuresEndWithStatusOneAndNameTheirCause)
{
    broker = std::make_unique<Broker>(kBrokerPort, false);
    ASSERT_TRUE(broker->require_tls_and_password("gw", "s3cret"));
    broker->start();
    Broker plain(kBrokerPort + 1, false);
    plain.start();
    const std::string dir = broker->dir();
    std::ofstream(dir + "/gw.pw") << "s3cret\n";
    std::ofstream(dir + "/bad.pw") << "guess\n";
    ASSERT_EQ(std::system(("cd '" + dir + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -days 1 -subj /CN=other-ca -keyout other.key -out other.crt >/dev/null 2>&1")
                              .c_str()),
              0);
    const std::string broker_at = "127.0.0.1:" + std::to_string(kBrokerPort);
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string mqtt;
        std::vector<std::string> says;  // every part in the output
    };
    const std::vector<Case> cases = {
        {"wrong password", {"--cafile", dir + "/ca.crt", "--username", "gw", "--password-file", dir + "/bad.pw"}, "",
         {"refused the connection", "user gw", "giving up after 2 attempts"}},
        {"unknown CA", {"--cafile", dir + "/other.crt", "--username", "gw", "--password-file", dir + "/gw.pw"}, "",
         {"was not verified with the CA file " + dir + "/other.crt", "giving up"}},
        {"bad host", {}, "broker..invalid:1883", {"cannot resolve the broker's host name 'broker..invalid'", "giving up"}},
        {"plain MQTT to the TLS port", {}, "", {"TLS port", "giving up"}},
        {"a name the certificate does not list",
         {"--cafile", dir + "/ca.crt", "--username", "gw", "--password-file", dir + "/gw.pw"},
         "localhost:" + std::to_string(kBrokerPort),
         {"is signed by the CA file " + dir + "/ca.crt but is not made out to the host name 'localhost'", "giving up"}},
        {"TLS to a plain port", {"--cafile", dir + "/ca.crt"}, "127.0.0.1:" + std::to_string(kBrokerPort + 1),
         {"is it a plain MQTT port", "giving up"}},
        {"missing CA file", {"--cafile", dir + "/none.crt"}, "", {"cannot read the CA file " + dir + "/none.crt"}},
        {"missing password file", {"--username", "gw", "--password-file", dir + "/none.pw"}, "",
         {"cannot read the password file " + dir + "/none.pw"}},
    };
    std::vector<std::unique_ptr<GatewayProcess>> failing;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> extra = cases[i].args;
        extra.insert(extra.end(), {"--attempts", "2", "--outbox", "memory"});
        failing.push_back(std::make_unique<GatewayProcess>(
            gateway_args(node_id(static_cast<unsigned char>(20 + i)), static_cast<uint16_t>(kNodePort + 10 + i), extra,
                         cases[i].mqtt)));
    }
    GatewayProcess good(gateway_args(node_id(9), kNodePort,
                                     {"--cafile", dir + "/ca.crt", "--username", "gw", "--password-file", dir + "/gw.pw"}));
    EXPECT_TRUE(good.says("connected to " + broker_at)) << good.output();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        // --seconds 60: only giving up ends them this soon.
        EXPECT_EQ(failing[i]->wait(), 1) << cases[i].name << "\n" << failing[i]->output();
        for (const std::string &part : cases[i].says)
            EXPECT_NE(failing[i]->output().find(part), std::string::npos)
                << cases[i].name << ": no '" << part << "' in\n" << failing[i]->output();
        EXPECT_EQ(failing[i]->output().find("connected to"), std::string::npos) << failing[i]->output();
    }
    good.signal(SIGTERM);
    EXPECT_EQ(good.wait(), 0);
}

TEST_F(BridgeBroker, TwoGatewaysFeedOneBrokerAndTheirStatusFollowsThem)
{
    start_broker();
    Probe probe(kBrokerPort, "watcher");
    probe.subscribe("nimbet/+/rx");
    probe.subscribe("nimbet/+/status");
    const NodeId g1 = node_id(9), g2 = node_id(10);
    const uint16_t port1 = kNodePort + 1, port2 = kNodePort + 2;
    auto gw1 = start_gateway(g1, port1);
    auto gw2 = start_gateway(g2, port2, {"--filter", "acl=msg"});  // publishes "msg" frames only
    const int n1 = open_node(node_id(1), port1);
    const int n2 = open_node(node_id(2), port2);
    n_pkt *p1 = frame("msg", "segment one");
    n_pkt *p2 = frame("msg", "segment two");
    n_pkt *filtered = frame("tmp", "filtered out");
    n_socket_send(n1, p1);
    n_socket_send(n2, filtered);
    n_socket_send(n2, p2);
    ASSERT_TRUE(probe.wait_for([&] {
        return has(first_texts(probe, topic_of(g1, "rx")), "segment one") &&
               has(first_texts(probe, topic_of(g2, "rx")), "segment two");
    }, 5000));
    EXPECT_FALSE(has(first_texts(probe, topic_of(g1, "rx")), "segment two"));
    EXPECT_FALSE(has(first_texts(probe, topic_of(g2, "rx")), "filtered out"));  // sent before "segment two"

    // A gateway that dies leaves "offline" through its Last Will; one that
    // stops says it itself.
    gw1->signal(SIGKILL);
    gw2->signal(SIGTERM);
    EXPECT_EQ(gw2->wait(), 0);
    EXPECT_TRUE(probe.wait_for([&] {
        return probe.on(topic_of(g1, "status")).back() == "offline" && probe.on(topic_of(g2, "status")).back() == "offline";
    }, 5000));
    for (n_pkt *p : {p1, p2, filtered})
        n_pkt_free(p);
    n_socket_close(n1);
    n_socket_close(n2);
}

// Ten thousand frames without a pause: each is published once, or counted
// by the kernel as dropped; the Prometheus page says so.
TEST_F(BridgeBroker, BurstArrivesWholeOrEveryLossIsCounted)
{
    constexpr int kMetricsPort = 19464;
    const std::string rx = topic_of(gateway, "rx");
    start_broker();
    Probe probe(kBrokerPort, "burst-watcher");
    probe.subscribe(rx);
    auto gw = start_gateway(gateway, kNodePort, {"--metrics", std::to_string(kMetricsPort), "--stats", "0"});
    const int a = open_node(node_id(1));
    constexpr int kFrames = 10000;
    for (int i = 0; i < kFrames; ++i) {
        n_pkt *p = frame("num", std::to_string(i));
        n_socket_send(a, p);
        n_pkt_free(p);
    }
    std::map<std::string, double> m;
    auto settled = [&] {
        m = parse_metrics(http_get(kMetricsPort, "/metrics"));
        return m["nimbet_bridge_frames_up_total"] + m["nimbet_bridge_kernel_drops_total"] >= kFrames &&
               m["nimbet_bridge_published_total"] >= m["nimbet_bridge_frames_up_total"] &&
               probe.on(rx).size() >= static_cast<std::size_t>(m["nimbet_bridge_frames_up_total"]);
    };
    for (int i = 0; i < 300 && !settled(); ++i)
        probe.wait_for([] { return false; }, 100);
    std::vector<int> got = numbers(probe, rx);
    const auto published = got.size();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(std::unique(got.begin(), got.end()), got.end()) << "a frame was published twice";
    const auto kernel = static_cast<std::size_t>(m["nimbet_bridge_kernel_drops_total"]);
    std::printf("burst: %d frames sent, %zu published, %zu dropped by the kernel\n", kFrames, published, kernel);
    RecordProperty("burst_published", static_cast<int>(published));
    RecordProperty("burst_kernel_drops", static_cast<int>(kernel));
    EXPECT_EQ(published + kernel, static_cast<std::size_t>(kFrames)) << gw->output();
    EXPECT_EQ(m["nimbet_bridge_dropped_total{cause=\"kernel\"}"], static_cast<double>(kernel));
    EXPECT_EQ(m["nimbet_bridge_dropped_total{cause=\"outbox_full\"}"], 0);
    EXPECT_EQ(m["nimbet_bridge_published_total"], static_cast<double>(published));
    EXPECT_EQ(m["nimbet_bridge_connected"], 1);
    EXPECT_NE(http_get(kMetricsPort, "/other").find("404"), std::string::npos);
    n_socket_close(a);
}

// The broker stops while frames arrive, and the gateway is restarted while
// it is away: every frame is published once, in order, when it returns.
TEST_F(BridgeBroker, OutageAndRestartPublishEveryFrameOnceInOrder)
{
    start_broker(true);
    auto watcher = std::make_unique<Probe>(kBrokerPort, "outage-watcher", false);
    const std::string rx = topic_of(gateway, "rx");
    watcher->subscribe(rx);
    auto gw = start_gateway(gateway, kNodePort, {"--timeout", "50"});
    const int a = open_node(node_id(1));
    auto send = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            n_pkt *p = frame("num", std::to_string(i));
            EXPECT_GE(n_socket_send_acked(a, a, p, gateway.data()), 0) << "frame " << i;
            n_pkt_free(p);
        }
    };
    send(0, 10);
    ASSERT_TRUE(watcher->wait_for([&] { return numbers(*watcher, rx).size() >= 10; }, 5000));
    watcher->settle();  // the broker sends nothing again after its restart
    broker->stop();
    ASSERT_TRUE(gw->says("broker away")) << gw->output();
    send(10, 20);
    gw->signal(SIGTERM);
    EXPECT_EQ(gw->wait(), 0);
    EXPECT_NE(gw->output().find("10 left in the outbox"), std::string::npos) << gw->output();
    auto again = std::make_unique<GatewayProcess>(gateway_args(gateway, kNodePort, {"--timeout", "50"}));
    ASSERT_TRUE(again->says("(10 kept)")) << again->output();
    send(20, 30);
    broker->start();
    ASSERT_TRUE(watcher->wait_for([&] { return numbers(*watcher, rx).size() >= 30; }, 20000)) << again->output();
    watcher->wait_for([] { return false; }, 300);  // a late repeat would show now
    EXPECT_EQ(numbers(*watcher, rx), numbers_below(30)) << again->output();
    n_socket_close(a);
}

// A command published while the gateway is away waits in its session at the
// broker and runs once when it returns; the same id sent again after
// another restart runs no more, and gets the first result again.
TEST_F(BridgeBroker, CommandSentWhileAwayRunsOnceWhenTheGatewayReturns)
{
    start_broker();
    Probe probe(kBrokerPort, "commander");
    const std::string results = topic_of(gateway, "tx/result");
    probe.subscribe(results);
    const int b = open_node(node_id(2));
    int heard = 0;
    auto listen = [&](int ms) {
        pump({b}, [] { return false; }, ms, [&](int, n_pkt *pkt) {
            n_acl *t = nullptr;
            if (n_acl_findfirst_str(pkt, "msg", &t) >= 0 && std::string(reinterpret_cast<char *>(t->data), t->len) == "while away")
                ++heard;
        });
    };
    const std::string command = R"({"id": "away-1", "to": "10.0.0.2", "tuples": [{"type": "msg", "text": "while away"}]})";
    auto gw = start_gateway(gateway, kNodePort);  // the session and its subscription begin
    gw->signal(SIGTERM);
    ASSERT_EQ(gw->wait(), 0);
    probe.publish(topic_of(gateway, "tx"), command);
    listen(300);
    EXPECT_EQ(heard, 0);
    gw = start_gateway(gateway, kNodePort);
    ASSERT_TRUE(probe.wait_for([&] { return probe.on(results).size() == 1; }, 5000)) << gw->output();
    listen(300);
    EXPECT_EQ(heard, 1) << gw->output();
    EXPECT_NE(gw->output().find("session resumed"), std::string::npos) << gw->output();
    gw->signal(SIGTERM);
    ASSERT_EQ(gw->wait(), 0);

    gw = start_gateway(gateway, kNodePort);
    probe.publish(topic_of(gateway, "tx"), command);
    ASSERT_TRUE(probe.wait_for([&] { return probe.on(results).size() == 2; }, 5000)) << gw->output();
    listen(300);
    EXPECT_EQ(heard, 1) << gw->output();
    EXPECT_EQ(probe.on(results)[1], probe.on(results)[0]);
    EXPECT_EQ(json::parse(probe.on(results)[0])["ok"], true);
    n_socket_close(b);
}

}  // namespace
}  // namespace nimbet::test
