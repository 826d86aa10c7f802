// The nimbet commands that move files: send-file and recv-file, with their progress line and partial output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "commands.h"

namespace nimbet_tool {

namespace {

constexpr uint64_t kMaxFileBytes = UINT32_MAX;  // a transfer's length is a 32-bit number

std::string bytes_text(uint64_t n)
{
    char buf[32];
    if (n < 1024)
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
    else if (n < 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    else if (n < 1024ULL * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
    else
        std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(n) / (1024 * 1024 * 1024));
    return buf;
}

std::string duration_text(double s)
{
    char buf[32];
    const long t = static_cast<long>(s + 0.5);
    if (s < 60)
        std::snprintf(buf, sizeof buf, "%.1fs", s);
    else if (t < 3600)
        std::snprintf(buf, sizeof buf, "%ldm%02lds", t / 60, t % 60);
    else
        std::snprintf(buf, sizeof buf, "%ldh%02ldm", t / 3600, t / 60 % 60);
    return buf;
}

// The progress of a transfer: a line on standard error that rewrites itself
// on a terminal (or one line a second when forced elsewhere), and with
// --json a "progress" event a second.
class Progress {
public:
    Progress(const CommandLine &c, const char *verb)
        : verb_(verb), tty_(isatty(STDERR_FILENO) != 0),
          line_(c.progress == 1 || (c.progress < 0 && tty_)), json_(c.node.json)
    {
    }

    // Shows the state at most 5 times a second (once a second off a
    // terminal), or at once with `last`.
    void update(uint64_t bytes, uint64_t total, double seconds, bool last = false)
    {
        const uint32_t now = n_util_getmstime();
        if (line_ && (last || now - last_line_ >= (tty_ ? 200u : 1000u))) {
            last_line_ = now;
            std::fprintf(stderr, "%s%s%s", tty_ ? "\r" : "", text(bytes, total, seconds).c_str(),
                         tty_ ? "\033[K" : "\n");
            shown_ = true;
        }
        if (json_ && now - last_json_ >= 1000u && bytes != last_bytes_) {
            last_json_ = now;
            last_bytes_ = bytes;
            JsonObject o = json_event("progress").num("bytes", bytes);
            if (total != 0)
                o.num("total", total);
            std::printf("%s\n", o.real("rate", seconds > 0 ? static_cast<double>(bytes) / seconds : 0, 0).text().c_str());
            std::fflush(stdout);
        }
    }

    // Ends the line so that what follows starts on a fresh one.
    void close()
    {
        if (shown_ && tty_)
            std::fputc('\n', stderr);
        shown_ = false;
    }

private:
    std::string text(uint64_t bytes, uint64_t total, double seconds) const
    {
        const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
        std::string s = std::string(verb_) + " " + bytes_text(bytes);
        if (total != 0) {
            char pct[16];
            std::snprintf(pct, sizeof pct, " (%d%%)", static_cast<int>(100.0 * static_cast<double>(bytes) /
                                                                       static_cast<double>(total)));
            s += " of " + bytes_text(total) + pct;
        }
        s += "  " + bytes_text(static_cast<uint64_t>(rate)) + "/s";
        if (total != 0 && rate > 0 && bytes < total)
            s += "  ETA " + duration_text(static_cast<double>(total - bytes) / rate);
        return s;
    }

    const char *verb_;
    bool tty_, line_, json_;
    bool shown_ = false;
    uint32_t last_line_ = 0, last_json_ = 0;
    uint64_t last_bytes_ = 0;
};

bool same_id(const unsigned char *a, const unsigned char *b) { return std::memcmp(a, b, 8) == 0; }

// Stops (when still under way) and forgets the transfer with a peer.
void drop_transfer(const unsigned char *peer)
{
    if (n_frag_get_frag(peer) == nullptr)
        return;
    if (n_frag_get_status(peer, FRAG_STATE_MASK) == FRAG_ACTIVE)
        n_frag_abort(peer);
    n_frag_delete(peer);
}

// Bytes acknowledged (sender) or stored (receiver), and the whole length (0
// while unknown).
struct Done {
    uint64_t bytes = 0, total = 0;
};

Done progress_of(const unsigned char *peer)
{
    int64_t done = 0, total = 0;
    if (n_frag_get_progress(peer, &done, &total) < 0)
        return {};
    return {static_cast<uint64_t>(done > 0 ? done : 0), static_cast<uint64_t>(total > 0 ? total : 0)};
}

// The file send-file reads: checked before any socket is opened.
uint64_t check_input(const std::string &path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            throw Failure(kExitFailure, "file not found: " + path);
        throw Failure(kExitFailure, "cannot read " + path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode))
        throw Failure(kExitFailure, "cannot send " + path + ": it is a directory");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes)
        throw Failure(kExitFailure, "file too large: " + path + " has " + std::to_string(st.st_size) +
                                        " bytes; the limit is 4 GiB");
    if (::access(path.c_str(), R_OK) != 0)
        throw Failure(kExitFailure, "cannot read " + path + ": " + std::strerror(errno));
    return static_cast<uint64_t>(st.st_size);
}

std::vector<unsigned char> read_stdin()
{
    std::vector<unsigned char> data;
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) {
        if (data.size() + n > static_cast<std::size_t>(INT_MAX))
            throw Failure(kExitFailure, "input too large: from standard input the limit is 2 GiB");
        data.insert(data.end(), buf, buf + n);
    }
    if (std::ferror(stdin))
        throw Failure(kExitFailure, std::string("cannot read standard input: ") + std::strerror(errno));
    return data;
}

