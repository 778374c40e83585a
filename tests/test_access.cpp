// Who can reach a switch instance, and which one the tool reaches.  The
// second user is `nobody`, taken on by a child of a test run as root
// (skipped elsewhere); the tool runs as installed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "proc.h"
#ifdef VOREL_TOOL_PATH
#include "tool_run.h"
#endif

namespace {

#ifdef VOREL_TOOL_PATH

using namespace vtest;

// Switch instances no other test program uses; no server runs for kIdle.
constexpr int kLinked = 112, kLocked = 113, kShared = 114, kSwitch = 115, kIdle = 116;

std::string key_path(int instance) { return "/tmp/.__vorelmm." + std::to_string(instance); }

// The second user's uid and gid, when this test may become it.
std::optional<std::pair<uid_t, gid_t>> second_user()
{
    const passwd *pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    return pw != nullptr ? std::optional(std::pair(pw->pw_uid, pw->pw_gid)) : std::nullopt;
}

bool become(std::pair<uid_t, gid_t> user)
{
    return setgroups(0, nullptr) == 0 && setgid(user.second) == 0 && setuid(user.first) == 0;
}

#define NEED_SECOND_USER()                                                                                             \
    const auto other = second_user();                                                                                  \
    if (!other)                                                                                                        \
    GTEST_SKIP() << "no second user: run as root where the user nobody exists"

// What a child does before the tool starts: `env` added, umask 022, and the
// second user's credentials when given.
std::function<void()> prepare(const Args &env, std::optional<std::pair<uid_t, gid_t>> as = std::nullopt)
{
    return [env, as] {
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        umask(022);
        if (as && !become(*as))
            _exit(90);
    };
}

RunResult tool(const Args &args, const Args &env = {}, std::optional<std::pair<uid_t, gid_t>> as = std::nullopt)
{
    return run_tool(args, prepare(env, as));
}

// Each command must succeed, and print what is given when something is.
void expect_steps(const std::vector<std::pair<Args, std::string>> &steps, const Args &env = {},
                  std::optional<std::pair<uid_t, gid_t>> as = std::nullopt)
{
    for (const auto &[args, want] : steps) {
        const RunResult r = tool(args, env, as);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_TRUE(want.empty() || r.out == want) << args[0] << ": " << r.out;
    }
}

TEST(Access, KeyFileInTmpGivesAnotherUserNoHoldOnTheInstance)
{
    NEED_SECOND_USER();
    // A link planted in the key file's place aims into a directory only root
    // may write: at a file there, and at a name nothing holds yet.
    const std::string dir = run_dir() + "/root-only";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string kept = dir + "/kept", absent = dir + "/absent", key = key_path(kLinked);
    std::ofstream(kept) << "precious\n";
    for (const std::string &target : {kept, absent}) {
        (void)unlink(key.c_str());
        ASSERT_EQ(
            vtest::run_in_child([&] { return become(*other) && symlink(target.c_str(), key.c_str()) == 0 ? 0 : 1; }),
            0);
        EXPECT_TRUE(ended(tool({"count", "--switch", std::to_string(kLinked)}), 4, key + " is a symbolic link"))
            << target;
        (void)unlink(key.c_str());
    }
    EXPECT_EQ(std::filesystem::file_size(kept), 9u); // "precious\n", neither truncated nor written
    EXPECT_FALSE(std::filesystem::exists(absent));

    // A lock the other user takes on the key file (open to all) holds up
    // neither readers nor writers.
    Serve server(kLocked, prepare({}));
    ASSERT_TRUE(server.ready);
    vtest::Event locked, done;
    vtest::Child holder([&] {
        struct flock whole {}; // all of it, for writing
        whole.l_type = F_WRLCK;
        const int fd = become(*other) ? open(key_path(kLocked).c_str(), O_RDWR) : -1;
        if (fd < 0 || fcntl(fd, F_OFD_SETLK, &whole) != 0)
            return 1;
        locked.post();
        return done.wait(300s) ? 0 : 2;
    });
    ASSERT_TRUE(locked.wait());
    const std::string sw = std::to_string(kLocked);
    expect_steps({{{"add", "--switch", sw, "0x010100", "0x010200"}, ""}, {{"count", "--switch", sw}, "1\n"}});
    done.post();
    EXPECT_EQ(holder.wait(), 0);
}

TEST(Access, GroupMemberReadsAndWritesTheOwnersInstance)
{
    NEED_SECOND_USER();
    if (tool({"--help"}, {}, other).status != 0)
        GTEST_SKIP() << "the second user cannot run " << VOREL_TOOL_PATH << " from where it was built";
    // The owner's runtime directory, below one the member can pass through.
    char base[] = "/tmp/vorel-access-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    ASSERT_EQ(chmod(base, 0711), 0);
    const Args env{std::string("VOREL_RUN_DIR=") + base + "/run", "VOREL_GROUP=" + std::to_string(other->second)};
    {
        Serve server(kShared, prepare(env));
        EXPECT_TRUE(server.ready);
        const std::string sw = std::to_string(kShared);
        expect_steps({{{"add", "--switch", sw, "0x010100", "0x010200"}, ""},
                      {{"count", "--switch", sw}, "1\n"},
                      {{"del", "--switch", sw, "0x010100"}, ""},
                      {{"count", "--switch", sw}, "0\n"}},
                     env, other);
    }
    std::filesystem::remove_all(base);
}

TEST(Access, ToolTakesItsSwitchInstanceFromTheEnvironmentOrEitherPlaceOfTheOption)
{
    Serve server(kSwitch, prepare({}));
    ASSERT_TRUE(server.ready);
    const std::string sw = std::to_string(kSwitch), idle = std::to_string(kIdle);
    const Args env_sw{"VOREL_SWITCH=" + sw}, env_idle{"VOREL_SWITCH=" + idle};
    const std::tuple<Args, Args, int> cases[] = {
        {env_sw, {"count"}, 0},
        {env_idle, {"--switch", sw, "count"}, 0},
        {env_idle, {"count", "-s", sw}, 0},
        {env_sw, {"--switch", idle, "count"}, 3},
        {env_sw, {"count", "--switch", idle}, 3},
    };
    for (const auto &[env, args, status] : cases)
        EXPECT_EQ(tool(args, env).status, status) << env[0] << " vorel " << args[0] << " " << args.back();
    // What the tool writes itself follows the umask (022 here), not the library's 0.
    const std::string dot = run_dir() + "/out.dot";
    ASSERT_EQ(tool({"dot", "--switch", sw, "-o", dot}).status, 0);
    EXPECT_EQ(std::filesystem::status(dot).permissions(), std::filesystem::perms(0644));

    // A runtime directory that others may change is left for a private one, gone at exit.
    const std::string open_dir = run_dir() + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777) | chmod(open_dir.c_str(), 0777), 0);
    const RunResult r = tool({"count", "--switch", idle}, {"VOREL_RUN_DIR=" + open_dir});
    const size_t at = r.err.find("/tmp/vorel-private-");
    ASSERT_NE(at, std::string::npos) << describe(r);
    EXPECT_FALSE(std::filesystem::exists(r.err.substr(at, 25))) << r.err;
}

#else

TEST(Access, NeedsTheTool) { GTEST_SKIP() << "the vorel command is not built here"; }

#endif

} // namespace
