// harness.h - how the benchmarks compare the library with its baselines.
//
// A contest runs in rounds.  In each round the library and its baseline do
// the same slice of the operation sequence, one after the other, the order
// alternating from round to round so that a change in the machine's load
// falls on both.  A round's ratio is library time / baseline time; the
// reported figures are medians over the rounds, so a round disturbed by other
// work on the machine does not move them.
//
// Each benchmark reports as Google Benchmark counters:
//   ns_per_op       the library, median of the rounds
//   base_ns_per_op  the baseline, median of the rounds
//   ratio           median of the rounds' ratios
//   limit           the ratio the target allows (0: no target at this size)
//   met             1 when ratio <= limit, or when there is no target
// and the program prints the same rows as a table when it ends.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vbench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// One row of the summary table.
struct Row {
    double ns_per_op = 0;
    double base_ns_per_op = 0;
    double ratio = 0;
    double limit = 0;
    bool lower_is_met = true; // met when ratio <= limit
};

inline std::map<std::string, Row> &rows()
{
    static std::map<std::string, Row> r;
    return r;
}

// The name a row is listed under: the benchmark's name and its argument.
inline std::string row_name(const char *name, const benchmark::State &state)
{
    return std::string(name) + "/" + std::to_string(state.range(0));
}

inline void report(benchmark::State &state, const std::string &name, const Row &row)
{
    state.counters["ns_per_op"] = row.ns_per_op;
    state.counters["base_ns_per_op"] = row.base_ns_per_op;
    state.counters["ratio"] = row.ratio;
    state.counters["limit"] = row.limit;
    const bool met = row.limit == 0 || (row.lower_is_met ? row.ratio <= row.limit : row.ratio >= row.limit);
    state.counters["met"] = met ? 1 : 0;
    rows()[name] = row;
}

class Contest {
  public:
    // One round: seconds each contender took for `ops` operations.
    void add(double vorel_s, double base_s, double ops)
    {
        vorel_.push_back(vorel_s / ops * 1e9);
        base_.push_back(base_s / ops * 1e9);
        ratio_.push_back(base_s > 0 ? vorel_s / base_s : 0);
    }
    std::size_t rounds() const { return vorel_.size(); }

    void report(benchmark::State &state, const std::string &name, double limit) const
    {
        Row row;
        row.ns_per_op = median(vorel_);
        row.base_ns_per_op = median(base_);
        row.ratio = median(ratio_);
        row.limit = limit;
        vbench::report(state, name, row);
    }

  private:
    std::vector<double> vorel_, base_, ratio_;
};

// Runs one round of a contest: `vorel` and `base` each return the seconds
// they took; the first to run alternates with the round number.
template <class V, class B> void round(Contest &c, std::size_t number, double ops, V &&vorel, B &&base)
{
    double v = 0;
    double b = 0;
    if (number % 2 == 0) {
        v = vorel();
        b = base();
    } else {
        b = base();
        v = vorel();
    }
    c.add(v, b, ops);
}

// The table of every benchmark's last figures, as the program ends.
inline void print_rows(const char *title)
{
    if (rows().empty())
        return;
    std::printf("\n%s\n%-34s %12s %12s %8s %8s  %s\n", title, "benchmark", "ns/op", "base ns/op", "ratio", "limit",
                "target");
    for (const auto &[name, r] : rows()) {
        const bool met = r.lower_is_met ? r.ratio <= r.limit : r.ratio >= r.limit;
        std::printf("%-34s %12.1f %12.1f %8.2f %8.2f  %s\n", name.c_str(), r.ns_per_op, r.base_ns_per_op, r.ratio,
                    r.limit,
                    r.limit == 0 ? "-"
                    : met        ? "met"
                                 : "MISSED");
    }
}

} // namespace vbench
