// SPDX-License-Identifier: MIT
// The gateway's parts on their own: the outbox, command validation, broker addresses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "bridge_command.h"
#include "bridge_gate.h"
#include "bridge_log.h"
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
// A flood of commands waits in the broker, not in the gateway's memory:
// the network thread hands over a message only while fewer than the bound
// wait (in number and in bytes); outcomes and connection events never wait.
TEST(BridgeInbox, MessagesWaitForRoomOtherEventsNever)
{
    using namespace std::chrono_literals;
    const auto message = [](std::size_t size) {
        return MqttEvent{MqttEvent::Message, 0, "P/G/tx", std::string(size, 'x'), false};
    };
    EventInbox inbox(2, 1000);
    EXPECT_TRUE(inbox.post(message(1)));
    EXPECT_FALSE(inbox.post(message(1)));
    EXPECT_FALSE(inbox.post({MqttEvent::Published, 7, {}, {}}));  // over the bound, not held back
    auto third = std::async(std::launch::async, [&] { return inbox.post(message(1)); });
    EXPECT_EQ(std::future_status::timeout, third.wait_for(100ms)) << "a third message got in";
    EXPECT_EQ(3u, inbox.take().size());
    if (third.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "taking the events made no room";
        inbox.release();
    }
    EXPECT_TRUE(third.get());  // the first one waiting again: a wake is due
    EXPECT_EQ(1u, inbox.take().size());

    // The byte bound: one large message fills it.
    EXPECT_TRUE(inbox.post(message(1000)));
    auto next = std::async(std::launch::async, [&] { return inbox.post(message(1)); });
    EXPECT_EQ(std::future_status::timeout, next.wait_for(100ms)) << "a message got in past the byte bound";
    // Stopping lets a waiting network thread go on.
    inbox.release();
    EXPECT_EQ(std::future_status::ready, next.wait_for(10s)) << "release() left it waiting";
    EXPECT_EQ(2u, inbox.take().size());  // (and lets it go if release() did not)
}

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
        Refused{"FileWithoutDirectory", R"({"to": "1.2.3.4", "file": "a"})", "--file-dir"},
        Refused{"UnknownDataMember", R"({"to": "1.2.3.4", "data": {"text": "x", "name": "y"}})", "\"name\""},
        Refused{"ControlTupleCad", R"({"tuples": [{"type": "CAD", "hex": "0a00000200000001"}]})", "gateway's to set"},
        Refused{"ControlTupleCac", R"({"to": "1.2.3.4", "tuples": [{"type": "msg"}, {"type": "CAC", "hex": "0007"}]})",
                "gateway's to set"},
        Refused{"ControlTupleCatAnyCase", R"({"tuples": [{"type": "cat", "hex": "00"}]})", "gateway's to set"},
        Refused{"ControlTupleCar", R"({"tuples": [{"type": "CAR", "hex": "0000000100000001"}]})", "gateway's to set"}};

INSTANTIATE_TEST_SUITE_P(Cases, BridgeCommandRefused, ::testing::ValuesIn(kRefused),
                         [](const auto &info) { return std::string(info.param.name); });

// The command schema refuses what the gateway refuses for its form (not
// what only the gateway can judge: a frame's room, a file's existence) and
// takes what it takes.
TEST(BridgeCommand, SchemaAgreesWithTheParserOnTheFormOfCommands)
{
    nimbet::test::SchemaCheck schemas;
    for (const Refused &r : kRefused)
        if (std::string(r.name) != "FileWithoutDirectory" && std::string(r.name).rfind("ControlTuple", 0) != 0)
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

    // Addressed but not acknowledged: "CAD" counts, "CAC" does not.
    const std::string plain = R"({"to": "10.0.0.2", "tuples": [{"type": "msg", "text": ")" + std::string(50, 'x') +
                              "\"}]}";
    ASSERT_TRUE(parse_command(plain, "", c, error)) << error;
    EXPECT_EQ(tuple_area(c), 64u);
    const std::string everybody = R"({"tuples": [{"type": "msg", "text": ")" + std::string(61, 'x') + "\"}]}";
    ASSERT_TRUE(parse_command(everybody, "", c, error)) << error;
    EXPECT_EQ(tuple_area(c), 64u);
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