// The OUTFILE of recv-file, checked before a transfer is accepted. A file
// is written by the library part by part into OUTFILE.part and renamed to
// OUTFILE once complete and checked; data received in memory (standard
// output) are written at the end. A run that ends without the whole file
// removes what it made, unless asked to keep the part received.
class Output {
public:
    explicit Output(const std::string &path) : path_(path), stdout_(path == "-")
    {
        if (stdout_)
            return;
        struct stat st{};
        const bool existed = ::stat(path.c_str(), &st) == 0;
        if (existed && S_ISDIR(st.st_mode))
            throw Failure(kExitFailure, "cannot write " + path + ": it is a directory");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            throw Failure(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
        ::close(fd);
        created_ = !existed;
    }

    bool to_stdout() const { return stdout_; }
    const std::string &path() const { return path_; }

    // Writes data received in memory; false with the reason in *error.
    bool write_all(const unsigned char *data, std::size_t len, std::string *error)
    {
        std::FILE *f = stdout_ ? stdout : std::fopen(path_.c_str(), "wb");
        bool ok = f != nullptr && (len == 0 || std::fwrite(data, 1, len, f) == len);
        ok = (f == stdout ? std::fflush(f) == 0 : (f != nullptr && std::fclose(f) == 0)) && ok;
        if (!ok)
            *error = "cannot write " + (stdout_ ? std::string("standard output") : path_) + ": " + std::strerror(errno);
        return ok;
    }

    // The run ends without the whole file; call before the transfer is
    // dropped (which removes OUTFILE.part). With keep, the part received so
    // far becomes OUTFILE. Returns what became of it, for the message.
    std::string discard(bool keep)
    {
        if (stdout_)
            return "";
        const std::string part = path_ + ".part";
        if (keep && ::access(part.c_str(), F_OK) == 0 && ::rename(part.c_str(), path_.c_str()) == 0)
            return "kept the part received in " + path_;
        if (created_ && !keep) {
            ::unlink(path_.c_str());
            return "removed " + path_;
        }
        return "";
    }

private:
    std::string path_;
    bool stdout_;
    bool created_ = false;
};

}  // namespace

