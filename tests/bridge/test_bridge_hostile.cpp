// SPDX-License-Identifier: MIT
// The gateway against whoever can publish on its command topic, and against acknowledgements meant for others.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "broker_fixture.h"

namespace nimbet::test {
namespace {

constexpr int kMetricsPort = 19465;

// The texts of the "msg" tuples that node `fd` hears within `ms`.
std::vector<std::string> heard(int fd, int ms)
{
    std::vector<std::string> out;
    pump({fd}, [] { return false; }, ms, [&](int, n_pkt *pkt) {
        n_acl *t = nullptr;
        if (n_acl_findfirst_str(pkt, "msg", &t) >= 0)
            out.emplace_back(reinterpret_cast<char *>(t->data), t->len);
    });
    return out;
}

// The result published for `id` (a JSON value), waited for.
json result_for(Probe &probe, const std::string &topic, const json &id, int ms = 5000)
{
    json found;
    probe.wait_for([&] {
        for (const std::string &r : probe.on(topic)) {
            const json j = json::parse(r, nullptr, false);
            if (j.is_object() && j["id"] == id) {
                found = j;
                return true;
            }
        }
        return false;
    }, ms);
    return found;
}

// Directories, links out of the file directory, a FIFO, a retained
// command, control tuples, an id used for another command, messages and
// ids beyond the limits: each gets an error result, none runs, the gateway
// serves on and counts them.
TEST_F(BridgeBroker, CommandTopicAbuseNeverStopsTheGateway)
{
    const std::string files = state.path + "/files";
    mkdir(files.c_str(), 0700);
    mkdir((files + "/sub").c_str(), 0700);
    mkdir((state.path + "/outside").c_str(), 0700);
    std::ofstream(state.path + "/outside/secret.txt") << "secret";
    ASSERT_EQ(symlink("../outside/secret.txt", (files + "/link-out").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (files + "/dir-out").c_str()), 0);
    ASSERT_EQ(mkfifo((files + "/fifo").c_str(), 0600), 0);

    start_broker();
    Probe probe(kBrokerPort, "attacker");
    const std::string tx = topic_of(gateway, "tx"), results = topic_of(gateway, "tx/result");
    // Left on the broker before the gateway subscribes: it comes with the
    // subscription (the probe's subscription follows it to the broker).
    probe.publish(tx, R"({"id": "ret", "tuples": [{"type": "msg", "text": "retained"}]})", true);
    probe.subscribe(results);
    const int b = open_node(node_id(2));
    auto gw = start_gateway(gateway, kNodePort,
                            {"--file-dir", files, "--command-bytes", "4096", "--command-id-bytes", "40", "--metrics",
                             std::to_string(kMetricsPort), "--retry", "2", "--timeout", "50"});

    struct Case {
        std::string id, payload, says;
    };
    const std::vector<Case> cases = {
        {"dir", R"({"id": "dir", "to": "10.0.0.2", "file": "sub"})", "a directory"},
        {"link", R"({"id": "link", "to": "10.0.0.2", "file": "link-out"})", "symbolic link"},
        {"dirlink", R"({"id": "dirlink", "to": "10.0.0.2", "file": "dir-out/secret.txt"})", "symbolic link"},
        {"fifo", R"({"id": "fifo", "to": "10.0.0.2", "file": "fifo"})", "not a regular file"},
        {"cad", R"({"id": "cad", "tuples": [{"type": "CAD", "hex": "0101010109000000"}, {"type": "msg", "text": "cad"}]})",
         "gateway's to set"},
        {"cac", R"({"id": "cac", "to": "10.0.0.2", "tuples": [{"type": "CAC", "hex": "0001"}, {"type": "msg", "text": "cac"}]})",
         "gateway's to set"},
    };
    for (const Case &c : cases)
        probe.publish(tx, c.payload);
    for (const Case &c : cases) {
        const json r = result_for(probe, results, c.id);
        EXPECT_EQ(r.value("ok", true), false) << c.id << ": " << r.dump() << "\n" << gw->output();
        EXPECT_NE(r.value("error", "").find(c.says), std::string::npos) << c.id << ": " << r.dump();
    }
    const json ret = result_for(probe, results, "ret");
    EXPECT_EQ(ret.value("ok", true), false) << ret.dump();
    EXPECT_NE(ret.value("error", "").find("retained"), std::string::npos) << ret.dump();

    // One id, two commands: the second does not run, and says why.
    probe.publish(tx, R"({"id": "same", "tuples": [{"type": "msg", "text": "one"}]})");
    EXPECT_EQ(result_for(probe, results, "same").value("ok", false), true);
    probe.publish(tx, R"({"id": "same", "tuples": [{"type": "msg", "text": "two"}]})");
    ASSERT_TRUE(probe.wait_for([&] { return probe.on(results).size() >= cases.size() + 3; }, 5000)) << gw->output();
    const json second = json::parse(probe.on(results).back());
    EXPECT_EQ(second["ok"], false) << second.dump();
    EXPECT_NE(second.value("error", "").find("another command"), std::string::npos) << second.dump();

    // Beyond the limits: the result cannot name what it refuses.
    const std::size_t before = probe.on(results).size();
    probe.publish(tx, R"({"id": "huge", "tuples": [{"type": "msg", "text": ")" + std::string(5000, 'h') + "\"}]}");
    probe.publish(tx, R"({"id": ")" + std::string(100, 'i') + R"(", "tuples": [{"type": "msg", "text": "long id"}]})");
    ASSERT_TRUE(probe.wait_for([&] { return probe.on(results).size() >= before + 2; }, 5000)) << gw->output();
    for (std::size_t i = before; i < before + 2; ++i) {
        const json r = json::parse(probe.on(results)[i]);
        EXPECT_TRUE(r["id"].is_null()) << r.dump();
        EXPECT_EQ(r["ok"], false);
    }