// A directory with files/ (the file directory) and, beside it, what a
// command must never reach.
class BridgeFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/nimbet-files-XXXXXX";
        root = mkdtemp(tmpl);
        dir = root + "/files";
        mkdir(dir.c_str(), 0700);
        mkdir((dir + "/sub").c_str(), 0700);
        std::ofstream(dir + "/ok.bin") << "payload";
        std::ofstream(dir + "/sub/deep.bin") << "deep";
        std::ofstream(root + "/secret.txt") << "secret";
        mkdir((root + "/outside").c_str(), 0700);
        std::ofstream(root + "/outside/x") << "outside";
        ASSERT_EQ(symlink("../secret.txt", (dir + "/link-to-file").c_str()), 0);
        ASSERT_EQ(symlink("../outside", (dir + "/link-to-dir").c_str()), 0);
        ASSERT_EQ(symlink("ok.bin", (dir + "/link-inside").c_str()), 0);
        ASSERT_EQ(symlink("sub", (dir + "/sub-link").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }
    bool read(const std::string &name, std::string &error)
    {
        Command c;
        error.clear();
        const bool ok = parse_command(R"({"to": "1.2.3.4", "file": ")" + name + "\"}", dir, c, error);
        data = c.data;
        return ok;
    }
    std::string root, dir, data;
};

TEST_F(BridgeFiles, RegularFilesBelowTheDirectoryAreRead)
{
    std::string error;
    ASSERT_TRUE(read("ok.bin", error)) << error;
    EXPECT_EQ(data, "payload");
    ASSERT_TRUE(read("sub/deep.bin", error)) << error;
    EXPECT_EQ(data, "deep");
}

