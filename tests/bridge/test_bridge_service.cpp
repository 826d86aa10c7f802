// SPDX-License-Identifier: MIT
// The gateway as a service: its settings from file, environment and command line, its notices to systemd, its log lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "bridge_log.h"
#include "mqtt_rig.h"
#include "nimbet/nimbet.h"

namespace nimbet::test {
namespace {

// key = value lines of a TOML document, as "table.key" -> value text.
std::map<std::string, std::string> settings_of(const std::string &toml)
{
    std::map<std::string, std::string> out;
    std::istringstream in(toml);
    std::string table;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            table = line.substr(1, line.find(']') - 1) + ".";
            continue;
        }
        const auto eq = line.find(" = ");
        if (eq != std::string::npos)
            out[table + line.substr(0, eq)] = line.substr(eq + 3);
    }
    return out;
}

class BridgeService : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::string &text)
    {
        const std::string path = dir.path + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    // Runs `nimbet bridge ARGS` to its end: exit status and output.
    std::pair<int, std::string> run(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        GatewayProcess p(args, env);
        const int status = p.wait();
        return {status, p.output()};
    }
    TempDir dir;
};

// The file gives the base, the environment overrides it, the command line
// overrides both; secrets never show; the output reads back as the same.
TEST_F(BridgeService, PrintConfigCombinesFileEnvironmentAndFlags)
{
    const std::string file = write("bridge.toml", R"(# a site
port = 47000
id = "10.0.0.9"
retry = 4
timeout = 50
window = 8
filter = ["acl=tmp", "acl=hum"]
or = true

[mqtt]
host = "broker.example"
port = 8883
username = "gw"
password = "from-the-file"
qos = 0
)");
    const auto [status, out] =
        run({"--config", file, "--print-config", "--timeout", "70", "--filter", "acl=msg", "--filter=acl=tmp", "--mqtt",
             "other.example"},
            {"NIMBET_BRIDGE_RETRY=7", "NIMBET_BRIDGE_TIMEOUT=60", "NIMBET_BRIDGE_MQTT_PASSWORD=from-the-env",
             "NIMBET_BRIDGE_MQTT_QOS=1"});
    ASSERT_EQ(status, 0) << out;
    auto s = settings_of(out);
    EXPECT_EQ(s["port"], "47000");                     // file
    EXPECT_EQ(s["retry"], "7");                        // environment over file
    EXPECT_EQ(s["timeout"], "70");                     // command line over both
    EXPECT_EQ(s["window"], "8");
    EXPECT_EQ(s["filter"], "[\"acl=msg\", \"acl=tmp\"]");  // a list given on the command line replaces the file's
    EXPECT_EQ(s["or"], "true");
    EXPECT_EQ(s["mqtt.host"], "\"other.example\"");
    EXPECT_EQ(s["mqtt.port"], "8883");                 // --mqtt without a port keeps the file's
    EXPECT_EQ(s["mqtt.qos"], "1");
    EXPECT_EQ(s["mqtt.password"], "\"********\"");
    EXPECT_EQ(out.find("from-the"), std::string::npos) << out;
    EXPECT_NE(out.find(file), std::string::npos);

    // What it printed is a configuration that gives the same settings.
    const std::string again = write("again.toml", out);
    const auto [status2, out2] = run({"--config", again, "--print-config"});
    ASSERT_EQ(status2, 0) << out2;
    auto s2 = settings_of(out2);
    s.erase("mqtt.password");
    s2.erase("mqtt.password");
    EXPECT_EQ(s, s2);
}

// Mistakes end with status 2 and name where they are.
TEST_F(BridgeService, BadSettingsNameTheirFileLineKeyVariableOrOption)
{
    const std::string base = "port = 47000\n[mqtt]\nhost = \"b\"\n";
    struct Case {
        std::string file;
        std::vector<std::string> env, args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {base + "pasword = \"x\"\n", {}, {}, "bridge.toml:4: mqtt.pasword: unknown key"},
        {"port = \"47000\"\n", {}, {}, "bridge.toml:1: port must be an integer"},
        {"port = 70000\n", {}, {}, "bridge.toml:1: bad port 70000"},
        {"port = [\n", {}, {}, "bridge.toml:"},
        {base, {"NIMBET_BRIDGE_MQTT_QOS=2"}, {}, "NIMBET_BRIDGE_MQTT_QOS"},
        {base, {"NIMBET_BRIDGE_MQTT_PASWORD=x"}, {}, "unknown environment variable NIMBET_BRIDGE_MQTT_PASWORD"},
        {base, {}, {"--client-id", ""}, "--client-id must not be empty"},
        {base, {}, {"--file-dir", "/nonexistent"}, "file_dir /nonexistent: No such file or directory"},
        {base, {}, {"--qos", "3"}, "--qos"},
        {base, {}, {"--or", "--filter", "acl=msg"}, "--or joins two or more --filter"},
        {base, {}, {"--file-dir", "/etc/passwd"}, "file_dir /etc/passwd is not a directory"},
        {base, {}, {"--command-rate", "0"}, "--command-rate"},
        {base, {}, {"--window", "129"}, "--window"},
        {"[mqtt]\nhost = \"b\"\n", {}, {}, "bridge needs PORT"},
    };
    for (const Case &c : cases) {
        const std::string file = write("bridge.toml", c.file);
        std::vector<std::string> args = {"--config", file, "--print-config"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto [status, out] = run(args, c.env);
        EXPECT_EQ(status, 2) << c.says << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
    }
    const auto [status, out] = run({"--config", dir.path + "/missing.toml", "--print-config"});
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("missing.toml: No such file or directory"), std::string::npos) << out;
}

