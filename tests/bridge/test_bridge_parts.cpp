// SPDX-License-Identifier: MIT
// The gateway's parts on their own: the outbox, command validation, broker addresses.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "bridge_command.h"
#include "frame_json.h"
#include "bridge_mqtt.h"
#include "bridge_outbox.h"
#include "bridge_store.h"
#include "mqtt_rig.h"

namespace nimbet::bridge {
namespace {

class BridgeOutbox : public ::testing::Test {
protected:
    Outbox make(std::size_t messages, std::size_t window, std::size_t bytes = 1 << 20)
    {
        return Outbox({messages, bytes, window}, *store);
    }
    std::unique_ptr<Store> store = memory_store({100, 3600});
};

TEST_F(BridgeOutbox, HandsOverInOrderWithinTheWindowAndDropsTheOldestWaiting)
{
    Outbox box = make(4, 2);
    for (const char *p : {"a", "b", "c"})
        box.push("t", p);
    ASSERT_EQ(box.next()->payload, "a");
    box.handed(11);
    ASSERT_EQ(box.next()->payload, "b");
    box.handed(12);
    EXPECT_EQ(box.next(), nullptr);  // the window is full

    // Full: the oldest message not handed over ("c") goes, never one the
    // client holds already.
    box.push("t", "d");
    box.push("t", "e");
    EXPECT_EQ(box.dropped(), 1u);
    EXPECT_EQ(box.size(), 4u);

    // Confirmations in any order free the window; order is kept.
    EXPECT_TRUE(box.confirmed(12));
    EXPECT_FALSE(box.confirmed(99));
    ASSERT_EQ(box.next()->payload, "d");
    box.handed(13);
    EXPECT_TRUE(box.confirmed(11));
    EXPECT_EQ(box.published(), 2u);
    ASSERT_EQ(box.next()->payload, "e");

    // What the client lost is handed over again, from the oldest.
    box.rewind();
    ASSERT_EQ(box.next()->payload, "d");
}

TEST_F(BridgeOutbox, DropsTheNewMessageWhenEveryQueuedOneIsHandedOverAndOnesThatCanNeverGo)
{
    Outbox box = make(1, 1);
    box.push("t", "a");
    box.handed(1);
    box.push("t", "b");
    EXPECT_EQ(box.dropped(), 1u);
    EXPECT_TRUE(box.confirmed(1));
    EXPECT_EQ(box.size(), 0u);

    // One the client refuses for good leaves the way free for the next.
    box.push("t", "too big");
    ASSERT_NE(box.next(), nullptr);
    box.refuse_next();
    EXPECT_EQ(box.dropped_refused(), 1u);
    EXPECT_EQ(box.next(), nullptr);
}

// The byte bound counts topic and payload; an episode of drops is reported
// when it starts and once when a message fits again, with its count.
TEST_F(BridgeOutbox, ByteBoundDropsTheOldestAndReportsEachEpisodeOnce)
{
    Outbox box = make(100, 10, 30);  // three messages of "t" + 9 bytes
    std::vector<std::pair<bool, uint64_t>> episodes;
    box.on_episode = [&](bool dropping, uint64_t n) { episodes.push_back({dropping, n}); };
    for (const char *p : {"000000001", "000000002", "000000003", "000000004", "000000005"})
        box.push("t", p);
    EXPECT_EQ(box.size(), 3u);
    EXPECT_EQ(box.bytes(), 30u);
    EXPECT_EQ(box.dropped_full(), 2u);
    ASSERT_EQ(box.next()->payload, "000000003");
    box.handed(1);
    EXPECT_TRUE(box.confirmed(1));
    box.push("t", "000000006");  // fits: the episode ends
    ASSERT_EQ(episodes.size(), 2u);
    EXPECT_EQ(episodes[0], std::make_pair(true, uint64_t{0}));
    EXPECT_EQ(episodes[1], std::make_pair(false, uint64_t{2}));
}

// A state directory of its own, removed with what it holds.
struct StateDir {
    StateDir()
    {
        char tmpl[] = "/tmp/nimbet-store-XXXXXX";
        root = mkdtemp(tmpl);
        path = root + "/state";
    }
    ~StateDir() { std::system(("rm -rf '" + root + "'").c_str()); }
    std::unique_ptr<Store> open(long ids = 100, long seconds = 3600)
    {
        std::string error;
        StoreFailure failure{};
        notes.clear();
        auto store = sqlite_store(path, "gw/1", {ids, seconds}, error, failure, notes);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    std::string root, path;
    std::vector<std::string> notes;
};

// What an outbox held comes back, in order, from the store of a gateway
// that stopped; confirmed and dropped messages do not, nor what was never
// synced. Command ids and their results come back too, and a second
// gateway cannot take the store.
TEST(BridgeStore, SqliteKeepsTheOutboxAndCommandIdsAcrossRestarts)
{
    StateDir dir;
    {
        auto store = dir.open();
        ASSERT_NE(store, nullptr);
        std::string error;
        StoreFailure failure{};
        std::vector<std::string> notes;
        EXPECT_EQ(sqlite_store(dir.path, "gw/1", {100, 3600}, error, failure, notes), nullptr);
        EXPECT_NE(error.find("in use by another gateway"), std::string::npos) << error;
        EXPECT_EQ(failure, StoreFailure::Settings);
        Outbox box({2, 1 << 20, 10}, *store);
        for (const char *p : {"a", "b", "c", "d"})
            box.push("t", p);  // "a" and "b" dropped: the bound is 2
        EXPECT_TRUE(box.sync(0));
        box.push("t", "e");  // "c" dropped
        box.handed(7);
        EXPECT_TRUE(box.confirmed(7));  // "d" published
        box.push("t", std::string("\0f\xff", 3));
        EXPECT_TRUE(box.sync(0));
        box.push("t", "never synced");
        EXPECT_TRUE(store->start("\"c1\"", "h1", 1000));
        store->finish("\"c1\"", "{\"id\":\"c1\",\"ok\":true}");
        EXPECT_TRUE(store->start("2", "h2", 1000));
    }
    auto store = dir.open();
    ASSERT_NE(store, nullptr);
    Outbox box({10, 1 << 20, 10}, *store);
    ASSERT_EQ(box.size(), 2u);
    EXPECT_EQ(box.next()->payload, "e");
    box.handed(1);
    EXPECT_EQ(box.next()->payload, std::string("\0f\xff", 3));
    EXPECT_EQ(box.unsaved(), 0u);
    CommandRecord r;
    EXPECT_TRUE(store->lookup("\"c1\"", 1000, r));
    EXPECT_EQ(r.result, "{\"id\":\"c1\",\"ok\":true}");
    EXPECT_EQ(r.hash, "h1");
    EXPECT_TRUE(store->lookup("2", 1000, r));
    EXPECT_EQ(r.result, "");  // it was running when the gateway stopped
    EXPECT_FALSE(store->lookup("\"c2\"", 1000, r));
}

// Tuple data goes up as text when it is well-formed UTF-8 without control
// characters, else as hex.
TEST(BridgeFrames, Utf8TextGoesUpAsTextAndEverythingElseAsHex)
{
    struct Case {
        std::string data;
        bool text;
    };
    for (const Case &c : {Case{"21.5", true}, Case{"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", true},
                          Case{"\xc3\x28", false}, Case{"\xe2\x82", false}, Case{"a\x01", false},
                          Case{"\x7f", false}, Case{"\xc2\x85", false}, Case{"\xed\xa0\x80", false},
                          Case{"\xc0\xaf", false}}) {
        n_pkt *pkt = n_pkt_alloc();
        n_acl_add_str(pkt, "msg", reinterpret_cast<const unsigned char *>(c.data.data()),
                      static_cast<uint16_t>(c.data.size()), 0);
        const std::string j = nimbet_tool::frame_json(pkt, 1.0);
        n_pkt_free(pkt);
        EXPECT_EQ(j.find("\"text\":") != std::string::npos, c.text) << j;
        EXPECT_EQ(j.find("\"hex\":") != std::string::npos, !c.text) << j;
    }
}

struct Refused {
    const char *name;
    const char *payload;
    const char *error_part;
};

void PrintTo(const Refused &r, std::ostream *os) { *os << r.name; }

class BridgeCommandRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(BridgeCommandRefused, WithAReasonAndTheIdWhenThereIsOne)
{
    Command c;
    std::string error;
    EXPECT_FALSE(parse_command(GetParam().payload, "", c, error));
    EXPECT_NE(error.find(GetParam().error_part), std::string::npos) << error;
}

const Refused kRefused[] = {
        Refused{"NotJson", "{\"id\": 1,", "malformed JSON"},
        Refused{"NotAnObject", "[1, 2]", "JSON object"},
        Refused{"UnknownMember", R"({"tuples": [{"type": "msg"}], "ackd": true})", "ackd"},
        Refused{"NoForm", R"({"id": "x"})", "exactly one"},
        Refused{"TwoForms", R"({"to": "1.2.3.4", "tuples": [{"type": "msg"}], "data": {"text": "x"}})", "exactly one"},
        Refused{"EmptyTuples", R"({"tuples": []})", "non-empty"},
        Refused{"BadType", R"({"tuples": [{"type": "ms"}]})", "bad tuple type"},
        Refused{"TwoValues", R"({"tuples": [{"type": "msg", "text": "a", "hex": "61"}]})", "exactly one"},
        Refused{"OddHex", R"({"tuples": [{"type": "msg", "hex": "615"}]})", "bad hex"},
        Refused{"BadBase64", R"({"tuples": [{"type": "msg", "base64": "a=bc"}]})", "bad base64"},
        Refused{"BadTo", R"({"to": "1.2.3", "tuples": [{"type": "msg"}]})", "\"to\""},
        Refused{"AckedWithoutTo", R"({"acked": true, "tuples": [{"type": "msg"}]})", "needs \"to\""},
        Refused{"TransferWithoutTo", R"({"data": {"text": "x"}})", "needs \"to\""},
        Refused{"FileWithoutDirectory", R"({"to": "1.2.3.4", "file": "a"})", "--file-dir"}};

INSTANTIATE_TEST_SUITE_P(Cases, BridgeCommandRefused, ::testing::ValuesIn(kRefused),
                         [](const auto &info) { return std::string(info.param.name); });

// The command schema refuses what the gateway refuses for its form (not
// what only the gateway can judge: a frame's room, a file's existence) and
// takes what it takes.
TEST(BridgeCommand, SchemaAgreesWithTheParserOnTheFormOfCommands)
{
    nimbet::test::SchemaCheck schemas;
    for (const Refused &r : kRefused)
        if (std::string(r.name) != "FileWithoutDirectory")
            schemas.add("bridge-command", r.payload, false);
    for (const char *good :
         {R"({"id": "c1", "to": "1.1.1.1.10.0.0.2", "acked": true, "tuples": [{"type": "msg", "text": "hi"}, {"type": "tmp", "hex": "1505"}]})",
          R"({"id": 2, "tuples": [{"type": "msg", "base64": "aGk="}, {"type": "nul"}]})",
          R"({"to": "10.0.0.2", "type": "fil", "data": {"base64": "YWI="}})",
          R"({"to": "10.0.0.2", "file": "firmware/v2.bin"})"}) {
        Command c;
        std::string error;
        EXPECT_TRUE(parse_command(good, "", c, error) || error.find("--file-dir") != std::string::npos)
            << good << ": " << error;
        schemas.add("bridge-command", good, true);
    }
    const std::string report = schemas.check();
    if (report == "skipped")
        GTEST_SKIP() << "python3-jsonschema is not installed (scripts/test installs it)";
    EXPECT_EQ(report, "");
}

TEST(BridgeCommand, FrameFitsTheTupleAreaWithItsControlTuplesToTheByte)
{
    // 64 bytes: "CAD" 11 + "CAC" 5 + one tuple of 3 + 45.
    const std::string fits = R"({"id": 7, "to": "10.0.0.2", "acked": true, "tuples": [{"type": "msg", "text": ")" +
                             std::string(45, 'x') + "\"}]}";
    Command c;
    std::string error;
    ASSERT_TRUE(parse_command(fits, "", c, error)) << error;
    EXPECT_EQ(tuple_area(c), 64u);
    EXPECT_EQ(c.id, 7);
    EXPECT_EQ(nimbet_tool::id_text(c.to.data()), "1.1.1.1.10.0.0.2");
    std::string over = fits;
    over.insert(over.find("xx"), "x");
    EXPECT_FALSE(parse_command(over, "", c, error));
    EXPECT_EQ(c.id, 7);  // the error result can name the command
}

TEST(BridgeCommand, ValuesDecodeFromTextHexAndBase64)
{
    Command c;
    std::string error;
    ASSERT_TRUE(parse_command(
        R"({"tuples": [{"type": "a-1", "text": "hi"}, {"type": "tmp", "hex": "15FF"}, {"type": "raw", "base64": "AP8Q"},
            {"type": "nul"}]})",
        "", c, error))
        << error;
    ASSERT_EQ(c.tuples.size(), 4u);
    EXPECT_EQ(c.tuples[0].bytes, "hi");
    EXPECT_EQ(c.tuples[1].bytes, std::string("\x15\xff", 2));
    EXPECT_EQ(c.tuples[2].bytes, std::string("\x00\xff\x10", 3));
    EXPECT_EQ(c.tuples[3].bytes, "");
    ASSERT_TRUE(parse_command(R"({"to": "1.1.1.1.1.2.3.4", "data": {"base64": "YWI="}, "type": "img"})", "", c, error));
    EXPECT_TRUE(c.transfer);
    EXPECT_EQ(c.data, "ab");
    EXPECT_EQ(c.type, "img");
}

