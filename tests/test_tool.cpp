// The built `vorel` command's refusals: each bad command line ends with its
// documented exit code and says why on standard error.
#include <gtest/gtest.h>

#if defined(VOREL_TOOL_PATH)

#include "spawn.h"

TEST(ToolCommandLine, RefusalsEndWithTheDocumentedExitCodes)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err; // must appear on stderr
    } cases[] = {
        {{}, 1, ""},
        {{"frobnicate"}, 1, ""},
        {{"show"}, 1, "pid"},
        {{"show", "0x000100"}, 2, "domain 0"},
        {{"show", "0x1000000"}, 2, "wider than 24 bits"},
        {{"count", "--switch", "128"}, 2, "outside 0..127"},
        {{"deldom", "256", "--switch", "77"}, 2, "outside 1..255"},
        {{"load", "/nonexistent/f.json", "--switch", "77"}, 2, "/nonexistent/f.json"},
        {{"count", "--switch", "77"}, 3, "no server is running"},
        {{"sync", "--switch", "77"}, 3, "no server is running"},
        {{"--help"}, 0, ""},
    };
    for (const auto &c : cases) {
        const vorel::tool::RunResult r = vorel::tool::run_to_end(VOREL_TOOL_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args[0]) << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

#else

TEST(ToolCommandLine, NeedsTheBuiltCommand)
{
    GTEST_SKIP() << "the vorel command is not built, or this is a cross build";
}

#endif