// The search path: the working directory's file is found without --config.
TEST_F(BridgeService, FindsItsFileInTheWorkingDirectory)
{
    write("nimbet-bridge.toml", "port = 47123\n[mqtt]\nhost = \"found\"\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const auto [status, out] = run({"--print-config"}, {"XDG_CONFIG_HOME=" + dir.path + "/none"});
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(settings_of(out)["mqtt.host"], "\"found\"");
}

// Started by systemd with Type=notify: it says it is ready once it queues
// (the broker need not be there), and keeps the watchdog fed from its loop.
TEST_F(BridgeService, TellsSystemdItIsReadyAndFeedsTheWatchdog)
{
    const std::string path = dir.path + "/notify";
    const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    GatewayProcess gw({"47000", "--mqtt", "127.0.0.1:1", "--no-config", "--outbox", "memory", "--seconds", "2",
                       "--dest", "127.255.255.255"},
                      {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=200000"});
    std::vector<std::string> notices;
    char buf[512];
    for (ssize_t n; notices.size() < 4 && (n = recv(s, buf, sizeof buf, 0)) > 0;)
        notices.emplace_back(buf, static_cast<std::size_t>(n));
    close(s);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(), 0);
    ASSERT_GE(notices.size(), 3u) << gw.output();
    EXPECT_EQ(notices[0].rfind("READY=1\nSTATUS=", 0), 0u) << notices[0];
    int watchdog = 0;
    for (const std::string &n : notices)
        watchdog += n == "WATCHDOG=1";
    EXPECT_GE(watchdog, 2);
}

// Under systemd, LoadCredential= puts the secrets where the service's own
// (dynamic) user reads them: credentials named after the keys fill those
// the settings left empty, never one they set.
TEST_F(BridgeService, SystemdCredentialsFillTheSecretFilesLeftUnset)
{
    const std::string creds = dir.path + "/credentials";
    mkdir(creds.c_str(), 0700);
    for (const char *name : {"mqtt_password", "mqtt_cafile", "mqtt_cert", "mqtt_key"})
        std::ofstream(creds + "/" + name) << "x\n";
    const std::string base = "port = 47000\n[mqtt]\nhost = \"b\"\nusername = \"gw\"\n";
    const auto [status, out] = run({"--config", write("bridge.toml", base), "--print-config"},
                                   {"CREDENTIALS_DIRECTORY=" + creds});
    ASSERT_EQ(status, 0) << out;
    auto s = settings_of(out);
    EXPECT_EQ(s["mqtt.password_file"], "\"" + creds + "/mqtt_password\"");
    EXPECT_EQ(s["mqtt.cafile"], "\"" + creds + "/mqtt_cafile\"");
    EXPECT_EQ(s["mqtt.cert"], "\"" + creds + "/mqtt_cert\"");
    EXPECT_EQ(s["mqtt.key"], "\"" + creds + "/mqtt_key\"");
    const auto [status2, out2] =
        run({"--config", write("bridge.toml", base + "cafile = \"/etc/ssl/ca.crt\"\n"), "--print-config"},
            {"CREDENTIALS_DIRECTORY=" + creds, "NIMBET_BRIDGE_MQTT_PASSWORD=set"});
    ASSERT_EQ(status2, 0) << out2;
    s = settings_of(out2);
    EXPECT_EQ(s["mqtt.cafile"], "\"/etc/ssl/ca.crt\"");
    EXPECT_EQ(s.count("mqtt.password_file"), 0u) << out2;  // the password was given: no file beside it
}

// A password file that cannot serve says why in words that fit.
TEST_F(BridgeService, AnEmptyPasswordFileIsCalledEmpty)
{
    const std::string empty = write("empty.pw", "");
    const auto [status, out] = run({"47000", "--mqtt", "127.0.0.1:1", "--no-config", "--outbox", "memory",
                                    "--dest", "127.255.255.255", "--username", "gw", "--password-file", empty});
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot read the password file " + empty + ": it is empty"), std::string::npos) << out;
}

// One line per event with its level: a UTC time before it on a terminal or
// file, a syslog priority instead when standard error is the journal's
// stream; lines below the level are left out.
TEST_F(BridgeService, LogLinesCarryLevelAndTimeOrTheJournalsPriority)
{
    const std::string path = dir.path + "/log";
    const int saved = dup(STDERR_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    struct stat st{};
    fstat(fd, &st);
    unsetenv("JOURNAL_STREAM");
    bridge::log_setup(bridge::Level::Info);
    bridge::log(bridge::Level::Warning, "to a file");
    bridge::log(bridge::Level::Debug, "left out");
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    bridge::log_setup(bridge::Level::Debug);
    bridge::log(bridge::Level::Notice, "to the journal");
    bridge::log(bridge::Level::Debug, "shown");
    unsetenv("JOURNAL_STREAM");
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), std::string("2024-01-02T03:04:05.678Z warning: to a file").size()) << lines[0];
    EXPECT_EQ(lines[0].substr(10, 1) + lines[0].substr(23), "TZ warning: to a file") << lines[0];
    EXPECT_EQ(lines[1], "<5>to the journal");
    EXPECT_EQ(lines[2], "<7>shown");
}

}  // namespace
}  // namespace nimbet::test