TEST(BridgeCommand, FilesAreReadOnlyFromBelowTheFileDirectory)
{
    char tmpl[] = "/tmp/nimbet-files-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/ok.bin") << "payload";
    Command c;
    std::string error;
    EXPECT_TRUE(parse_command(R"({"to": "1.2.3.4", "file": "ok.bin"})", dir, c, error)) << error;
    EXPECT_EQ(c.data, "payload");
    for (const char *bad : {"/etc/passwd", "../ok.bin", "a/../../ok.bin", "", "./ok.bin"}) {
        const std::string cmd = std::string(R"({"to": "1.2.3.4", "file": ")") + bad + "\"}";
        EXPECT_FALSE(parse_command(cmd, dir, c, error)) << bad;
    }
    EXPECT_FALSE(parse_command(R"({"to": "1.2.3.4", "file": "missing"})", dir, c, error));
    std::remove((dir + "/ok.bin").c_str());
    rmdir(dir.c_str());
}

TEST(BridgeMqtt, BrokerAddressesTakeAnOptionalPort)
{
    std::string host;
    int port = 0;
    ASSERT_TRUE(parse_broker_address("127.0.0.1", host, port));
    EXPECT_EQ(port, 1883);
    ASSERT_TRUE(parse_broker_address("broker.example:8883", host, port));
    EXPECT_EQ(host, "broker.example");
    EXPECT_EQ(port, 8883);
    ASSERT_TRUE(parse_broker_address("[::1]:1884", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 1884);
    for (const char *bad : {"", ":1883", "host:", "host:0", "host:65536", "host:12x", "[::1"})
        EXPECT_FALSE(parse_broker_address(bad, host, port)) << bad;
}

}  // namespace
}  // namespace nimbet::bridge
