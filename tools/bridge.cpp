// nimbet bridge: options, topic layout and the gateway's event loop.
//
// One thread owns the node socket and the outbox; the MQTT client's network
// thread only passes events to it (see bridge_mqtt.h). Topics, for the
// prefix P and this gateway's identifier G:
//   P/G/rx                      every frame handed up, as JSON
//   P/G/transfer/SRC            a finished transfer from node SRC, raw bytes
//   P/G/transfer/SRC/meta       its summary, as JSON (published after the bytes)
//   P/G/tx                      commands (subscribed)
//   P/G/tx/result               their outcomes
//   P/G/status                  "online", retained; "offline" as the Last Will
//   P/G/stats                   counters every --stats seconds
#include "bridge.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge_command.h"
#include "bridge_mqtt.h"
#include "bridge_node.h"
#include "bridge_outbox.h"
#include "nimbet/nimbet.h"

namespace nimbet::bridge {

namespace {

using nlohmann::json;

const char kUsage[] =
    "usage: nimbet bridge PORT --mqtt HOST[:PORT] [OPTIONS]\n"
    "\n"
    "Publishes the frames this node receives to an MQTT broker and sends the\n"
    "commands it gets from there. Runs until interrupted (or --seconds).\n"
    "\n"
    "node options:\n"
    "  --id ID --local A --dest B --retry N --timeout MS   as for the other commands\n"
    "  --all            also publish frames addressed to other nodes, and transfer parts\n"
    "  --seconds S      stop after S seconds (default: run until SIGINT/SIGTERM)\n"
    "broker options:\n"
    "  --mqtt HOST[:PORT]     the broker (port 1883, or 8883 with --cafile)\n"
    "  --topic-prefix P       first topic level (default nimbet)\n"
    "  --client-id ID         MQTT client identifier (default nimbet-bridge-<node id>)\n"
    "  --username U --password P | --password-file F   credentials\n"
    "  --cafile F [--cert F --key F]                   TLS, with a client certificate\n"
    "  --qos 0|1              publishing quality of service (default 1)\n"
    "  --queue N              messages kept while the broker is away (default 10000;\n"
    "                         beyond it the oldest are dropped and counted)\n"
    "  --stats S              publish counters every S seconds (default 60, 0: never)\n"
    "  --file-dir DIR         commands may send files below DIR (\"file\": \"name\")\n";

constexpr std::size_t kWindow = 64;      // messages handed to the client at once
constexpr uint32_t kFlushOnExitMs = 3000;

struct BridgeOptions {
    uint16_t port = 0;
    std::string id, local, dest;
    int retry = -1, timeout = -1;
    long seconds = 0;
    bool all = false;
    std::string mqtt, prefix = "nimbet", client_id, username, password, password_file, cafile, cert, key, file_dir;
    int qos = 1;
    long queue = 10000;
    long stats = 60;
};

[[noreturn]] void usage_error(const std::string &what)
{
    std::fprintf(stderr, "nimbet bridge: %s\n(see nimbet bridge --help)\n", what.c_str());
    std::exit(2);
}

long number(const std::string &text, const char *option, long lo, long hi)
{
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi)
        usage_error(std::string("bad value for ") + option + ": " + text);
    return v;
}

BridgeOptions parse_options(int argc, char **argv)
{
    BridgeOptions o;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--id") o.id = value();
        else if (a == "--local") o.local = value();
        else if (a == "--dest") o.dest = value();
        else if (a == "--retry") o.retry = static_cast<int>(number(value(), "--retry", 1, 255));
        else if (a == "--timeout") o.timeout = static_cast<int>(number(value(), "--timeout", 1, 60000));
        else if (a == "--seconds") o.seconds = number(value(), "--seconds", 1, 100000000);
        else if (a == "--all") o.all = true;
        else if (a == "--mqtt") o.mqtt = value();
        else if (a == "--topic-prefix") o.prefix = value();
        else if (a == "--client-id") o.client_id = value();
        else if (a == "--username") o.username = value();
        else if (a == "--password") o.password = value();
        else if (a == "--password-file") o.password_file = value();
        else if (a == "--cafile") o.cafile = value();
        else if (a == "--cert") o.cert = value();
        else if (a == "--key") o.key = value();
        else if (a == "--qos") o.qos = static_cast<int>(number(value(), "--qos", 0, 1));
        else if (a == "--queue") o.queue = number(value(), "--queue", 1, 10000000);
        else if (a == "--stats") o.stats = number(value(), "--stats", 0, 86400);
        else if (a == "--file-dir") o.file_dir = value();
        else if (a == "-h" || a == "--help") { std::fputs(kUsage, stdout); std::exit(0); }
        else if (a.size() > 1 && a[0] == '-') usage_error("unknown option " + a);
        else args.push_back(a);
    }
    if (args.size() != 1)
        usage_error("bridge needs PORT");
    o.port = static_cast<uint16_t>(number(args[0], "PORT", 1, 65535));
    if (o.mqtt.empty())
        usage_error("bridge needs --mqtt HOST[:PORT]");
    if (o.prefix.empty() || o.prefix.find_first_of("+#") != std::string::npos || o.prefix.back() == '/')
        usage_error("bad --topic-prefix: no '+' or '#', no trailing '/'");
    if (o.cert.empty() != o.key.empty())
        usage_error("--cert and --key go together");
    if (!o.cert.empty() && o.cafile.empty())
        usage_error("--cert needs --cafile");
    if (!o.password.empty() && !o.password_file.empty())
        usage_error("--password or --password-file, not both");
    if ((!o.password.empty() || !o.password_file.empty()) && o.username.empty())
        usage_error("a password needs --username");
    return o;
}

