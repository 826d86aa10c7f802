// SPDX-License-Identifier: MIT
// The nimbet tool: its JSON lines, filters, capture file, and the program run as a user runs it.
#include <gtest/gtest.h>

#include <sched.h>

#include <sys/mount.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "frame_json.h"
#include "node_options.h"
#include "pcap.h"

using namespace nimbet_tool;

namespace {

// ------------------------------------------------------------------ a JSON checker

// Accepts exactly one JSON value spanning the text (RFC 8259, no extensions).
class JsonCheck {
public:
    static bool valid(const std::string &text)
    {
        JsonCheck c{text};
        return c.value() && (c.ws(), c.i == text.size());
    }

private:
    explicit JsonCheck(const std::string &t) : s(t) {}
    void ws() { while (i < s.size() && std::strchr(" \t\r\n", s[i]) != nullptr) ++i; }
    bool lit(const char *w) { const std::size_t n = std::strlen(w); return s.compare(i, n, w) == 0 ? (i += n, true) : false; }
    bool string()
    {
        if (s[i++] != '"') return false;
        while (i < s.size() && s[i] != '"') {
            const unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c < 0x20) return false;
            if (c == '\\') {
                if (i >= s.size()) return false;
                const char e = s[i++];
                if (e == 'u') { for (int k = 0; k < 4; ++k) if (i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i++]))) return false; }
                else if (std::strchr("\"\\/bfnrt", e) == nullptr) return false;
            }
        }
        return i++ < s.size();
    }
    bool number()
    {
        const std::size_t start = i;
        if (s[i] == '-') ++i;
        while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || std::strchr(".eE+-", s[i]))) ++i;
        return i > start && std::isdigit(static_cast<unsigned char>(s[i - 1]));
    }
    bool value()
    {
        ws();
        if (i >= s.size()) return false;
        if (s[i] == '"') return string();
        if (s[i] == '{' || s[i] == '[') {
            const char close = s[i++] == '{' ? '}' : ']';
            ws();
            if (i < s.size() && s[i] == close) return ++i, true;
            for (;;) {
                if (close == '}') { ws(); if (i >= s.size() || !string()) return false; ws(); if (i >= s.size() || s[i++] != ':') return false; }
                if (!value()) return false;
                ws();
                if (i >= s.size()) return false;
                if (s[i] == close) return ++i, true;
                if (s[i++] != ',') return false;
            }
        }
        return lit("true") || lit("false") || lit("null") || number();
    }
    const std::string &s;
    std::size_t i = 0;
};

