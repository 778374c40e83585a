// tool_run.h - the built `vorel` command (VOREL_TOOL_PATH) for the tests that
// run it: one command to its end, and a `vorel serve` for the length of a scope.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "spawn.h"

namespace vtest {
using namespace std::chrono_literals;
using vorel::tool::RunResult;
using Args = std::vector<std::string>;

inline std::string run_dir() { return std::getenv("VOREL_RUN_DIR"); }

// The command to its end; `prepare` runs in the child first; 60 s guard against a hang.
inline RunResult run_tool(const Args &args, const std::function<void()> &prepare = {})
{
    return vorel::tool::run_to_end(VOREL_TOOL_PATH, args, 60s, prepare);
}

inline std::string describe(const RunResult &r)
{
    return "exit " + std::to_string(r.status) + "\n--- stdout\n" + r.out.substr(0, 2000) + "--- stderr\n" + r.err;
}

// The command ended with `status`, saying `err` on its standard error.
inline ::testing::AssertionResult ended(const RunResult &r, int status, const std::string &err = "")
{
    if (r.status == status && r.err.find(err) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want exit " << status << " and \"" << err << "\", got " << describe(r);
}

// `vorel serve` of one instance, stopped with SIGTERM at the end of the scope.
struct Serve {
    explicit Serve(int instance, const std::function<void()> &prepare = {})
        : proc(VOREL_TOOL_PATH, {"serve", "--switch", std::to_string(instance)},
               run_dir() + "/serve-" + std::to_string(instance) + ".log", prepare),
          ready(proc.out().next(60s).value_or("").find("server ready") != std::string::npos)
    {
    }
    ~Serve() { proc.signal(SIGTERM), (void)proc.wait(20s); }
    vorel::tool::Spawned proc;
    const bool ready;
};

} // namespace vtest
