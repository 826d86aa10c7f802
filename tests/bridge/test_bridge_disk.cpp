// SPDX-License-Identifier: MIT
// The gateway on a disk that fills up, that is full from the start, or whose state file is damaged.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "broker_fixture.h"
#include "small_disk.h"

namespace nimbet::test {
namespace {

class BridgeDisk : public BridgeBroker {
protected:
    // The small disk goes before its directory does.
    void TearDown() override { umount2(state.path.c_str(), MNT_DETACH); }
    void send(int a, int from, int to)
    {
        for (int i = from; i < to; ++i) {
            n_pkt *p = frame("num", std::to_string(i));
            EXPECT_GE(n_socket_send_acked(a, a, p, gateway.data()), 0) << "frame " << i;
            n_pkt_free(p);
        }
    }
};

// The disk fills while the broker is away: the gateway says so once, keeps
// the messages, says when they are on disk again, and a restart publishes
// every one of them.
TEST_F(BridgeDisk, FullDiskThenRoomLosesNoMessage)
{
    if (!small_disk(state.path, 2048))
        GTEST_SKIP() << "no mount namespace with a tmpfs here";
    start_broker(true);
    auto watcher = std::make_unique<Probe>(kBrokerPort, "disk-watcher", false);
    const std::string rx = topic_of(gateway, "rx");
    watcher->subscribe(rx);
    auto gw = start_gateway(gateway, kNodePort, {"--timeout", "50"});
    const int a = open_node(node_id(1));
    broker->stop();
    ASSERT_TRUE(gw->says("broker away")) << gw->output();
    send(a, 0, 20);
    n_util_sleepms(100);
    fill(state.path + "/filler");
    send(a, 20, 60);
    ASSERT_TRUE(gw->says("cannot write the outbox")) << gw->output();
    std::remove((state.path + "/filler").c_str());
    ASSERT_TRUE(gw->says("the outbox is durable again")) << gw->output();
    gw->signal(SIGTERM);
    EXPECT_EQ(gw->wait(), 0);
    EXPECT_NE(gw->output().find("60 left in the outbox (60 on disk, 0 lost with this process)"), std::string::npos)
        << gw->output();
    broker->start();
    gw = start_gateway(gateway, kNodePort, {"--timeout", "50"});
    ASSERT_TRUE(watcher->wait_for([&] { return numbers(*watcher, rx).size() >= 60; }, 10000)) << gw->output();
    EXPECT_EQ(numbers(*watcher, rx), numbers_below(60));
    n_socket_close(a);
}

// A disk full from the start: the gateway starts with the outbox in memory
// and says so, then takes the state file over with what waits.
TEST_F(BridgeDisk, FullDiskAtTheStartQueuesInMemoryUntilThereIsRoom)
{
    if (!small_disk(state.path, 512))
        GTEST_SKIP() << "no mount namespace with a tmpfs here";
    fill(state.path + "/filler");
    start_broker(true);
    auto watcher = std::make_unique<Probe>(kBrokerPort, "disk-watcher", false);
    const std::string rx = topic_of(gateway, "rx");
    watcher->subscribe(rx);
    broker->stop();
    GatewayProcess gw(gateway_args(gateway, kNodePort, {"--timeout", "50"}));
    ASSERT_TRUE(gw.says("starting with the outbox in memory")) << gw.output();
    const int a = open_node(node_id(1));
    send(a, 0, 10);
    std::remove((state.path + "/filler").c_str());
    ASSERT_TRUE(gw.says("the outbox is durable again", 10000)) << gw.output();
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(), 0);
    EXPECT_NE(gw.output().find("(10 on disk, 0 lost with this process)"), std::string::npos) << gw.output();
    broker->start();
    auto again = start_gateway(gateway, kNodePort, {"--timeout", "50"});
    ASSERT_TRUE(watcher->wait_for([&] { return numbers(*watcher, rx).size() >= 10; }, 10000)) << again->output();
    EXPECT_EQ(numbers(*watcher, rx), numbers_below(10));
    n_socket_close(a);
}

// A state file that is no database: moved aside, and the gateway serves.
TEST_F(BridgeDisk, DamagedStateFileIsMovedAsideAndTheGatewayServes)
{
    start_broker();
    Probe probe(kBrokerPort, "damage-watcher");
    const std::string rx = topic_of(gateway, "rx");
    probe.subscribe(rx);
    std::ofstream(state.path + "/bridge-nimbet-bridge-" + id_text(gateway) + ".sqlite") << std::string(20000, 'd');
    auto gw = start_gateway(gateway, kNodePort);
    EXPECT_TRUE(gw->says("was damaged")) << gw->output();
    EXPECT_TRUE(gw->says("0 messages saved from it")) << gw->output();
    const int a = open_node(node_id(1));
    send(a, 0, 1);
    EXPECT_TRUE(probe.wait_for([&] { return !probe.on(rx).empty(); }, 5000)) << gw->output();
    n_socket_close(a);
}

}  // namespace
}  // namespace nimbet::test
