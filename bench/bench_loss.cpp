// SPDX-License-Identifier: MIT
// The "under loss" table of scripts/bench: transfers through the seeded fault relay with a LAN's round trip, adaptive resends on and off, one part at a time and windowed.
//
// Each run is a child process in a private network namespace of its own:
// two library nodes and the relay between them, half a millisecond of delay
// each way, a given loss each way, the default retry settings (10 x 163
// ms), one part at a time or with a window on both nodes. A run reports its time, the data frames the sender put on the wire and
// whether the receiver holds exactly what was sent. Times are printed, never
// checked: this is not a test.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nimbet/nimbet.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/relay.h"

using namespace nimbet::test;

namespace {

const NodeId kA = node_id(1);
const NodeId kB = node_id(2);

struct Run {
    double seconds = 0;
    long frames = 0;
    bool identical = false;
};

// One transfer of `size` bytes at `loss` each way, in this (child) process.
Run run_one(double loss, bool adaptive, int window, std::size_t size, uint32_t seed)
{
    enter_private_netns();
    const int a = relay_node(kA, true, 10, 163);
    const int b = relay_node(kB, false, 10, 163);
    n_socket_set_adaptive_retry(a, adaptive ? 1 : 0);
    n_socket_set_transfer_window(a, window);
    n_socket_set_transfer_window(b, window);
    const Faults lan{.drop = loss, .delay_us = 500};
    FaultRelay relay(lan, lan, seed, {}, 3600000);
    const auto start = std::chrono::steady_clock::now();
    const TransferRun r = run_transfer(a, b, kA, kB, random_bytes(size, seed), relay, 3000000);
    Run out;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.frames = r.data_frames;
    out.identical = std::string(r.verdict()) == "identical";
    return out;
}

// Runs `argv` and waits for it: its exit status, or -1.
int run_program(const std::vector<std::string> &argv)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The tool's send-file to its recv-file through the relay, in this (child)
// process: each node a program of its own, bound to its side of the relay
// (--bind) and sending only to it (--dest). The sender's time, and whether
// the file arrived whole.
Run run_tool(const std::string &tool, double loss, int window, std::size_t size, uint32_t seed)
{
    enter_private_netns();
    const Faults lan{.drop = loss, .delay_us = 500};
    FaultRelay relay(lan, lan, seed, {}, 3600000);
    char dir[] = "/tmp/nimbet-relay-XXXXXX";
    Run out;
    if (mkdtemp(dir) == nullptr)
        return out;
    const std::string in = std::string(dir) + "/in.bin", got = std::string(dir) + "/out.bin";
    const Bytes data = random_bytes(size, seed);
    std::FILE *file = std::fopen(in.c_str(), "wb");
    if (file == nullptr || std::fwrite(data.data(), 1, data.size(), file) != data.size() || std::fclose(file) != 0)
        return out;
    const std::string port = std::to_string(FaultRelay::kPort), w = std::to_string(window);
    const pid_t receiver = fork();
    if (receiver == 0) {
        _exit(run_program({tool, "recv-file", port, got, "--id", "0.0.0.2", "--bind", "127.0.0.3", "--dest",
                           "127.0.0.4", "--window", w, "--seconds", "300", "--no-progress"}));
    }
    usleep(300000);  // the receiver binds its port
    const auto start = std::chrono::steady_clock::now();
    const int sent = run_program({tool, "send-file", port, in, "--to", "1.1.1.1.0.0.0.2", "--id", "0.0.0.1",
                                  "--bind", "127.0.0.1", "--dest", "127.0.0.2", "--window", w, "--seconds", "300",
                                  "--no-progress"});
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    waitpid(receiver, &status, 0);
    out.frames = relay.data_frames();
    std::FILE *back = std::fopen(got.c_str(), "rb");
    Bytes copy(size + 1);
    const std::size_t n = back != nullptr ? std::fread(copy.data(), 1, copy.size(), back) : 0;
    if (back != nullptr)
        std::fclose(back);
    copy.resize(n);
    out.identical = sent == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && copy == data;
    std::remove(in.c_str());
    std::remove(got.c_str());
    rmdir(dir);
    return out;
}

// One run in a child of its own, its figures read back as text.
Child spawn_run(double loss, bool adaptive, int window, std::size_t size, uint32_t seed)
{
    return spawn([=] {
        const Run r = run_one(loss, adaptive, window, size, seed);
        return std::to_string(r.seconds) + " " + std::to_string(r.frames) + " " + (r.identical ? "1" : "0");
    });
}

Child spawn_tool(const std::string &tool, double loss, int window, std::size_t size, uint32_t seed)
{
    return spawn([=] {
        const Run r = run_tool(tool, loss, window, size, seed);
        return std::to_string(r.seconds) + " " + std::to_string(r.frames) + " " + (r.identical ? "1" : "0");
    });
}

Run collect_run(const Child &c)
{
    Run r;
    int same = 0;
    if (std::sscanf(collect(c).c_str(), "%lf %ld %d", &r.seconds, &r.frames, &same) == 3)
        r.identical = same != 0;
    return r;
}

struct Row {
    double loss;
    std::vector<Run> adaptive, plain, windowed;
};

double median_seconds(std::vector<Run> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Run &x, const Run &y) { return x.seconds < y.seconds; });
    return runs.empty() ? 0 : runs[runs.size() / 2].seconds;
}

long median_frames(std::vector<Run> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Run &x, const Run &y) { return x.frames < y.frames; });
    return runs.empty() ? 0 : runs[runs.size() / 2].frames;
}

