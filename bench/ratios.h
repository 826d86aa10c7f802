// SPDX-License-Identifier: MIT
// Benchmark main shared by the programs here: a private network namespace, then every result as a ratio to its baseline.
//
// Absolute times depend on the machine and its load; what a benchmark here
// reports is how each operation compares with a baseline measured in the
// same run over the same bytes (memcpy, or raw UDP over the same loopback).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/netns.h"

namespace nimbet::bench {

// subject costs `ratio` times as much as baseline, per item when both count
// items (SetItemsProcessed), else per iteration.
struct Comparison {
    std::string subject;   // benchmark function name
    std::string baseline;  // benchmark function name
    std::string text;      // what is compared, for the summary
    bool as_share = false; // print the baseline's cost as a share of the subject's ("reaches 40% of ...")
};

// Shows Google Benchmark's table as usual and keeps each benchmark's cost per
// item (seconds of real time): the mean over repetitions when there are
// several, else the single run's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            const bool mean = r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean";
            if ((r.run_type != Run::RT_Iteration && !mean) || r.error_occurred || r.iterations == 0)
                continue;
            double per_item = r.real_accumulated_time / static_cast<double>(r.iterations);
            auto items = r.counters.find("items_per_second");
            if (items != r.counters.end() && items->second.value > 0)
                per_item = 1.0 / items->second.value;
            Cost &c = costs_[r.run_name.function_name];
            if (mean)
                c = Cost{per_item, 1, true};
            else if (!c.from_mean)
                c = Cost{c.sum + per_item, c.runs + 1, false};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void summarise(const std::vector<Comparison> &comparisons) const
    {
        std::printf("\nratios (same run, same bytes):\n");
        for (const Comparison &c : comparisons) {
            auto s = costs_.find(c.subject);
            auto b = costs_.find(c.baseline);
            if (s == costs_.end() || b == costs_.end()) {
                std::printf("  %-58s  not measured\n", c.text.c_str());
                continue;
            }
            const double ratio = s->second.mean() / b->second.mean();
            if (c.as_share)
                std::printf("  %-58s  %5.1f %% of the bound\n", c.text.c_str(), 100.0 / ratio);
            else
                std::printf("  %-58s  %7.2f x\n", c.text.c_str(), ratio);
        }
    }

private:
    struct Cost {
        double sum = 0;
        int runs = 0;
        bool from_mean = false;
        double mean() const { return sum / runs; }
    };
    std::map<std::string, Cost> costs_;
};

// The main of a benchmark program: isolates the process in a network
// namespace of its own (nothing it sends can leave it), runs the benchmarks
// and prints the ratios. By default each benchmark runs three times, its
// repetitions interleaved at random with the others', so that a change in
// the machine's load does not fall on one side of a ratio only; flags given
// on the command line override these.
inline int run_with_ratios(int argc, char **argv, const std::vector<Comparison> &comparisons)
{
    nimbet::test::enter_private_netns();
    std::vector<char *> args{argv[0]};
    static char repetitions[] = "--benchmark_repetitions=3";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_display_aggregates_only=true";
    args.insert(args.end(), {repetitions, interleave, aggregates});
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    argc = count;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.summarise(comparisons);
    benchmark::Shutdown();
    return 0;
}

}  // namespace nimbet::bench