    // Still serving: a good command goes out.
    probe.publish(tx, R"({"id": "good", "tuples": [{"type": "msg", "text": "good"}]})");
    std::vector<std::string> texts;
    pump({b}, [&] { return !result_for(probe, results, "good", 1).is_null(); }, 5000, [&](int, n_pkt *pkt) {
        n_acl *t = nullptr;
        if (n_acl_findfirst_str(pkt, "msg", &t) >= 0)
            texts.emplace_back(reinterpret_cast<char *>(t->data), t->len);
    });
    const auto more = heard(b, 200);
    texts.insert(texts.end(), more.begin(), more.end());
    EXPECT_TRUE(has(texts, "good")) << gw->output();
    for (const char *never : {"retained", "two", "cad", "cac", "secret"})
        EXPECT_FALSE(has(texts, never)) << never;
    EXPECT_TRUE(gw->running()) << gw->output();

    std::map<std::string, double> m = parse_metrics(http_get(kMetricsPort, "/metrics"));
    EXPECT_EQ(m["nimbet_bridge_commands_refused_total{cause=\"retained\"}"], 1);
    EXPECT_EQ(m["nimbet_bridge_commands_refused_total{cause=\"id_reused\"}"], 1);
    EXPECT_EQ(m["nimbet_bridge_commands_refused_total{cause=\"too_large\"}"], 1);
    EXPECT_EQ(m["nimbet_bridge_commands_refused_total{cause=\"id_too_long\"}"], 1);
    gw->signal(SIGTERM);
    EXPECT_EQ(gw->wait(), 0) << gw->output();
    n_socket_close(b);
}

// A flood of commands: those beyond the rate are refused and counted, and
// the answers to refusals keep within the rate as well.
TEST_F(BridgeBroker, CommandsBeyondTheRateAreRefusedAndCounted)
{
    start_broker();
    Probe probe(kBrokerPort, "flooder");
    const std::string tx = topic_of(gateway, "tx"), results = topic_of(gateway, "tx/result");
    probe.subscribe(results);
    auto gw = start_gateway(gateway, kNodePort, {"--command-rate", "5", "--metrics", std::to_string(kMetricsPort)});
    for (int i = 0; i < 200; ++i)
        probe.publish(tx, R"({"tuples": [{"type": "msg", "text": "flood"}]})");
    std::map<std::string, double> m;
    const auto all_judged = [&] {
        m = parse_metrics(http_get(kMetricsPort, "/metrics"));
        return m["nimbet_bridge_commands_total"] + m["nimbet_bridge_commands_refused_total{cause=\"rate\"}"] >= 200;
    };
    for (int i = 0; i < 100 && !all_judged(); ++i)
        probe.wait_for([] { return false; }, 100);
    ASSERT_TRUE(all_judged()) << gw->output();
    EXPECT_GE(m["nimbet_bridge_commands_refused_total{cause=\"rate\"}"], 150);
    EXPECT_LT(m["nimbet_bridge_commands_total"], 50);
    EXPECT_LT(probe.on(results).size(), 100u);  // runs and answered refusals, not one answer per message
    EXPECT_TRUE(gw->running());
}

// The gateway's acknowledged command is settled only by an acknowledgement
// that names the gateway in its "CAD": the addressed node answering another
// requester with the same sequence byte settles nothing.
TEST_F(BridgeBroker, AnAcknowledgementForAnotherNodeSettlesNoCommand)
{
    start_broker();
    Probe probe(kBrokerPort, "commander");
    const std::string tx = topic_of(gateway, "tx"), results = topic_of(gateway, "tx/result");
    probe.subscribe(results);
    auto gw = start_gateway(gateway, kNodePort, {"--retry", "4", "--timeout", "150"});
    const int b = open_node(node_id(2));  // answers by hand
    const NodeId elsewhere = node_id(5);
    // Answers every request to b with "ACM" and its "CAC", naming `whom`.
    auto answer = [&](const NodeId &whom, const json &id) {
        pump({b}, [&] { return !result_for(probe, results, id, 1).is_null(); }, 3000, [&](int, n_pkt *req) {
            n_acl *cac = nullptr;
            if (n_acl_findfirst_str(req, "CAC", &cac) < 0 || cac->len < 2 || (cac->data[0] & 1) != 0)
                return;
            n_pkt *reply = n_pkt_alloc();
            const unsigned char control[2] = {static_cast<unsigned char>(cac->data[0] | 1), cac->data[1]};
            n_acl_add_str(reply, "ACM", nullptr, 0, 0);
            n_acl_add_str(reply, "CAC", control, 2, 0);
            n_acl_add_str(reply, "CAD", whom.data(), 8, 0);
            n_socket_send(b, reply);
            n_pkt_free(reply);
        });
        return result_for(probe, results, id);
    };
    probe.publish(tx, R"({"id": "x1", "to": "10.0.0.2", "acked": true, "tuples": [{"type": "msg", "text": "x"}]})");
    const json wrong = answer(elsewhere, "x1");
    EXPECT_EQ(wrong.value("ok", true), false) << wrong.dump() << "\n" << gw->output();
    EXPECT_NE(wrong.value("error", "").find("not acknowledged"), std::string::npos) << wrong.dump();
    probe.publish(tx, R"({"id": "x2", "to": "10.0.0.2", "acked": true, "tuples": [{"type": "msg", "text": "x"}]})");
    const json right = answer(gateway, "x2");
    EXPECT_EQ(right.value("ok", false), true) << right.dump() << "\n" << gw->output();
    n_socket_close(b);
}

}  // namespace
}  // namespace nimbet::test