uint32_t parse_addr(const std::string &text, const char *option)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        usage_error(std::string("bad IPv4 address for ") + option + ": " + text);
    return a.s_addr;
}

// Opens the node socket bound on the port, non-blocking; -1 after a message.
int open_node_socket(const BridgeOptions &o)
{
    uint32_t local = o.local.empty() ? 0 : parse_addr(o.local, "--local");
    const uint32_t dest = o.dest.empty() ? 0 : parse_addr(o.dest, "--dest");
    if (dest != 0 && local == 0)
        n_util_get_local_addresses(&local, nullptr);
    const int fd = n_socket_open(local, dest, o.port);
    if (fd < 0) {
        std::fprintf(stderr, "nimbet bridge: cannot open a socket: %s\n", n_util_strerr(n_errno));
        return -1;
    }
    if (!o.id.empty()) {
        NodeId id;
        if (!parse_node_id(o.id, id))
            usage_error("bad identifier for --id: " + o.id);
        n_socket_set_id(fd, id.data());
    }
    if (o.retry > 0 || o.timeout > 0)
        n_socket_set_retry(fd, o.retry > 0 ? o.retry : n_socket_get_retry(fd),
                           o.timeout > 0 ? o.timeout : n_socket_get_timeout(fd));
    n_socket_set_option(fd, SOCKET_BLOCKING, 0);
    n_pkt *none = n_socket_recv(fd, 0);  // binds the port before the first send
    if (none != nullptr) {
        n_pkt_free(none);
    } else if (n_errno == N_ENOTBOUND) {
        std::fprintf(stderr, "nimbet bridge: cannot bind port %u\n", o.port);
        n_socket_close(fd);
        return -1;
    }
    return fd;
}

double unix_time()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// The JSON object of a frame.
std::string frame_json(n_pkt *pkt, double time)
{
    json tuples = json::array();
    char name[4];
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
        n_acl_get_type_str(t, name);
        unsigned char *d = nullptr;
        const unsigned len = n_acl_get_data(t, &d);
        bool printable = true;
        for (unsigned i = 0; i < len; ++i)
            printable = printable && std::isprint(d[i]);
        std::string hex;
        for (unsigned i = 0; i < len && !printable; ++i) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", d[i]);
            hex += h;
        }
        tuples.push_back(printable ? json{{"type", name}, {"text", std::string(reinterpret_cast<char *>(d), len)}}
                                   : json{{"type", name}, {"hex", hex}});
    }
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &pkt->from.sin_addr, from, sizeof from);
    n_acl *cad = nullptr;
    json j = {{"time", time},
              {"src", node_id_text(pkt->srcid)},
              {"seq", n_pkt_get_seq(pkt)},
              {"from", std::string(from) + ":" + std::to_string(ntohs(pkt->from.sin_port))},
              {"addressed", n_acl_findfirst_str(pkt, "CAD", &cad) >= 0 && cad->len == 8
                                ? json(node_id_text(cad->data))
                                : json(nullptr)},
              {"ack", n_pkt_get_ack(pkt) == 1},
              {"tuples", tuples}};
    return j.dump();
}

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void on_signal(int sig)
{
    g_signal = sig;
    const char c = 1;
    if (write(g_signal_pipe[1], &c, 1) < 0) {
        // the pipe is full: the loop is woken already
    }
}