// The path rule refuses ".." itself (x exists beside the directory), and
// absolute or empty names; links are never followed, not even inside;
// directories and other files that are not regular are refused with a
// reason, not an exception.
TEST_F(BridgeFiles, NothingOutsideNoLinkAndNothingButRegularFiles)
{
    std::ofstream(dir + "/../x") << "beside";
    struct Case {
        const char *name, *says;
    };
    for (const Case &c : {Case{"../x", "no \"..\""}, Case{"sub/../../x", "no \"..\""}, Case{"/etc/passwd", "not absolute"},
                          Case{"", "no \"..\""}, Case{"./ok.bin", "no \"..\""},
                          Case{"link-to-file", "symbolic link"}, Case{"link-to-dir/x", "symbolic link"},
                          Case{"link-inside", "symbolic link"}, Case{"sub-link/deep.bin", "symbolic link"},
                          Case{"sub", "a directory"},
                          Case{"missing", "No such file"}}) {
        std::string error;
        EXPECT_FALSE(read(c.name, error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(data.find("secret"), std::string::npos);
    }
    // The walk by components that stands in for openat2 holds the same line.
    const int dfd = open(dir.c_str(), O_PATH | O_DIRECTORY);
    for (const char *bad : {"link-to-file", "link-to-dir/x", "link-inside", "sub-link/deep.bin", "../x"})
        EXPECT_LT(open_beneath_by_components(dfd, bad), 0) << bad;
    const int fd = open_beneath_by_components(dfd, "sub/deep.bin");
    EXPECT_GE(fd, 0);
    close(fd);
    close(dfd);
}

// A FIFO without a writer would block a reader forever; a file past the
// limit is refused by its size before anything is read.
TEST_F(BridgeFiles, FifoAndHugeFilesAreRefusedWithoutWaitingOrReading)
{
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const int big = open((dir + "/big.bin").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(big, (64 << 20) + 1), 0);
    close(big);
    auto tried = std::async(std::launch::async, [&] {
        std::string error;
        const bool ok = read("fifo", error);
        return std::make_pair(ok, error);
    });
    if (tried.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "reading a FIFO blocked";
        const int unblock = open((dir + "/fifo").c_str(), O_WRONLY);  // lets the reader go
        close(unblock);
    }
    const auto [ok, error] = tried.get();
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    std::string why;
    EXPECT_FALSE(read("big.bin", why));
    EXPECT_NE(why.find("file too large"), std::string::npos) << why;
}

nlohmann::json result_of(const CommandGate::Verdict &v) { return nlohmann::json::parse(v.result); }

// A command message that is too large, retained, beyond the rate or with
// an id too long never runs; each refusal is counted by its cause and
// answered, while the answers themselves keep within the rate.
TEST(BridgeGate, RefusesWhatIsTooLargeRetainedTooFastOrTooLongAndSaysWhy)
{
    auto store = memory_store({100, 3600});
    CommandGate gate({200, 20, 2}, *store);
    const std::string cmd = R"({"tuples": [{"type": "msg"}]})";
    using V = CommandGate::Verdict;
    using C = CommandGate::Cause;

    const V big = gate.admit(R"({"id": "big", "tuples": [{"type": "msg", "text": ")" + std::string(200, 'x') + "\"}]}",
                             false, 0, 0);
    ASSERT_EQ(big.kind, V::Answer);
    EXPECT_NE(result_of(big)["error"].get<std::string>().find("too large"), std::string::npos);
    EXPECT_TRUE(result_of(big)["id"].is_null());  // a huge message is not read for its id

    const V retained = gate.admit(R"({"id": "r", "tuples": [{"type": "msg"}]})", true, 0, 0);
    ASSERT_EQ(retained.kind, V::Answer);
    EXPECT_EQ(result_of(retained)["id"], "r");
    EXPECT_EQ(result_of(retained)["ok"], false);

    const V long_id = gate.admit(R"({"id": ")" + std::string(19, 'i') + R"(", "tuples": [{"type": "msg"}]})", false, 0, 0);
    EXPECT_EQ(long_id.kind, V::Quiet);  // refused, and the answers' budget (2) is spent
    EXPECT_EQ(gate.refused(C::IdTooLong), 1u);

    // Two at once (the burst), then one every half second.
    EXPECT_EQ(gate.admit(cmd, false, 0, 0).kind, V::Run);
    EXPECT_EQ(gate.admit(cmd, false, 0, 0).kind, V::Run);
    EXPECT_EQ(gate.admit(cmd, false, 0, 0).kind, V::Quiet);
    EXPECT_EQ(gate.admit(cmd, false, 500, 0).kind, V::Run);
    const V fast = gate.admit(cmd, false, 600, 0);
    ASSERT_EQ(fast.kind, V::Answer);  // answers came back with the time too
    EXPECT_NE(result_of(fast)["error"].get<std::string>().find("too many commands"), std::string::npos);
    EXPECT_EQ(gate.refused(C::TooLarge), 1u);
    EXPECT_EQ(gate.refused(C::Retained), 1u);
    EXPECT_EQ(gate.refused(C::Rate), 2u);
    EXPECT_EQ(gate.admit(R"({"id": ")" + std::string(18, 'i') + R"(", "tuples": [{"type": "msg"}]})", false, 5000, 0)
                  .kind,
              V::Run);  // 20 bytes of JSON: the limit itself
}

// An id stands for one command: the same command again (in any spelling)
// gets the first result and does not run; another command under it is
// refused; a repeat while it runs is ignored; after the id's lifetime it
// is new again.
TEST(BridgeGate, AnIdNamesOneCommandForItsLifetime)
{
    auto store = memory_store({100, 60});
    CommandGate gate({1 << 20, 256, 1000}, *store);
    using V = CommandGate::Verdict;
    const std::string a = R"({"id": "a", "tuples": [{"type": "msg", "text": "one"}]})";
    const std::string a_again = R"({ "tuples":[{"text":"one","type":"msg"}], "id":"a" })";
    const std::string other = R"({"id": "a", "tuples": [{"type": "msg", "text": "two"}]})";
    ASSERT_EQ(gate.admit(a, false, 0, 1000).kind, V::Run);
    EXPECT_EQ(gate.admit(a_again, false, 1, 1000).kind, V::Quiet);  // still running
    const std::string first = ok_result("a", 3);
    gate.finished(first);
    const V repeat = gate.admit(a_again, false, 2, 1010);
    ASSERT_EQ(repeat.kind, V::Answer);
    EXPECT_EQ(repeat.result, first);
    const V reused = gate.admit(other, false, 3, 1020);
    ASSERT_EQ(reused.kind, V::Answer);
    EXPECT_EQ(result_of(reused)["ok"], false);
    EXPECT_NE(result_of(reused)["error"].get<std::string>().find("another command"), std::string::npos);
    EXPECT_EQ(gate.refused(CommandGate::Cause::IdReused), 1u);
    EXPECT_EQ(gate.repeats(), 2u);
    EXPECT_EQ(gate.admit(other, false, 4, 1061).kind, V::Run);  // a minute later the id is free
}

// A burst of warnings leaves the first, then one summary per interval.
TEST(BridgeLog, RepeatedWarningsAreSummedUpOncePerInterval)
{
    SummedWarning w(60000);
    uint64_t n = 0, sum = 0;
    EXPECT_TRUE(w.start(1000));
    w.add(5);  // the logged one's own figure is told with it
    for (uint32_t t = 2000; t < 40000; t += 1000) {
        EXPECT_FALSE(w.start(t));
        w.add(2);
        EXPECT_FALSE(w.due(t, n, sum));
    }
    ASSERT_TRUE(w.due(61000, n, sum));
    EXPECT_EQ(n, 38u);
    EXPECT_EQ(sum, 76u);
    EXPECT_FALSE(w.due(62000, n, sum));
    EXPECT_FALSE(w.start(62000));  // within a minute of the summary
    EXPECT_TRUE(w.start(121000));
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