int cmd_send_file(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    const std::string &path = c.args[1];
    if (c.to.empty())
        throw UsageError("send-file needs --to ID");
    check_type(c.type, "--type");
    unsigned char dest[8], type[2];
    parse_id(c.to, "--to", dest);
    n_util_str2acl(c.type.c_str(), type);
    std::vector<unsigned char> input;
    uint64_t total;
    if (path == "-") {
        input = read_stdin();
        total = input.size();
    } else {
        total = check_input(path);
    }

    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    const int fd = s.fd;
    errno = 0;
    const int r = path == "-" ? n_socket_send_buffer(fd, fd, input.data(), static_cast<int>(input.size()), dest, type)
                              : n_socket_send_file(fd, fd, path.c_str(), dest, type);
    // A transfer whose first part could not go out stays registered, and the
    // receive loop sends that part again.
    if (r < 0 && n_frag_get_frag(dest) == nullptr) {
        const int sys_errno = errno;
        throw Failure(kExitFailure, n_errno == N_EACCES ? "a transfer with " + id_text(dest) + " is under way already"
                                                        : send_failure(fd, sys_errno));
    }
    input.clear();
    input.shrink_to_fit();

    const Deadline deadline(c.node.seconds > 0 ? c.node.seconds : 60);
    Progress progress(c, "sent");
    int state = FRAG_ACTIVE;
    // A part is acknowledged every few microseconds: the progress is looked
    // at every 64 rounds, the state and the deadline at every one.
    for (unsigned round = 1; state == FRAG_ACTIVE && !interrupted(); ++round) {
        const uint32_t left = deadline.left();
        if (left == 0)
            break;
        pump(fd, std::min<uint32_t>(left, 20), [](n_pkt *) {});
        state = n_frag_get_status(dest, FRAG_STATE_MASK);
        if (state != FRAG_ACTIVE || round % 64 == 0)
            progress.update(state == FRAG_FINISHED ? total : progress_of(dest).bytes, total, deadline.seconds(),
                            state != FRAG_ACTIVE);
    }
    progress.close();
    const double seconds = deadline.seconds();
    const uint64_t done = state == FRAG_FINISHED ? total : progress_of(dest).bytes;
    const std::string to = id_text(dest);
    int status = kExitDone;
    if (state == FRAG_FINISHED) {
        const double rate = static_cast<double>(total) / (seconds > 0 ? seconds : 1e-3);
        if (c.node.json)
            std::printf("%s\n", json_event("done").str("to", to).num("bytes", total).real("rate", rate, 0).text().c_str());
        else
            std::printf("sent %llu bytes in %llu parts to %s in %.2fs (%s/s)\n", static_cast<unsigned long long>(total),
                        static_cast<unsigned long long>(total == 0 ? 1 : (total + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE),
                        to.c_str(), seconds, bytes_text(static_cast<uint64_t>(rate)).c_str());
    } else if (interrupted()) {
        status = kExitInterrupted;
        std::fprintf(stderr, "nimbet: interrupted: %llu of %llu bytes acknowledged by %s after %.2fs\n",
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), to.c_str(), seconds);
    } else if (state == FRAG_ABORTED) {
        status = kExitNotAcked;
        std::fprintf(stderr, "nimbet: not acknowledged: transfer to %s aborted after %llu of %llu bytes (%d tries)\n",
                     to.c_str(), static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                     n_socket_get_retry(fd));
    } else {
        status = deadline.passed() ? kExitTimeLimit : kExitFailure;
        std::fprintf(stderr, "nimbet: time limit: %llu of %llu bytes acknowledged by %s in %.2fs\n",
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), to.c_str(), seconds);
    }
    std::fflush(stdout);
    drop_transfer(dest);
    return finish(c, fd, status, seconds,
                  json_event("summary").str("command", "send-file").str("to", to).num("bytes", done).num("total", total));
}

