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

namespace nimbet::bridge {
namespace {

OutMessage msg(const std::string &payload) { return {"t", payload, false, 0}; }

TEST(BridgeOutbox, HandsOverInOrderWithinTheWindowAndDropsTheOldestWaiting)
{
    Outbox box(4, 2);
    for (const char *p : {"a", "b", "c"})
        box.push(msg(p));
    ASSERT_EQ(box.next()->payload, "a");
    box.handed(11);
    ASSERT_EQ(box.next()->payload, "b");
    box.handed(12);
    EXPECT_EQ(box.next(), nullptr);  // the window is full

    // Full: the oldest message not handed over ("c") goes, never one the
    // client holds already.
    box.push(msg("d"));
    box.push(msg("e"));
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

TEST(BridgeOutbox, DropsTheNewMessageWhenEveryQueuedOneIsHandedOverAndOnesThatCanNeverGo)
{
    Outbox box(1, 1);
    box.push(msg("a"));
    box.handed(1);
    box.push(msg("b"));
    EXPECT_EQ(box.dropped(), 1u);
    EXPECT_TRUE(box.confirmed(1));
    EXPECT_EQ(box.size(), 0u);

    // One the client refuses for good leaves the way free for the next.
    box.push(msg("too big"));
    ASSERT_NE(box.next(), nullptr);
    box.refuse_next();
    EXPECT_EQ(box.dropped(), 2u);
    EXPECT_EQ(box.next(), nullptr);
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

INSTANTIATE_TEST_SUITE_P(
    Cases, BridgeCommandRefused,
    ::testing::Values(
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
        Refused{"FileWithoutDirectory", R"({"to": "1.2.3.4", "file": "a"})", "--file-dir"}),
    [](const auto &info) { return std::string(info.param.name); });

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
