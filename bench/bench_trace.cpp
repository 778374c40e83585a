// bench_trace.cpp - the cost of one trace record written into the switch
// instance's trace ring, against the same record written as a line to
// /dev/null (VOREL_TRACE_FILE), the way every record went before the ring.
//
// The records are the library's most frequent pair, an error's "%s():" and
// its message with a PID, at the level the library writes them.  Rounds of
// each alternate (bench/harness.h); the target is at most 1/3 of the line's
// time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "harness.h"
#include "vorel_platform.h"

namespace {

constexpr double kLimit = 1.0 / 3.0;
constexpr int kRecordsPerRound = 2000;
constexpr int kRounds = 40;

double write_records(const char *trace_file)
{
    if (trace_file != nullptr)
        setenv("VOREL_TRACE_FILE", trace_file, 1);
    else
        unsetenv("VOREL_TRACE_FILE");
    const auto start = vbench::Clock::now();
    for (int i = 0; i < kRecordsPerRound; i += 2) {
        log_debug("vorel_public", 74, &mod_VORELLIB, 1, "%s():", "con_findpidfromdb");
        log_debug("vorel_public", 74, &mod_VORELLIB, 1, "Not found pid %8x in domdb\n", 0x999999u + i);
    }
    return vbench::seconds(start, vbench::Clock::now());
}

void BM_Record(benchmark::State &state)
{
    vbench::Contest contest;
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r)
            vbench::round(
                contest, static_cast<size_t>(r), kRecordsPerRound, [] { return write_records(nullptr); },
                [] { return write_records("/dev/null"); });
        state.SetIterationTime(1);
    }
    contest.report(state, vbench::row_name("record", state), kLimit);
}

} // namespace

int main(int argc, char **argv)
{
    char run_dir[] = "/tmp/vorel-bench-XXXXXX";
    const bool own_dir = std::getenv("VOREL_RUN_DIR") == nullptr && mkdtemp(run_dir) != nullptr;
    if (own_dir)
        setenv("VOREL_RUN_DIR", run_dir, 1);
    // The ring is mapped at the first level check, as in the library.
    if (const int change = isDebugLevelChanged())
        processDebugLevelChange(change);
    benchmark::RegisterBenchmark("record", BM_Record)->Arg(1)->Iterations(5)->UseManualTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vbench::print_rows("trace record: ring against a line to /dev/null");
    unsetenv("VOREL_TRACE_FILE");
    if (own_dir) {
        (void)gshm_remove_all();
        std::filesystem::remove_all(run_dir);
    }
    return 0;
}