int cmd_recv_file(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    if (c.args[1] == "-" && c.node.json)
        throw UsageError("--json and OUTFILE - both want standard output");
    unsigned char from[8] = {};
    const bool from_given = !c.from.empty();
    if (from_given)
        parse_id(c.from, "--from", from);
    Output output(c.args[1]);  // refuses an OUTFILE that cannot be written before anything is received
    std::FILE *text = output.to_stdout() ? stderr : stdout;
    FilterGuard filter{build_filter(c.node)};
    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    const int fd = s.fd;
    n_socket_set_option(fd, SOCKET_FRAG, 1);
    // A file is written part by part, so it may be as long as a transfer can
    // be; data for standard output stay in memory, within the library's
    // limit. The next transfer (of --from when given) goes to the file; when
    // the filter refuses it, it is dropped and the file arranged again.
    const bool to_file = !output.to_stdout();
    auto arrange = [&] {
        if (to_file && n_frag_recv_file(fd, from_given ? from : nullptr, output.path().c_str()) < 0)
            throw Failure(kExitFailure, "cannot receive into " + output.path() + ": " + library_error());
    };
    if (to_file)
        n_socket_set_frag_limits(fd, 16, UINT32_MAX);
    arrange();
    if (!c.node.json) {
        std::fprintf(text, "waiting for a file on port %u as %s\n", port, id_text(n_socket_get_id(fd)).c_str());
        std::fflush(text);
    }

    const Deadline deadline(c.node.seconds > 0 ? c.node.seconds : 60);
    Progress progress(c, "received");
    bool accepted = false;
    int state = -1;
    unsigned rounds = 0;
    for (uint32_t left = deadline.left(); state != FRAG_FINISHED && state != FRAG_ABORTED && left != 0 &&
                                          !interrupted();
         left = deadline.left()) {
        pump(fd, std::min<uint32_t>(left, 20), [](n_pkt *) {});
        // Whose transfer is taken: the first one (of --from when given) whose
        // first part passes the filter. Any other is dropped.
        for (const Observer::FirstPart &p : observer.take_first_parts()) {
            const unsigned char *sender = p.sender.data();
            bool wanted = !accepted && (!from_given || same_id(sender, from));
            if (wanted && filter.id > 0) {
                std::unique_ptr<n_pkt, int (*)(n_pkt *)> part(n_pkt_alloc(), n_pkt_free);
                wanted = n_pkt_parse(part.get(), p.datagram.data(), static_cast<unsigned>(p.datagram.size())) == 0 &&
                         n_filter_apply(filter.id, part.get()) == 1;
            }
            if (wanted) {
                std::memcpy(from, sender, 8);
                accepted = true;
            } else if (!accepted || !same_id(sender, from)) {
                if (c.node.verbose > 0)
                    std::fprintf(stderr, "nimbet: not taking the transfer of %s\n", id_text(sender).c_str());
                drop_transfer(sender);
                if (!accepted && !from_given)
                    arrange();
            }
        }
        if (accepted) {
            state = n_frag_get_status(from, FRAG_STATE_MASK);
            if (state != FRAG_ACTIVE || ++rounds % 64 == 0) {
                const Done p = progress_of(from);
                progress.update(p.bytes, p.total, deadline.seconds(), state != FRAG_ACTIVE);
            }
        }
    }
    progress.close();

    int status = kExitDone;
    std::string outcome;
    uint64_t bytes = accepted ? progress_of(from).bytes : 0;
    if (state == FRAG_FINISHED) {
        // Data joined in memory (standard output, or a transfer that came
        // before the file was arranged) are fetched now, before the receive
        // timer releases them; a file is complete already.
        unsigned char *joined = nullptr;
        const int64_t len = n_frag_copy_data(from, nullptr, 0);
        std::vector<unsigned char> data;
        const bool in_memory = len > 0 && n_frag_get_data(from, &joined) >= 0 && joined != nullptr;
        if (in_memory) {
            data.resize(static_cast<std::size_t>(len));
            n_frag_copy_data(from, data.data(), data.size());
        }
        std::string error;
        if (len < 0 || (len > 0 && !in_memory && output.to_stdout())) {
            status = kExitFailure;
            outcome = "the received data are gone";
        } else if ((in_memory || output.to_stdout()) && !output.write_all(data.data(), data.size(), &error)) {
            status = kExitFailure;
            outcome = error;
        } else {
            bytes = static_cast<uint64_t>(len);
            if (c.node.json)
                std::printf("%s\n", json_event("done")
                                        .str("from", id_text(from))
                                        .num("bytes", bytes)
                                        .str("file", c.args[1])
                                        .text()
                                        .c_str());
            else
                std::fprintf(text, "received %llu bytes from %s into %s after %.2fs\n",
                             static_cast<unsigned long long>(bytes), id_text(from).c_str(),
                             output.to_stdout() ? "standard output" : c.args[1].c_str(), deadline.seconds());
        }
        // Stay a moment to acknowledge the last part again should the
        // sender not have heard its acknowledgement.
        const Deadline linger(2 * n_socket_get_timeout(fd) / 1000.0);
        while (!linger.passed() && !interrupted())
            pump(fd, std::min<uint32_t>(linger.left(), 20), [](n_pkt *) {});
    } else if (interrupted()) {
        status = kExitInterrupted;
        outcome = "interrupted after " + std::to_string(bytes) + " bytes";
    } else if (state == FRAG_ABORTED) {
        status = kExitFailure;
        outcome = "the transfer from " + id_text(from) + " broke off after " + std::to_string(bytes) + " bytes";
    } else {
        status = kExitTimeLimit;
        outcome = accepted ? "time limit: " + std::to_string(bytes) + " bytes received in " +
                                 duration_text(deadline.seconds())
                           : "time limit: no transfer arrived in " + duration_text(deadline.seconds());
    }
    if (status != kExitDone) {
        const std::string fate = output.discard(c.keep_partial);
        std::fprintf(stderr, "nimbet: %s%s%s\n", outcome.c_str(), fate.empty() ? "" : "; ", fate.c_str());
    }
    std::fflush(stdout);
    if (accepted)
        drop_transfer(from);
    JsonObject summary = json_event("summary").str("command", "recv-file").num("bytes", bytes);
    if (accepted)
        summary.str("from", id_text(from));
    return finish(c, fd, status, deadline.seconds(), summary);
}

}  // namespace nimbet_tool