bool read_password_file(const std::string &path, std::string &out)
{
    std::ifstream in(path);
    if (!in || !std::getline(in, out))
        return false;
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

class Gateway {
public:
    Gateway(const BridgeOptions &o, int fd)
        : o_(o), fd_(fd), self_(node_id_text(n_socket_get_id(fd))), base_(o.prefix + "/" + self_),
          outbox_(static_cast<std::size_t>(o.queue), kWindow),
          node_(fd, o.all, 0,
                {[this](n_pkt *pkt) { enqueue(base_ + "/rx", frame_json(pkt, unix_time())); },
                 [this](const NodeId &src, const std::string &type, const std::string &data, uint32_t ms) {
                     const std::string topic = base_ + "/transfer/" + node_id_text(src.data());
                     enqueue(topic, data);
                     enqueue(topic + "/meta", json{{"time", unix_time()},
                                                   {"src", node_id_text(src.data())},
                                                   {"type", type},
                                                   {"bytes", data.size()},
                                                   {"ms", ms}}
                                                  .dump());
                 },
                 [this](const std::string &result) { enqueue(base_ + "/tx/result", result); }})
    {
    }

    int run();

private:
    void enqueue(const std::string &topic, const std::string &payload) { outbox_.push({topic, payload, false, 0}); }
    void handle_events();
    void flush();
    void publish_stats();
    bool start_link(std::string &error);

    const BridgeOptions &o_;
    int fd_;
    std::string self_, base_;
    Outbox outbox_;
    Node node_;
    std::unique_ptr<MqttLink> link_;
    bool connected_ = false;
    uint64_t connections_ = 0;
    uint32_t started_ = n_util_getmstime();
};

bool Gateway::start_link(std::string &error)
{
    MqttSettings s;
    if (!parse_broker_address(o_.mqtt, s.host, s.port)) {
        error = "bad --mqtt address: " + o_.mqtt;
        return false;
    }
    if (o_.mqtt.find(':') == std::string::npos && !o_.cafile.empty())
        s.port = 8883;
    s.client_id = o_.client_id.empty() ? "nimbet-bridge-" + self_ : o_.client_id;
    s.username = o_.username;
    s.password = o_.password;
    if (!o_.password_file.empty() && !read_password_file(o_.password_file, s.password)) {
        error = "cannot read the password file " + o_.password_file;
        return false;
    }
    s.cafile = o_.cafile;
    s.cert = o_.cert;
    s.key = o_.key;
    s.status_topic = base_ + "/status";
    s.subscriptions = {base_ + "/tx"};
    link_ = std::make_unique<MqttLink>(std::move(s));
    return link_->start(error);
}

void Gateway::handle_events()
{
    for (MqttEvent &e : link_->take_events()) {
        switch (e.kind) {
        case MqttEvent::Connected:
            connected_ = true;
            ++connections_;
            std::fprintf(stderr, "nimbet bridge: connected to %s (%zu queued)\n", o_.mqtt.c_str(), outbox_.size());
            break;
        case MqttEvent::ConnectFailed:
            std::fprintf(stderr, "nimbet bridge: cannot connect to %s: %s\n", o_.mqtt.c_str(), e.topic.c_str());
            break;
        case MqttEvent::Disconnected:
            connected_ = false;
            if (o_.qos == 0)
                outbox_.rewind();
            std::fprintf(stderr, "nimbet bridge: broker away (%s); queueing\n", e.topic.c_str());
            break;
        case MqttEvent::Published:
            outbox_.confirmed(e.code);
            break;
        case MqttEvent::Message:
            if (e.topic == base_ + "/tx")
                node_.submit(e.payload, o_.file_dir);
            break;
        }
    }
}

// Hands the next messages in order to the client. At QoS 1 the client keeps
// what it took across a lost connection and sends it again after
// reconnecting, so the outbox only waits for the confirmations.
void Gateway::flush()
{
    while (connected_) {
        OutMessage *m = outbox_.next();
        if (m == nullptr)
            return;
        const int mid = link_->publish(m->topic, m->payload, o_.qos, m->retain);
        if (mid == MqttLink::kRefusedForNow)
            return;  // tried again after the next event
        if (mid == MqttLink::kRefusedForGood) {
            std::fprintf(stderr, "nimbet bridge: dropped a message for %s that MQTT cannot carry (%zu bytes)\n",
                         m->topic.c_str(), m->payload.size());
            outbox_.refuse_next();
            continue;
        }
        outbox_.handed(mid);
    }
}

void Gateway::publish_stats()
{
    n_socket_stats s{};
    n_socket_get_stats(fd_, &s);
    const NodeCounters &n = node_.counters();
    const json j = {{"time", unix_time()},
                    {"uptime_s", (n_util_getmstime() - started_) / 1000},
                    {"published", outbox_.published()},
                    {"queued", outbox_.size()},
                    {"dropped", outbox_.dropped()},
                    {"connections", connections_},
                    {"commands", n.commands},
                    {"commands_failed", n.commands_failed},
                    {"transfers_received", n.transfers_received},
                    {"socket",
                     {{"frames_sent", s.frames_sent},
                      {"frames_received", s.frames_received},
                      {"frames_rejected", s.frames_rejected},
                      {"not_for_us", s.not_for_us},
                      {"duplicates", s.duplicates},
                      {"acks_sent", s.acks_sent},
                      {"acks_received", s.acks_received},
                      {"retransmissions", s.retransmissions},
                      {"transfers_started", s.transfers_started},
                      {"transfers_finished", s.transfers_finished},
                      {"transfers_aborted", s.transfers_aborted},
                      {"transfers_refused", s.transfers_refused},
                      {"stray_fragments", s.stray_fragments}}}};
    link_->publish(base_ + "/stats", j.dump(), 0, false);
}

int Gateway::run()
{
    std::string error;
    if (!start_link(error)) {
        std::fprintf(stderr, "nimbet bridge: %s\n", error.c_str());
        return 1;
    }
    std::printf("bridge on port %u as %s, broker %s, topics %s/...\n", o_.port, self_.c_str(), o_.mqtt.c_str(),
                base_.c_str());
    std::fflush(stdout);

    const uint32_t limit_ms = static_cast<uint32_t>(o_.seconds * 1000);
    const uint32_t stats_ms = static_cast<uint32_t>(o_.stats * 1000);
    uint32_t last_stats = started_;
    while (g_signal == 0 && (limit_ms == 0 || n_util_getmstime() - started_ < limit_ms)) {
        int wait = node_.next_wake_ms(200);
        if (limit_ms != 0)
            wait = std::min<int>(wait, static_cast<int>(limit_ms - (n_util_getmstime() - started_)));
        pollfd fds[3] = {{fd_, POLLIN, 0}, {link_->wake_fd(), POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        poll(fds, 3, std::max(wait, 0));
        node_.pump();
        handle_events();
        flush();
        if (stats_ms != 0 && connected_ && n_util_getmstime() - last_stats >= stats_ms) {
            last_stats = n_util_getmstime();
            publish_stats();
        }
    }

    // Give what is queued a moment to reach the broker.
    const uint32_t t0 = n_util_getmstime();
    while (outbox_.size() > 0 && connected_ && n_util_getmstime() - t0 < kFlushOnExitMs) {
        pollfd p{link_->wake_fd(), POLLIN, 0};
        poll(&p, 1, 50);
        handle_events();
        flush();
    }
    link_->stop();
    std::printf("bridge stopped: %llu published, %zu left in the queue, %llu dropped, %llu commands\n",
                static_cast<unsigned long long>(outbox_.published()), outbox_.size(),
                static_cast<unsigned long long>(outbox_.dropped()),
                static_cast<unsigned long long>(node_.counters().commands));
    return g_signal == SIGINT ? 130 : 0;
}

}  // namespace

int run(int argc, char **argv)
{
    const BridgeOptions o = parse_options(argc, argv);
    if (pipe(g_signal_pipe) != 0) {
        std::perror("nimbet bridge: pipe");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int fd = open_node_socket(o);
    if (fd < 0)
        return 1;
    int status;
    {
        Gateway gateway(o, fd);
        status = gateway.run();
    }
    n_socket_close(fd);
    return status;
}

}  // namespace nimbet::bridge
