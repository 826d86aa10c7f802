// SPDX-License-Identifier: MIT
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

// The progress of a transfer on standard error: a line that rewrites itself
// on a terminal (or one line a second when forced elsewhere); with -v, one
// line a second that also counts the parts and resends; with --json, a
// "progress" event a second.
class Progress {
public:
    Progress(const CommandLine &c, const char *verb, const Observer &observer)
        : verb_(verb), observer_(observer), tty_(isatty(STDERR_FILENO) != 0), verbose_(c.node.verbose > 0),
          line_(!verbose_ && (c.progress == 1 || (c.progress < 0 && tty_))), json_(c.node.json)
    {
    }

    // Shows the state after `seconds` of transfer at most 5 times a second
    // on a terminal, else once a second, or at once with `last`.
    void update(uint64_t bytes, uint64_t total, double seconds, bool last = false)
    {
        const uint32_t now = n_util_getmstime();
        const Observer::TransferCounts &n = observer_.transfer_counts();
        const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
        if (verbose_ && (last || now - last_line_ >= 1000u)) {
            last_line_ = now;
            std::string line = amount(bytes, total) + ", " + plural(n.parts, "part", "parts") + ", " +
                               std::to_string(n.resent) + " resent";
            if (n.repeated != 0)
                line += ", " + std::to_string(n.repeated) + " repeated";
            if (n.ignored != 0)
                line += ", " + std::to_string(n.ignored) + " of no transfer";
            line += ", " + bytes_text(static_cast<uint64_t>(rate)) + "/s";
            std::fprintf(stderr, "nimbet: %10.6fs %s\n", observer_.elapsed(), line.c_str());
        } else if (line_ && (last || now - last_line_ >= (tty_ ? 200u : 1000u))) {
            last_line_ = now;
            std::string line = amount(bytes, total) + "  " + bytes_text(static_cast<uint64_t>(rate)) + "/s";
            if (total != 0 && rate > 0 && bytes < total)
                line += "  ETA " + duration_text(static_cast<double>(total - bytes) / rate);
            std::fprintf(stderr, "%s%s%s", tty_ ? "\r" : "", line.c_str(), tty_ ? "\033[K" : "\n");
            shown_ = true;
        }
        if (json_ && now - last_json_ >= 1000u && (bytes != last_bytes_ || n.resent != last_resent_)) {
            last_json_ = now;
            last_bytes_ = bytes;
            last_resent_ = n.resent;
            JsonObject o = json_event("progress").num("bytes", bytes);
            if (total != 0)
                o.num("total", total);
            o.real("rate", rate, 0);
            std::printf("%s\n", o.num("parts", n.parts).num("resent", n.resent).text().c_str());
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
    // "sent 1.0 MiB of 4.0 MiB (25%)"
    std::string amount(uint64_t bytes, uint64_t total) const
    {
        std::string s = std::string(verb_) + " " + bytes_text(bytes);
        if (total != 0) {
            char pct[16];
            std::snprintf(pct, sizeof pct, " (%d%%)", static_cast<int>(100.0 * static_cast<double>(bytes) /
                                                                       static_cast<double>(total)));
            s += " of " + bytes_text(total) + pct;
        }
        return s;
    }

    const char *verb_;
    const Observer &observer_;
    bool tty_, verbose_, line_, json_;
    bool shown_ = false;
    uint32_t last_line_ = 0, last_json_ = 0;
    uint64_t last_bytes_ = 0, last_resent_ = 0;
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

// How a transfer with a peer ended, from the socket's events: FRAG_FINISHED
// or FRAG_ABORTED (with the library's reason), FRAG_ACTIVE while it goes on.
struct Ending {
    int state = FRAG_ACTIVE;
    std::string reason;

    // Takes what an event says of the transfer with `peer` in the given
    // direction; true when it was about that transfer.
    bool take(const n_event &ev, const unsigned char *peer, bool receiving)
    {
        if (ev.receiving != (receiving ? 1 : 0) || std::memcmp(ev.peer, peer, 8) != 0)
            return false;
        if (ev.kind == N_EVENT_TRANSFER_FINISHED)
            state = FRAG_FINISHED;
        else if (ev.kind == N_EVENT_TRANSFER_ABORTED)
            state = FRAG_ABORTED, reason = ev.reason != nullptr ? ev.reason : "";
        return true;
    }
};

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

// Where recv-file puts the transfer, arranged before one is accepted. The
// library writes the parts to a temporary file beside SINK and renames it to
// SINK once the whole file is there and checked; when the transfer breaks
// off (the sender gone, the time limit, Ctrl-C), it removes it, or with
// --keep-partial renames what it holds, every byte received, to SINK. SINK
// is OUTFILE, or for standard output a file in a private temporary folder,
// copied out at the end. A new OUTFILE is made at once (an empty one that
// stands for it until the transfer replaces it), so that --no-clobber holds
// and an OUTFILE that cannot be written is refused before anything comes.
class Output {
public:
    Output(const std::string &path, bool no_clobber) : path_(path), stdout_(path == "-")
    {
        if (stdout_) {
            const char *tmp = std::getenv("TMPDIR");
            std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/nimbet-XXXXXX";
            if (::mkdtemp(dir.data()) == nullptr)
                throw Failure(kExitFailure, "cannot make a temporary folder: " + dir + ": " + std::strerror(errno));
            dir_ = dir;
            sink_ = dir_ + "/received";
            return;
        }
        sink_ = path;
        existed_ = check_output(path, no_clobber);
        struct stat st{};
        // The received file takes the place of OUTFILE: never that of a
        // device, a pipe or a socket (such as /dev/null).
        if (existed_ && (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
            throw Failure(kExitFailure, "cannot write " + path + ": not a regular file");
        // Nothing is made under OUTFILE until the transfer is complete: the
        // library writes beside it (OUTFILE.part), and a target that cannot be
        // written fails when that file is made, before anything is received.
    }

    ~Output()
    {
        if (dir_.empty())
            return;
        ::unlink(sink_.c_str());
        ::rmdir(dir_.c_str());
    }

    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    bool to_stdout() const { return stdout_; }
    // The file the library writes the transfer to.
    const std::string &sink() const { return sink_; }
    // OUTFILE, or "standard output".
    std::string name() const { return stdout_ ? "standard output" : path_; }

    // The transfer is complete in SINK.
    void finished() { say_overwriting(); }

    // The transfer did not finish and was let go (`taken`: a transfer had
    // been accepted): keeps what was received (writing it to standard
    // output), or removes what this run made. Returns what became of it,
    // for the message.
    std::string unfinished(bool keep, bool taken)
    {
        if (keep && taken) {
            struct stat st{};
            const uint64_t kept = ::stat(sink_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
            say_overwriting();
            std::string error;
            if (stdout_ && !copy_to_stdout(&error))
                return error;
            return (stdout_ ? "wrote " : "kept ") + plural(kept, "byte", "bytes") + (stdout_ ? " to " : " in ") + name();
        }
        if (stdout_)
            return "";
        if (existed_)
            return path_ + " left as it was";
        return "nothing written to " + path_;
    }

    // Writes SINK to standard output; false with the reason in *error.
    bool copy_to_stdout(std::string *error) const
    {
        std::FILE *in = std::fopen(sink_.c_str(), "rb");
        bool ok = in != nullptr;
        char buf[65536];
        std::size_t n;
        while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
            ok = std::fwrite(buf, 1, n, stdout) == n;
        ok = ok && !std::ferror(in) && std::fflush(stdout) == 0;
        if (in != nullptr)
            std::fclose(in);
        if (!ok)
            *error = "cannot write standard output: " + std::string(std::strerror(errno));
        return ok;
    }

private:
    void say_overwriting()
    {
        if (existed_)
            std::fprintf(stderr, "nimbet: overwriting %s\n", path_.c_str());
        existed_ = false;
    }

    std::string path_, dir_, sink_;
    bool stdout_;
    bool existed_ = false;  // OUTFILE was there before this run (and is not replaced yet)
};

// What send-file sends: the destination, the data's type, and the whole of
// standard input (a file is read by the library as the parts go).
struct Outgoing {
    unsigned char dest[8], type[2];
    std::vector<unsigned char> input;  // standard input; empty for a file
    uint64_t total = 0;
};

// Checks the command line and the input of send-file before any socket is opened.
Outgoing outgoing_of(const CommandLine &c)
{
    const std::string &path = c.args[1];
    if (c.to.empty())
        throw UsageError("send-file needs --to ID");
    check_type(c.type, "--type");
    Outgoing out;
    parse_id(c.to, "--to", out.dest);
    n_util_str2acl(c.type.c_str(), out.type);
    if (path == "-") {
        out.input = read_stdin();
        out.total = out.input.size();
    } else {
        out.total = check_input(path);
    }
    return out;
}

// Sends the transfer's first part (the rest go as they are acknowledged)
// and frees standard input's copy, which the library has taken.
void start_sending(int fd, const std::string &path, Outgoing &out)
{
    errno = 0;
    const int r = path == "-" ? n_socket_send_buffer(fd, fd, out.input.data(), static_cast<int>(out.input.size()),
                                                     out.dest, out.type)
                              : n_socket_send_file(fd, fd, path.c_str(), out.dest, out.type);
    // A transfer whose first part could not go out stays registered, and the
    // receive loop sends that part again.
    if (r < 0 && n_frag_get_frag(out.dest) == nullptr) {
        const int sys_errno = errno;
        throw Failure(kExitFailure, n_errno == N_EACCES
                                        ? "a transfer with " + id_text(out.dest) + " is under way already"
                                        : send_failure(fd, sys_errno));
    }
    out.input.clear();
    out.input.shrink_to_fit();
}

// Serves the socket until the transfer ends, the deadline passes or Ctrl-C,
// showing the progress; returns the transfer's last state.
int follow_sending(const CommandLine &c, int fd, const Outgoing &out, const Deadline &deadline,
                   const Observer &observer)
{
    Progress progress(c, "sent", observer);
    Ending ending;
    int &state = ending.state;
    // A part is acknowledged every few microseconds: the progress is looked
    // at every 64 rounds, the events and the deadline at every one.
    for (unsigned round = 1; state == FRAG_ACTIVE && !interrupted(); ++round) {
        const uint32_t left = deadline.left();
        if (left == 0)
            break;
        pump(fd, std::min<uint32_t>(left, 20), [](n_pkt *) {});
        for (n_event ev; state == FRAG_ACTIVE && n_socket_next_event(fd, &ev, sizeof ev) == 1;)
            ending.take(ev, out.dest, false);
        if (state != FRAG_ACTIVE || round % 64 == 0)
            progress.update(state == FRAG_FINISHED ? out.total : progress_of(out.dest).bytes, out.total,
                            deadline.seconds(), state != FRAG_ACTIVE);
    }
    progress.close();
    return state;
}

// Says how the sending ended (`done` bytes of `total` acknowledged after
// `seconds`); returns the exit status.
int report_sending(const CommandLine &c, int fd, int state, const std::string &to, uint64_t done, uint64_t total,
                   const Deadline &deadline, double seconds)
{
    if (state == FRAG_FINISHED) {
        const double rate = static_cast<double>(total) / (seconds > 0 ? seconds : 1e-3);
        if (c.node.json)
            std::printf("%s\n", json_event("done").str("to", to).num("bytes", total).real("rate", rate, 0).text().c_str());
        else
            std::printf("sent %s in %s to %s in %.2fs (%s/s)\n", plural(total, "byte", "bytes").c_str(),
                        plural(total == 0 ? 1 : (total + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE, "part", "parts").c_str(),
                        to.c_str(), seconds, bytes_text(static_cast<uint64_t>(rate)).c_str());
        return kExitDone;
    }
    if (interrupted()) {
        std::fprintf(stderr, "nimbet: interrupted: %llu of %s acknowledged by %s after %.2fs\n",
                     static_cast<unsigned long long>(done), plural(total, "byte", "bytes").c_str(), to.c_str(), seconds);
        return kExitInterrupted;
    }
    if (state == FRAG_ABORTED) {
        std::fprintf(stderr, "nimbet: not acknowledged: transfer to %s aborted after %llu of %s (%s)\n",
                     to.c_str(), static_cast<unsigned long long>(done), plural(total, "byte", "bytes").c_str(),
                     plural(static_cast<uint64_t>(n_socket_get_retry(fd)), "try", "tries").c_str());
        return kExitNotAcked;
    }
    const int status = deadline.passed() ? kExitTimeLimit : kExitFailure;
    std::fprintf(stderr, "nimbet: time limit: %llu of %s acknowledged by %s in %.2fs\n",
                 static_cast<unsigned long long>(done), plural(total, "byte", "bytes").c_str(), to.c_str(),
                 seconds);
    return status;
}

// The transfer recv-file takes: the first one (of --from when given) whose
// first part passes the filter.
struct Taken {
    unsigned char from[8] = {};
    bool from_given = false;
    bool accepted = false;
    double accepted_at = 0;  // the rate counts from the transfer's first part
};

Taken taken_of(const CommandLine &c)
{
    Taken taken;
    taken.from_given = !c.from.empty();
    if (taken.from_given)
        parse_id(c.from, "--from", taken.from);
    return taken;
}

// The chain a first part must pass for recv-file to take its transfer: the
// --filter chain (consumed) and, with --from, the node's identifier.
int transfer_chain(int user, const Taken &taken)
{
    if (!taken.from_given)
        return user;
    FilterGuard user_chain{user};
    const int chain = n_filter_create("nimbet recv-file --from");
    if (chain < 0 || n_filter_add(chain, FILTER_TYPE_ID, taken.from) < 0 ||
        (user > 0 && n_filter_add(chain, FILTER_TYPE_FILTER | FILTER_CONCAT_AND, n_filter_arg(user)) < 0)) {
        if (chain > 0)
            n_filter_destroy(chain);
        throw Failure(kExitFailure, "cannot make a filter: " + library_error());
    }
    user_chain.id = 0;  // joined into the new chain
    return chain;
}

// How a run of recv-file ends: its exit status, what went wrong (empty when
// done) and the bytes received.
struct Outcome {
    int status = kExitDone;
    std::string failure;
    uint64_t bytes = 0;
};

// One run of recv-file on an open socket: the sink arranged, the transfer
// to take chosen among those that begin, followed to its end, and what
// became of it.
class Reception {
public:
    Reception(const CommandLine &c, int fd, int filter_id, Output &output, Observer &observer, const Taken &taken)
        : c_(c), fd_(fd), filter_id_(filter_id), output_(output), observer_(observer), taken_(taken)
    {
    }

    const Taken &taken() const { return taken_; }

    // The parts are written to the sink as they come, so a transfer may be
    // as long as one can be.
    void start(uint16_t port) const
    {
        n_socket_set_option(fd_, SOCKET_FRAG, 1);
        n_socket_set_frag_limits(fd_, 16, UINT32_MAX);
        // The library refuses (does not acknowledge) a transfer this run
        // would not take, so no sender is told that its file arrived.
        if (filter_id_ > 0)
            n_socket_set_transfer_filter(fd_, filter_id_);
        arrange();
        if (!c_.node.json) {
            std::fprintf(stderr, "nimbet: waiting for a file on port %u as %s\n", port,
                         id_text(n_socket_get_id(fd_)).c_str());
            std::fflush(stderr);
        }
    }

    // Serves the socket until the transfer taken ends, the deadline passes
    // or Ctrl-C, showing its progress; returns its last state (-1 while
    // none is taken).
    int follow(const Deadline &deadline)
    {
        Progress progress(c_, "received", observer_);
        int state = -1;
        unsigned rounds = 0;
        for (uint32_t left = deadline.left();
             state != FRAG_FINISHED && state != FRAG_ABORTED && left != 0 && !interrupted();
             left = deadline.left()) {
            pump(fd_, std::min<uint32_t>(left, 20), [](n_pkt *) {});
            take_events(deadline);
            if (!taken_.accepted)
                continue;
            state = ending_.state;
            if (state != FRAG_ACTIVE || ++rounds % 64 == 0) {
                const Done p = progress_of(taken_.from);
                progress.update(p.bytes, p.total, deadline.seconds() - taken_.accepted_at, state != FRAG_ACTIVE);
            }
        }
        progress.close();
        return state;
    }

    // What came of the transfer, given its last state.
    Outcome outcome(int state, const Deadline &deadline)
    {
        const uint64_t bytes = taken_.accepted ? progress_of(taken_.from).bytes : 0;
        if (state == FRAG_FINISHED) {
            Outcome delivered = deliver(bytes, deadline);
            linger();
            return delivered;
        }
        if (interrupted())
            return {kExitInterrupted, "interrupted after " + plural(bytes, "byte", "bytes"), bytes};
        if (state == FRAG_ABORTED && ending_.reason.rfind("file cannot be written", 0) == 0)
            return {kExitFailure,
                    "cannot write " + output_.name() + " after " + plural(bytes, "byte", "bytes") + ": " +
                        ending_.reason,
                    bytes};
        if (state == FRAG_ABORTED)
            return {kExitFailure,
                    "the transfer from " + id_text(taken_.from) + " broke off after " +
                        plural(bytes, "byte", "bytes"),
                    bytes};
        return {kExitTimeLimit,
                taken_.accepted ? "time limit: " + plural(bytes, "byte", "bytes") + " received in " +
                                      duration_text(deadline.seconds())
                                : "time limit: no transfer arrived in " + duration_text(deadline.seconds()),
                bytes};
    }

    // Lets the transfer go, which makes the library write out the last
    // block it gathered, and remove its file or keep what it holds; says
    // what became of an unfinished one.
    void let_go(const Outcome &outcome)
    {
        if (taken_.accepted)
            drop_transfer(taken_.from);
        if (outcome.status == kExitDone)
            return;
        const std::string fate = output_.unfinished(c_.keep_partial, taken_.accepted);
        std::fprintf(stderr, "nimbet: %s%s%s\n", outcome.failure.c_str(), fate.empty() ? "" : "; ", fate.c_str());
    }

private:
    // The next transfer (of --from when given) goes to the sink.
    void arrange() const
    {
        if (n_frag_recv_file_opts(fd_, taken_.from_given ? taken_.from : nullptr, output_.sink().c_str(),
                                  c_.keep_partial ? FRAG_FILE_KEEP_PARTIAL : 0) < 0)
            throw Failure(kExitFailure, "cannot write " + output_.name() + ": " + library_error());
    }

    // Once a transfer is taken, the transfers of other nodes are refused.
    void refuse_others()
    {
        only_taken_.id = n_filter_create("nimbet recv-file: the node taken");
        if (only_taken_.id > 0 && n_filter_add(only_taken_.id, FILTER_TYPE_ID, taken_.from) > 0)
            n_socket_set_transfer_filter(fd_, only_taken_.id);
    }

    // Takes the first transfer that begins (of --from when given: the
    // library's transfer filter refused those of other nodes, and those the
    // --filter chain refuses, before they began); drops any other, and
    // without --from arranges the sink again for the next while none is
    // taken. Follows the end of the one taken.
    void take_events(const Deadline &deadline)
    {
        for (n_event ev; n_socket_next_event(fd_, &ev, sizeof ev) == 1;) {
            if (!ev.receiving)
                continue;
            const unsigned char *sender = ev.peer;
            if (ev.kind != N_EVENT_TRANSFER_STARTED) {
                if (taken_.accepted)
                    ending_.take(ev, taken_.from, true);
                continue;
            }
            if (!taken_.accepted && (!taken_.from_given || same_id(sender, taken_.from))) {
                std::memcpy(taken_.from, sender, 8);
                taken_.accepted = true;
                taken_.accepted_at = deadline.seconds();
                refuse_others();
            } else if (!taken_.accepted || !same_id(sender, taken_.from)) {
                if (c_.node.verbose > 0)
                    std::fprintf(stderr, "nimbet: not taking the transfer of %s\n", id_text(sender).c_str());
                drop_transfer(sender);
                if (!taken_.accepted && !taken_.from_given)
                    arrange();
            }
        }
    }

    // The whole file is in the sink (the library takes a transfer to a file
    // only when the file was arranged before it came): checks that it is
    // still there, writes it to standard output when asked to, and says so.
    Outcome deliver(uint64_t bytes, const Deadline &deadline)
    {
        output_.finished();
        const uint64_t len = progress_of(taken_.from).total;
        struct stat st{};
        std::string error;
        if (::stat(output_.sink().c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != len)
            error = "the received data are gone from " + output_.name();
        else if (output_.to_stdout())
            output_.copy_to_stdout(&error);
        if (!error.empty())
            return {kExitFailure, error, bytes};
        if (c_.node.json)
            std::printf("%s\n", json_event("done")
                                    .str("from", id_text(taken_.from))
                                    .num("bytes", len)
                                    .str("file", c_.args[1])
                                    .text()
                                    .c_str());
        else
            std::fprintf(output_.to_stdout() ? stderr : stdout, "received %s from %s into %s after %.2fs\n",
                         plural(len, "byte", "bytes").c_str(), id_text(taken_.from).c_str(),
                         output_.name().c_str(), deadline.seconds());
        return {kExitDone, "", len};
    }

    // Stays a moment to acknowledge the last part again should the sender
    // not have heard its acknowledgement.
    void linger() const
    {
        const Deadline moment(2 * n_socket_get_timeout(fd_) / 1000.0);
        while (!moment.passed() && !interrupted())
            pump(fd_, std::min<uint32_t>(moment.left(), 20), [](n_pkt *) {});
    }

    const CommandLine &c_;
    int fd_;
    int filter_id_;
    Output &output_;
    Observer &observer_;
    Taken taken_;
    Ending ending_;
    FilterGuard only_taken_{0};
};

}  // namespace

int cmd_send_file(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    Outgoing out = outgoing_of(c);
    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    const int fd = s.fd;
    start_sending(fd, c.args[1], out);
    const Deadline deadline(c.node.seconds > 0 ? c.node.seconds : 60);
    const int state = follow_sending(c, fd, out, deadline, observer);
    const double seconds = deadline.seconds();
    const uint64_t done = state == FRAG_FINISHED ? out.total : progress_of(out.dest).bytes;
    const std::string to = id_text(out.dest);
    const int status = report_sending(c, fd, state, to, done, out.total, deadline, seconds);
    std::fflush(stdout);
    drop_transfer(out.dest);
    return finish(c, fd, status, seconds,
                  json_event("summary")
                      .str("command", "send-file")
                      .str("to", to)
                      .num("bytes", done)
                      .num("total", out.total));
}

int cmd_recv_file(const CommandLine &c)
{
    const uint16_t port = parse_port(c.args[0]);
    if (c.args[1] == "-" && c.node.json)
        throw UsageError("--json and OUTFILE - both want standard output");
    const Taken taken = taken_of(c);
    // Refuses an OUTFILE that cannot be written before anything is received.
    Output output(c.args[1], c.no_clobber);
    FilterGuard filter{transfer_chain(build_filter(c.node), taken)};
    Observer observer(c.node.verbose, c.node.json);
    SocketGuard s{open_node(c.node, port, true)};
    Reception reception(c, s.fd, filter.id, output, observer, taken);
    reception.start(port);

    const Deadline deadline(c.node.seconds > 0 ? c.node.seconds : 60);
    const int state = reception.follow(deadline);
    const Outcome outcome = reception.outcome(state, deadline);
    reception.let_go(outcome);
    std::fflush(stdout);
    JsonObject summary = json_event("summary").str("command", "recv-file").num("bytes", outcome.bytes);
    if (reception.taken().accepted)
        summary.str("from", id_text(reception.taken().from));
    return finish(c, s.fd, outcome.status, deadline.seconds(), summary);
}

}  // namespace nimbet_tool