// ------------------------------------------------------------------ running the tool

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// The tool started in the background; its output goes to files. Every run
// ends by --seconds or its bounded retries; the destructor kills a run a
// test left behind.
class Tool {
public:
    explicit Tool(std::vector<std::string> args, const std::string &input = "")
    {
        static int runs = 0;
        base_ = ::testing::TempDir() + "nimbet_tool_" + std::to_string(getpid()) + "_" + std::to_string(runs++);
        if (!input.empty())
            std::ofstream(base_ + ".in", std::ios::binary) << input;
        pid_ = fork();
        if (pid_ == 0) {
            const int in = open(input.empty() ? "/dev/null" : (base_ + ".in").c_str(), O_RDONLY);
            const int out = open((base_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open((base_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv{const_cast<char *>(NIMBET_TOOL_PATH)};
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(NIMBET_TOOL_PATH, argv.data());
            _exit(127);
        }
    }
    ~Tool()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const char *ext : {".in", ".out", ".err"})
            std::remove((base_ + ext).c_str());
    }
    void signal(int sig) { kill(pid_, sig); }
    Result wait()
    {
        Result r;
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = slurp(base_ + ".out");
        r.err = slurp(base_ + ".err");
        return r;
    }

private:
    pid_t pid_ = -1;
    std::string base_;
};

Result run(std::vector<std::string> args, const std::string &input = "") { return Tool(std::move(args), input).wait(); }

// Gives a started listener time to bind before others send.
void settle() { usleep(300 * 1000); }

std::string temp_path(const std::string &name)
{
    return ::testing::TempDir() + "nimbet_tool_" + std::to_string(getpid()) + "_" + name;
}

std::string random_bytes(std::size_t n)
{
    std::mt19937 gen(7);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

// ------------------------------------------------------------------ the modules

TEST(FrameJson, StringsStayValidJsonWhateverTheBytes)
{
    EXPECT_EQ(json_string("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(json_string("\xc3\xa9"), "\"\xc3\xa9\"");                  // UTF-8 kept
    EXPECT_EQ(json_string("\xff\xc3"), "\"\\ufffd\\ufffd\"");            // not UTF-8: replaced
    EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate is no character
    EXPECT_TRUE(JsonCheck::valid(JsonObject().str("k", "\x7f\x80").real("r", 1.0 / 0.0).text()));
}

TEST(FrameJson, TextIsValidUtf8WithoutControlCharacters)
{
    const struct {
        const char *data;
        bool text;
    } cases[] = {
        {"21.5", true}, {"", true}, {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa1", true},  // "été €" and a thermometer
        {"a\nb", false}, {"\x7f", false}, {"\xc2\x85", false},                             // C0, DEL, C1 controls
        {"\xc2\xa0", true},                                                                // the first after C1
        {"\xc3", false}, {"\xc0\xaf", false}, {"\xed\xa0\x80", false}, {"\xff", false},    // cut, overlong, surrogate, never
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_text(reinterpret_cast<const unsigned char *>(c.data), std::strlen(c.data)), c.text) << c.data;
}

TEST(FrameJson, FrameCarriesHeaderControlTuplesAndData)
{
    const unsigned char dest[8] = {1, 1, 1, 1, 10, 0, 0, 2};
    const unsigned char cac[2] = {0x00, 0x2a}, bin[3] = {0x00, 0xff, 0x10};
    std::unique_ptr<n_pkt, int (*)(n_pkt *)> built(n_pkt_alloc(), n_pkt_free), got(n_pkt_alloc(), n_pkt_free);
    n_pkt_set_srcid_str(built.get(), "10.0.0.1");
    n_pkt_set_seq(built.get(), 12);
    n_acl_add_str(built.get(), "tmp", reinterpret_cast<const unsigned char *>("21.5"), 4, 0);
    n_acl_add_str(built.get(), "bin", bin, 3, 0);
    n_acl_add_str(built.get(), "utf", reinterpret_cast<const unsigned char *>("\xc3\xa9t\xc3\xa9"), 5, 0);
    n_acl_add_str(built.get(), "CAD", dest, 8, 0);
    n_acl_add_str(built.get(), "CAC", cac, 2, 0);
    // The frame as it goes on the wire, parsed as a receiver parses it.
    std::vector<unsigned char> frame(PACKET_HEADER_SIZE + built->acl_len + 2);
    frame[0] = 2;
    std::memcpy(&frame[45], built->srcid, 8);
    frame[53] = 12;
    std::size_t off = PACKET_HEADER_SIZE;
    for (n_acl *t = n_acl_first(built.get()); t != nullptr; t = n_acl_next(built.get(), t)) {
        std::memcpy(&frame[off], t->type, 2);
        frame[off + 2] = t->len;
        std::memcpy(&frame[off + 3], t->data, t->len);
        off += 3u + t->len;
    }
    n_util_crc16_append(frame.data(), static_cast<unsigned>(frame.size()));
    ASSERT_EQ(n_pkt_parse(got.get(), frame.data(), static_cast<unsigned>(frame.size())), 0);

    const std::string json = frame_json(got.get(), 1.5);
    EXPECT_TRUE(JsonCheck::valid(json)) << json;
    for (const char *part : {R"("event":"frame","time":1.500,"src":"1.1.1.1.10.0.0.1")", R"("seq":12)",
                             R"("addressed":"1.1.1.1.10.0.0.2")", R"("ack":false,"cac":{"reply":false,"kind":"single","seq":42})",
                             R"({"type":"tmp","len":4,"text":"21.5"})", R"({"type":"bin","len":3,"hex":"00ff10"})",
                             "{\"type\":\"utf\",\"len\":5,\"text\":\"\xc3\xa9t\xc3\xa9\"}"})
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
    EXPECT_EQ(json.find("location"), std::string::npos);  // all zero: left out
}

TEST(NodeOptions, FilterExpressionsSelectFrames)
{
    std::unique_ptr<n_pkt, int (*)(n_pkt *)> tmp(n_pkt_alloc(), n_pkt_free), hum(n_pkt_alloc(), n_pkt_free);
    n_pkt_set_srcid_str(tmp.get(), "10.0.0.5");
    n_acl_add_str(tmp.get(), "tmp", nullptr, 0, 0);
    n_pkt_set_srcid_str(hum.get(), "10.9.0.5");
    n_acl_add_str(hum.get(), "hum", nullptr, 0, 0);
    n_acl_add_str(hum.get(), "tmp", nullptr, 0, 0);
    struct Case {
        std::vector<std::string> filters;
        bool any;
        int tmp_passes, hum_passes;
    };
    const Case cases[] = {
        {{"acl=tmp"}, false, 1, 1},
        {{"acl=tmp", "id=1.1.1.1.10.0.*"}, false, 1, 0},
        {{"acl=hum", "id=1.1.1.1.10.0.*"}, true, 1, 1},
        {{"acl!=hum"}, false, 1, 0},
        {{"acl@0=tmp"}, false, 1, 0},
        {{"id=1.1.1.1.10.?.0.5"}, false, 1, 1},
    };
    for (const Case &c : cases) {
        NodeOptions o;
        o.filters = c.filters;
        o.filter_or = c.any;
        const int chain = build_filter(o);
        EXPECT_EQ(n_filter_apply(chain, tmp.get()), c.tmp_passes) << c.filters[0];
        EXPECT_EQ(n_filter_apply(chain, hum.get()), c.hum_passes) << c.filters[0];
        n_filter_destroy(chain);
    }
    for (const char *bad : {"acl", "acl=toolong", "id=1.x.3", "id=1.2.3.4.5.6.7.8.9", "id=300", "when=now", "acl@x=tmp"}) {
        NodeOptions o;
        o.filters = {bad};
        EXPECT_THROW(build_filter(o), UsageError) << bad;
    }
}

TEST(Pcap, RecordsAreRawIpv4WithUdpPorts)
{
    const std::string path = temp_path("unit.pcap");
    sockaddr_in from{}, to{};
    from.sin_addr.s_addr = htonl(0x0a000001);
    from.sin_port = htons(47000);
    to.sin_addr.s_addr = htonl(0x0a0000ff);
    to.sin_port = htons(47001);
    {
        std::string error;
        std::unique_ptr<PcapWriter> w(PcapWriter::open(path, false, &error));
        ASSERT_TRUE(w) << error;
        const unsigned char payload[3] = {1, 2, 3};
        ASSERT_TRUE(w->write(timeval{1, 2}, from, to, payload, sizeof payload));
    }
    const std::string f = slurp(path);
    std::remove(path.c_str());
    ASSERT_EQ(f.size(), 24u + 16 + 20 + 8 + 3);
    auto u32 = [&](std::size_t at) { uint32_t v; std::memcpy(&v, &f[at], 4); return v; };
    auto u8 = [&](std::size_t at) { return static_cast<unsigned char>(f[at]); };
    EXPECT_EQ(u32(0), 0xa1b2c3d4u);
    EXPECT_EQ(u32(20), 101u);  // raw IP
    EXPECT_EQ(u32(24 + 8), 31u);
    const std::size_t ip = 40;
    EXPECT_EQ(u8(ip), 0x45);
    EXPECT_EQ(u8(ip + 9), 17);
    uint32_t sum = 0;  // the header checksum makes the ones' complement sum 0xffff
    for (std::size_t k = 0; k < 20; k += 2)
        sum += static_cast<uint32_t>(u8(ip + k) << 8 | u8(ip + k + 1));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    EXPECT_EQ(sum, 0xffffu);
    EXPECT_EQ(u8(ip + 12), 10);
    EXPECT_EQ(u8(ip + 19), 0xff);
    EXPECT_EQ(u8(ip + 22) << 8 | u8(ip + 23), 47001);
    EXPECT_EQ(u8(ip + 28), 1);
}

// ------------------------------------------------------------------ the program

TEST(Tool, MistakesExitTwoWithAOneLineHintAtTheCommandsHelp)
{
    const struct {
        std::vector<std::string> args;
        const char *help;  // the help the hint points at
    } mistakes[] = {
        {{"send", "47000", "tmp", "x", "--retry", "0"}, "nimbet send --help"},
        {{"send", "47000", "tmp", "x", "--to", ""}, "nimbet send --help"},
        {{"send", "47000", "tmp", "x", "junk"}, "nimbet send --help"},
        {{"send", "47000", "tmp"}, "nimbet send --help"},
        {{"send", "47000", "tmp", "x", "--count", "3"}, "nimbet send --help"},
        {{"--retry", "0", "send", "47000", "tmp", "x"}, "nimbet --help"},
        {{"listen", "47000", "--bogus"}, "nimbet listen --help"},
        {{"listen", "70000"}, "nimbet listen --help"},
        {{"listen", "47000", "--filter", "colour=red"}, "nimbet listen --help"},
        {{"listen", "47000", "--or", "--filter", "acl=tmp"}, "nimbet listen --help"},
        {{"listen", "47000", "--no-clobber"}, "nimbet listen --help"},
        {{"frobnicate", "--retry", "0"}, "nimbet --help"},
        {{}, "nimbet --help"},
    };
    for (const auto &m : mistakes) {
        const Result r = run(m.args);
        EXPECT_EQ(r.status, kExitUsage) << (m.args.empty() ? "" : m.args[0]) << ": " << r.err;
        EXPECT_EQ(lines(r.err).size(), 2u) << r.err;
        EXPECT_NE(r.err.find("Try '" + std::string(m.help) + "'."), std::string::npos) << r.err;
    }
    const Result help = run({"send-file", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("130  interrupted"), std::string::npos);
    EXPECT_EQ(run({"--version"}).status, 0);
}

TEST(Tool, AcknowledgedSendThatNobodyAnswersExitsThree)
{
    const Result r = run({"send", "47000", "tmp", "x", "--to", "10.0.0.9", "--acked", "--retry", "2", "--timeout", "20"});
    EXPECT_EQ(r.status, kExitNotAcked) << r.err;
    EXPECT_NE(r.err.find("not acknowledged by 1.1.1.1.10.0.0.9"), std::string::npos) << r.err;
}

TEST(Tool, ListenJsonLinesParseAndEndWithASummary)
{
    Tool listener({"listen", "47000", "--id", "10.0.0.2", "--json", "--count", "2", "--seconds", "10"});
    settle();
    EXPECT_EQ(run({"send", "47000", "tmp", "say \"hi\"", "--id", "10.0.0.1"}).status, 0);
    EXPECT_EQ(run({"send", "--id", "10.0.0.1", "--to", "10.0.0.2", "--acked", "--", "47000", "tmp", "-5"}).status, 0);
    const Result r = listener.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> got = lines(r.out);
    ASSERT_EQ(got.size(), 3u) << r.out;
    for (const std::string &l : got)
        EXPECT_TRUE(JsonCheck::valid(l)) << l;
    EXPECT_NE(got[0].find(R"("text":"say \"hi\"")"), std::string::npos);
    EXPECT_NE(got[1].find(R"("ack":true)"), std::string::npos);
    EXPECT_NE(got[2].find(R"("event":"summary")"), std::string::npos);
}

TEST(Tool, TimeLimitBeforeTheCountExitsFourAndCtrlCExits130)
{
    EXPECT_EQ(run({"listen", "47000", "--count", "1", "--seconds", "0.2"}).status, kExitTimeLimit);
    Tool listener({"listen", "47000", "--json", "--seconds", "20"});
    settle();
    listener.signal(SIGINT);
    const Result r = listener.wait();
    EXPECT_EQ(r.status, kExitInterrupted);
    EXPECT_NE(r.out.find(R"("interrupted":true)"), std::string::npos) << r.out;
}

// Nodes on one host, each bound to an address of its own: a frame sent to
// one of them (--dest) reaches that one only; an address that is not this
// host's is refused.
TEST(Tool, BoundNodeHearsOnlyWhatIsSentToItsAddress)
{
    Tool five({"listen", "47000", "--id", "10.0.0.5", "--bind", "127.0.0.5", "--count", "1", "--seconds", "5"});
    Tool six({"listen", "47000", "--id", "10.0.0.6", "--bind", "127.0.0.6", "--count", "1", "--seconds", "1.5"});
    settle();
    const Result sent = run({"send", "47000", "tmp", "x", "--id", "10.0.0.1", "--bind", "127.0.0.7", "--dest",
                             "127.0.0.5"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(five.wait().status, 0);
    EXPECT_EQ(six.wait().status, kExitTimeLimit);
    const Result elsewhere = run({"listen", "47000", "--bind", "10.99.0.1", "--seconds", "1"});
    EXPECT_EQ(elsewhere.status, kExitUsage);
    EXPECT_NE(elsewhere.err.find("--bind 10.99.0.1 is not an address of this host"), std::string::npos)
        << elsewhere.err;
}

TEST(Tool, PortInUseIsNamed)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(47005);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const Result r = run({"listen", "47005", "--seconds", "1"});
    close(s);
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_NE(r.err.find("port 47005 is in use"), std::string::npos) << r.err;
}

TEST(Tool, FileFromStandardInputToStandardOutput)
{
    const std::string data = random_bytes(3000);
    Tool receiver({"recv-file", "47000", "-", "--id", "10.0.0.2", "--seconds", "20"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--json"}, data);
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find(R"("event":"done")"), std::string::npos) << sent.out;
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_TRUE(got.out == data) << got.out.size() << " bytes";
}

TEST(Tool, OutfileIsCheckedFirstAndAPartialOneRemoved)
{
    const Result unwritable = run({"recv-file", "47000", "/nonexistent-dir/x", "--seconds", "5"});
    EXPECT_EQ(unwritable.status, kExitFailure);
    EXPECT_NE(unwritable.err.find("cannot write /nonexistent-dir/x"), std::string::npos);
    EXPECT_EQ(unwritable.out, "");  // refused before it waited for anything
    // Not a regular file (such as /dev/null): the received file would take its place.
    const std::string fifo = temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Result special = run({"recv-file", "47000", fifo, "--seconds", "5"});
    struct stat st{};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    std::remove(fifo.c_str());
    EXPECT_EQ(special.status, kExitFailure);
    EXPECT_NE(special.err.find("cannot write " + fifo + ": not a regular file"), std::string::npos) << special.err;

    // Nothing stands under OUTFILE until the file is complete: not while
    // the run waits, not after it was killed, not after it ran out of time.
    const std::string out = temp_path("partial.bin");
    for (const char *keep : {"--keep-partial", "--verbose"}) {
        const Result timed_out = run({"recv-file", "47000", out, "--seconds", "0.3", keep});
        EXPECT_EQ(timed_out.status, kExitTimeLimit);
        EXPECT_NE(access(out.c_str(), F_OK), 0) << keep;
        EXPECT_NE(timed_out.err.find("; nothing written to " + out), std::string::npos) << timed_out.err;
    }
    Tool killed({"recv-file", "47000", out, "--seconds", "5"});
    settle();
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    killed.signal(SIGKILL);
    killed.wait();
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    std::remove((out + ".part").c_str());

    const Result missing = run({"send-file", "47000", "/nonexistent-file", "--to", "10.0.0.2"});
    EXPECT_EQ(missing.status, kExitFailure);
    EXPECT_NE(missing.err.find("file not found: /nonexistent-file"), std::string::npos);
}

TEST(Tool, CausesAreNamed)
{
    const Result foreign = run({"send", "47000", "tmp", "x", "--local", "10.99.0.5"});
    EXPECT_EQ(foreign.status, kExitUsage);
    EXPECT_NE(foreign.err.find("--local 10.99.0.5 is not an address of this host"), std::string::npos) << foreign.err;
    const Result unroutable = run({"send", "47000", "tmp", "x", "--dest", "10.99.0.5"});
    EXPECT_EQ(unroutable.status, kExitFailure);
    EXPECT_NE(unroutable.err.find("no route to 10.99.0.5"), std::string::npos) << unroutable.err;
}

TEST(Tool, TransferThatTheFilterRefusesIsNotAcknowledged)
{
    const std::string out = temp_path("refused.bin");
    Tool receiver({"recv-file", "47000", out, "--id", "10.0.0.2", "--filter", "id=1.1.1.1.10.0.0.7", "--seconds", "3"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--retry", "2",
                             "--timeout", "50", "--seconds", "5"},
                            random_bytes(500));
    EXPECT_EQ(sent.status, kExitNotAcked) << sent.err;
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, kExitTimeLimit) << got.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
}

// recv-file --from takes the transfers of that node only: another node's
// is refused, not acknowledged, so its sender does not report it sent.
TEST(Tool, TransferOfAnotherNodeThanFromIsNotAcknowledged)
{
    const std::string out = temp_path("from.bin");
    Tool receiver({"recv-file", "47000", out, "--id", "10.0.0.2", "--from", "10.0.0.7", "--seconds", "3"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--retry", "2",
                             "--timeout", "50", "--seconds", "5"},
                            random_bytes(20));
    EXPECT_EQ(sent.status, kExitNotAcked) << sent.err;
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, kExitTimeLimit) << got.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
}

// recv-file without --from takes the first transfer that begins; from then
// on another node's transfer is refused, not acknowledged, and the file
// holds the first node's bytes.
TEST(Tool, TransferBeginningWhileOneIsTakenIsNotAcknowledged)
{
    const std::string out = temp_path("first.bin");
    const std::string first = random_bytes(1 << 20);
    Tool receiver({"recv-file", "47000", out, "--id", "10.0.0.2", "--seconds", "20"});
    settle();
    Tool taken({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--seconds", "20"}, first);
    usleep(150 * 1000);
    const Result other = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.3", "--retry", "2",
                              "--timeout", "50", "--seconds", "5"},
                             random_bytes(20));
    EXPECT_EQ(other.status, kExitNotAcked) << other.err;
    EXPECT_EQ(taken.wait().status, kExitDone);
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, kExitDone) << got.err;
    EXPECT_EQ(slurp(out), first);
    std::remove(out.c_str());
}

// A disk that fills up is named as the cause, not the sender; nothing is
// left under OUTFILE. (A small file system of the test's own, in a mount
// namespace of its own.)
TEST(Tool, FullDiskIsReportedAsSuch)
{
    const std::string dir = temp_path("small");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
        FAIL() << "cannot make a small file system: " << std::strerror(errno);
    const std::string out = dir + "/big.bin";
    Tool receiver({"recv-file", "47000", out, "--id", "10.0.0.2", "--seconds", "10"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--seconds", "10"},
                            random_bytes(512 << 10));
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, kExitFailure) << got.err;
    EXPECT_NE(got.err.find("cannot write " + out), std::string::npos) << got.err;
    EXPECT_NE(got.err.find("no space left"), std::string::npos) << got.err;
    EXPECT_EQ(got.err.find("broke off"), std::string::npos) << got.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    EXPECT_NE(sent.status, kExitDone);
    umount(dir.c_str());
    rmdir(dir.c_str());
}

// Whatever ends a transfer, --keep-partial keeps every byte received, in
// order, says how many, and writes them to standard output for '-';
// without it what was written goes.
TEST(Tool, PartOfAFileIsKeptOnlyWhenAsked)
{
    const std::string data = random_bytes(4 << 20);  // seconds of transfer on loopback
    enum Cause { kSenderGone, kTimeLimit, kCtrlC };
    const struct {
        Cause cause;
        bool keep, to_stdout;
        int status;
    } cases[] = {
        {kSenderGone, true, false, kExitFailure}, {kSenderGone, true, true, kExitFailure},
        {kTimeLimit, true, false, kExitTimeLimit}, {kTimeLimit, false, false, kExitTimeLimit},
        {kCtrlC, true, false, kExitInterrupted},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "cause " << c.cause << " keep " << c.keep << " stdout " << c.to_stdout);
        const std::string out = temp_path("partial.bin");
        // The receiver gives a silent sender up after about 0.4 s, or (with
        // the default patience of about 1.8 s) stops itself after 1 s.
        std::vector<std::string> args = {"recv-file", "47000", c.to_stdout ? "-" : out, "--id", "10.0.0.2"};
        for (const char *a : c.cause == kTimeLimit ? std::vector<const char *>{"--seconds", "1"}
                                                    : std::vector<const char *>{"--retry", "3", "--timeout", "100"})
            args.push_back(a);
        if (c.keep)
            args.push_back("--keep-partial");
        Tool receiver(args);
        settle();
        // The sender stops long before the transfer is through.
        Tool sender({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--seconds", "0.2"}, data);
        EXPECT_EQ(sender.wait().status, kExitTimeLimit);
        if (c.cause == kCtrlC)
            receiver.signal(SIGINT);
        const Result got = receiver.wait();
        EXPECT_EQ(got.status, c.status) << got.err;
        EXPECT_NE(access((out + ".part").c_str(), F_OK), 0);
        const std::string kept = c.to_stdout ? got.out : slurp(out);
        if (c.keep) {
            EXPECT_FALSE(kept.empty());
            EXPECT_LT(kept.size(), data.size());
            EXPECT_TRUE(data.compare(0, kept.size(), kept) == 0);  // what was received, in order
            const std::string said = (c.to_stdout ? "; wrote " : "; kept ") + std::to_string(kept.size()) + " bytes";
            EXPECT_NE(got.err.find(said), std::string::npos) << got.err;
        } else {
            EXPECT_NE(access(out.c_str(), F_OK), 0) << got.err;
            EXPECT_NE(got.err.find("; nothing written to " + out), std::string::npos) << got.err;
        }
        std::remove(out.c_str());
    }
}

// An existing output is refused with --no-clobber and otherwise overwritten
// with a word on standard error; counts read "1 part", not "1 parts".
TEST(Tool, ExistingOutputIsRefusedOrOverwrittenAloud)
{
    const std::string out = temp_path("existing.bin"), cap = temp_path("existing.pcap");
    std::ofstream(out) << "old";
    std::ofstream(cap) << "old";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"recv-file", "47000", out, "--no-clobber", "--seconds", "5"},
          std::vector<std::string>{"listen", "47000", "--pcap", cap, "--no-clobber", "--seconds", "5"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, kExitFailure) << args[0];
        EXPECT_NE(r.err.find("exists; not overwriting it (--no-clobber)"), std::string::npos) << r.err;
    }
    EXPECT_EQ(slurp(out), "old");
    EXPECT_EQ(slurp(cap), "old");

    const std::string data = random_bytes(FRAG_PART_SIZE);
    Tool receiver({"recv-file", "47000", out, "--id", "10.0.0.2", "--seconds", "20"});
    Tool listener({"listen", "47001", "--pcap", cap, "--seconds", "0.5"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1"}, data);
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("sent 45 bytes in 1 part to"), std::string::npos) << sent.out;
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(got.err.find("nimbet: overwriting " + out), std::string::npos) << got.err;
    EXPECT_TRUE(slurp(out) == data);
    EXPECT_NE(listener.wait().err.find("nimbet: overwriting " + cap), std::string::npos);
    std::remove(out.c_str());
    std::remove(cap.c_str());
}

// -v shows a transfer once a second (parts, resends, rate), -vv every part.
TEST(Tool, VerboseTransferHasALineASecondAndVeryVerboseOnePerPart)
{
    const std::string data = random_bytes(1 << 20);
    Tool receiver({"recv-file", "47000", "-", "--id", "10.0.0.2", "--seconds", "60", "-v"});
    settle();
    const Result sent = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "-v"}, data);
    EXPECT_EQ(sent.status, 0) << sent.err;
    const Result got = receiver.wait();
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.out == data);
    double seconds = 0;
    std::sscanf(sent.out.c_str(), "sent %*s bytes in %*s parts to %*s in %lfs", &seconds);
    EXPECT_GT(seconds, 0) << sent.out;
    for (const Result *r : {&sent, &got}) {
        const std::size_t n = lines(r->err).size();
        // Under 10 a second, with the first and the last lines and the counters.
        EXPECT_LT(static_cast<double>(n), 10 * seconds + 5) << r->err;
        EXPECT_NE(r->err.find(" parts, "), std::string::npos) << r->err;
        EXPECT_NE(r->err.find(" resent"), std::string::npos) << r->err;
    }

    Tool small_receiver({"recv-file", "47000", "-", "--id", "10.0.0.2", "--seconds", "20"});
    settle();
    const Result parts = run({"send-file", "47000", "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "-vv"},
                             random_bytes(10 * FRAG_PART_SIZE));
    EXPECT_EQ(small_receiver.wait().status, 0);
    std::size_t part_lines = 0;
    for (const std::string &l : lines(parts.err))
        part_lines += l.find(" part-sent ") != std::string::npos;
    EXPECT_EQ(part_lines, 10u) << parts.err;
    EXPECT_EQ(parts.out.find("part-"), std::string::npos);  // diagnostics stay off standard output
}

TEST(Tool, UnansweredTransferReportsResentPartsAndCounters)
{
    const Result r = run({"send-file", "47000", "-", "--to", "10.0.0.9", "--id", "10.0.0.1", "--retry", "3", "--timeout",
                          "20", "--json", "-vv"},
                         random_bytes(100));
    EXPECT_EQ(r.status, kExitNotAcked);
    int resent = 0;
    for (const std::string &l : lines(r.out)) {
        EXPECT_TRUE(JsonCheck::valid(l)) << l;
        resent += l.find(R"("event":"resent")") != std::string::npos;
    }
    EXPECT_GE(resent, 2);
    EXPECT_NE(r.out.find(R"("retransmissions":)"), std::string::npos);
    EXPECT_NE(r.err.find("nimbet: counters: sent "), std::string::npos) << r.err;
}

// The capture holds the datagrams as they went: each with its real
// destination (here the loopback broadcast address), in the order they were
// read and sent, a request before the acknowledgement that answers it.
TEST(Tool, ListenCapturesEveryDatagramAsItWent)
{
    const std::string cap = temp_path("listen.pcap");
    Tool listener({"listen", "47000", "--id", "10.0.0.2", "--pcap", cap, "--count", "2", "--seconds", "10"});
    settle();
    run({"send", "47000", "tmp", "1", "--id", "10.0.0.1"});
    run({"send", "47000", "tmp", "2", "--id", "10.0.0.1", "--to", "10.0.0.2", "--acked"});
    EXPECT_EQ(listener.wait().status, 0);
    const std::string f = slurp(cap);
    std::remove(cap.c_str());
    struct Record {
        uint64_t usec;
        std::string dest;  // "a.b.c.d:port"
        int control;       // the "CAC" control byte, -1 without one
        std::string payload;
    };
    std::vector<Record> records;
    for (std::size_t at = 24; at + 16 <= f.size();) {
        uint32_t head[4];
        std::memcpy(head, &f[at], sizeof head);
        ASSERT_LE(at + 16 + head[2], f.size());
        const std::string ip = f.substr(at + 16, head[2]);
        at += 16 + head[2];
        char dest[32];
        std::snprintf(dest, sizeof dest, "%u.%u.%u.%u:%u", ip[16] & 0xff, ip[17] & 0xff, ip[18] & 0xff, ip[19] & 0xff,
                      (ip[22] & 0xff) << 8 | (ip[23] & 0xff));
        Record r{head[0] * 1000000ULL + head[1], dest, -1, ip.substr(28)};
        for (std::size_t t = PACKET_HEADER_SIZE; t + 3 <= r.payload.size() - 2; t += 3 + (r.payload[t + 2] & 0xff))
            if (r.payload[t] == '\x66' && r.payload[t + 1] == '\x40')
                r.control = r.payload[t + 3] & 0xff;
        records.push_back(r);
    }
    // The broadcast frame, the request, and the acknowledgement sent.
    ASSERT_EQ(records.size(), 3u);
    for (const Record &r : records) {
        EXPECT_EQ(r.dest, "127.255.255.255:47000");
        EXPECT_EQ(n_util_crc16_check(reinterpret_cast<const unsigned char *>(r.payload.data()),
                                     static_cast<unsigned>(r.payload.size())), 1);
    }
    EXPECT_EQ(records[0].control, -1);
    EXPECT_EQ(records[1].control, 0);  // a request
    EXPECT_EQ(records[2].control, 1);  // its acknowledgement
    EXPECT_LE(records[1].usec, records[2].usec);
}

}  // namespace

TEST(NodeOptions, WindowTakesZeroToOneHundredTwentyEight)
{
    const auto take = [](const char *value) {
        NodeOptions o;
        std::string name = "--window", text = value;
        char *argv[] = {name.data(), text.data()};
        int i = 0;
        take_node_option(o, 2, argv, i);
        return o.window;
    };
    EXPECT_EQ(0, take("0"));
    EXPECT_EQ(128, take("128"));
    for (const char *bad : {"129", "-1", "x"})
        EXPECT_THROW(take(bad), UsageError) << bad;
}