int identical(const std::vector<Run> &runs)
{
    return static_cast<int>(std::count_if(runs.begin(), runs.end(), [](const Run &r) { return r.identical; }));
}

}  // namespace

// Options: --size BYTES (1 MiB), --seeds N (3), --plain 0 (leave out the
// plain rule, whose lossy rows take minutes: each loss costs 163 ms),
// --window N (128: the windowed runs' setting on both nodes),
// --one-at-a-time 0 (leave out the adaptive runs of one part at a time,
// which take half a minute each: the windowed runs only), --tool PATH (also
// the nimbet tool's send-file to its recv-file through the relay, one part
// at a time and with the window, at 0 and 5 % loss).
int main(int argc, char **argv)
{
    std::size_t size = 1 << 20;
    int seeds = 3;
    bool plain = true;
    int window = 128;
    bool one_at_a_time = true;
    std::string tool;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--size")
            size = static_cast<std::size_t>(std::atol(argv[i + 1]));
        else if (k == "--seeds")
            seeds = std::max(1, std::atoi(argv[i + 1]));
        else if (k == "--plain")
            plain = std::atoi(argv[i + 1]) != 0;
        else if (k == "--window")
            window = std::atoi(argv[i + 1]);
        else if (k == "--one-at-a-time")
            one_at_a_time = std::atoi(argv[i + 1]) != 0;
        else if (k == "--tool")
            tool = argv[i + 1];
    }
    const double parts = static_cast<double>((size + FRAG_PART_SIZE - 1) / FRAG_PART_SIZE);
    std::vector<Row> rows;
    for (double loss : {0.0, 0.01, 0.05, 0.10}) {
        Row row{loss, {}, {}, {}};
        // Adaptive runs one at a time (their pace is the round trip); the
        // plain ones, which mostly wait out timeouts, side by side.
        for (int s = 0; s < seeds; ++s) {
            if (one_at_a_time)
                row.adaptive.push_back(collect_run(spawn_run(loss, true, 1, size, static_cast<uint32_t>(100 + s))));
            row.windowed.push_back(collect_run(spawn_run(loss, true, window, size, static_cast<uint32_t>(100 + s))));
        }
        rows.push_back(row);
    }
    if (plain) {
        std::vector<Child> running;
        for (const Row &row : rows)
            for (int s = 0; s < seeds; ++s)
                running.push_back(spawn_run(row.loss, false, 1, size, static_cast<uint32_t>(100 + s)));
        std::size_t i = 0;
        for (Row &row : rows)
            for (int s = 0; s < seeds; ++s)
                row.plain.push_back(collect_run(running[i++]));
    }

    std::printf("%zu bytes (%.0f parts) through the relay, 1 ms round trip, retry 10 x 163 ms, medians of %d seeds\n",
                size, parts, seeds);
    std::printf("%-10s | %9s %8s %7s %10s | %9s %8s %7s %10s | %11s | %9s %8s %7s %10s %8s\n", "loss each", "adaptive",
                "x clean", "frames", "identical", "plain", "x clean", "frames", "identical", "ideal frames", "window",
                "x s&w", "frames", "identical", "x ideal");
    const double clean_adaptive = median_seconds(rows[0].adaptive);
    const double clean_plain = plain ? median_seconds(rows[0].plain) : 0;
    for (const Row &row : rows) {
        // A sender that resends each lost part or acknowledgement once, at
        // once: parts / (1 - loss)^2 frames.
        const double ideal = parts / ((1 - row.loss) * (1 - row.loss));
        char plain_cols[80] = "";
        if (plain)
            std::snprintf(plain_cols, sizeof plain_cols, "%8.2fs %7.2fx %7ld %6d of %d", median_seconds(row.plain),
                          median_seconds(row.plain) / clean_plain, median_frames(row.plain), identical(row.plain),
                          seeds);
        // The window beside one part at a time (adaptive), and its frames
        // beside a sender that resends exactly the lost parts.
        const double windowed = median_seconds(row.windowed);
        std::printf("%8.0f %% | %8.2fs %7.2fx %7ld %6d of %d | %-38s | %11.0f | %8.2fs %7.1fx %7ld %6d of %d %7.2fx\n",
                    row.loss * 100, median_seconds(row.adaptive), median_seconds(row.adaptive) / clean_adaptive,
                    median_frames(row.adaptive), identical(row.adaptive), seeds, plain_cols, ideal, windowed,
                    windowed > 0 ? median_seconds(row.adaptive) / windowed : 0, median_frames(row.windowed),
                    identical(row.windowed), seeds,
                    static_cast<double>(median_frames(row.windowed)) / (parts / (1 - row.loss)));
    }
    if (!tool.empty()) {
        std::printf("\nthe tool: nimbet send-file to nimbet recv-file through the relay, %zu bytes, one seed\n", size);
        std::printf("%-10s | %12s %10s | %12s %10s | %7s\n", "loss each", "one at a time", "identical", "window 64",
                    "identical", "x s&w");
        for (double loss : {0.0, 0.05}) {
            const Run one = collect_run(spawn_tool(tool, loss, 1, size, 100));
            const Run windowed = collect_run(spawn_tool(tool, loss, 64, size, 100));
            std::printf("%8.0f %% | %11.2fs %10s | %11.2fs %10s | %6.1fx\n", loss * 100, one.seconds,
                        one.identical ? "yes" : "NO", windowed.seconds, windowed.identical ? "yes" : "NO",
                        windowed.seconds > 0 ? one.seconds / windowed.seconds : 0);
        }
    }
    return 0;
}
