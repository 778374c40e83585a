// What the stand-in platform leaves on the machine is the owner's alone (or
// the owner's and one named group's), whatever the umask; the key file stays
// as the library makes it; and a running server refuses malformed requests
// without harm to itself or to its registry.
//
// Every platform call runs in a forked child: the platform fixes its runtime
// directory and group at its first use in a process, and each check needs
// its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "proc.h"
#include "raw_ipc.h"
#include "vorel.h"

namespace {

constexpr int kInstance = 120; // no other test program uses it
constexpr ipc_timeout_t kTimeout{10, 0};

using vtest::RawConn;
using vtest::request_header;
using vtest::WireHeader;

// The directory main() gave this program; each check uses a directory below it.
std::string test_dir(const char *name) { return std::string(std::getenv("VOREL_RUN_DIR")) + "/" + name; }

// Reports a failed expectation of a child and gives the child's result.
int child_fail(int code, const std::string &what)
{
    std::fprintf(stderr, "child check %d failed: %s\n", code, what.c_str());
    return code;
}

#define CHILD_EXPECT(cond, code, what)                                                                                 \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            return child_fail(code, what);                                                                             \
    } while (0)

std::string octal(mode_t m)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(m & 07777));
    return buf;
}

std::set<std::string> dev_shm_names()
{
    std::set<std::string> out;
    if (DIR *d = opendir("/dev/shm")) {
        while (const dirent *e = readdir(d))
            out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

// What a created object must look like: its mode, and its group when one
// is named.
struct Access {
    mode_t dir_mode;
    mode_t file_mode;
    gid_t gid; // (gid_t)-1: any
};

int check_object(const std::string &path, mode_t want_mode, gid_t gid, int code)
{
    struct stat st {};
    CHILD_EXPECT(lstat(path.c_str(), &st) == 0, code, path + " is missing");
    CHILD_EXPECT((st.st_mode & 07777) == want_mode, code + 1,
                 path + " has mode " + octal(st.st_mode) + ", not " + octal(want_mode));
    CHILD_EXPECT(gid == static_cast<gid_t>(-1) || st.st_gid == gid, code + 2,
                 path + " belongs to group " + std::to_string(st.st_gid));
    CHILD_EXPECT(st.st_uid == geteuid(), code + 3, path + " belongs to another user");
    return 0;
}

// In a child: starts the library as a server does (key file, segment, the
// server's IPC service, a fabric view, a trace file) under a umask that would
// give away nothing, and then checks the access of everything that appeared.
int create_and_check(const std::string &run_dir, const std::string &group, const Access &want)
{
    setenv("VOREL_RUN_DIR", run_dir.c_str(), 1);
    if (group.empty())
        unsetenv("VOREL_GROUP");
    else
        setenv("VOREL_GROUP", group.c_str(), 1);
    setMySwitch(kInstance);
    umask(0077);

    // The key file: made afresh by the library, with mode 0666 under its own umask 0.
    const std::string key_path = "/tmp/.__vorelmm." + std::to_string(kInstance);
    (void)unlink(key_path.c_str());
    CHILD_EXPECT(vorellibInit() == 0, 1, "vorellibInit");
    if (const int rc = check_object(key_path, 0666, static_cast<gid_t>(-1), 2))
        return rc;

    // Everything below is made after the library has set the umask to 0.
    const std::set<std::string> shm_before = dev_shm_names();
    VorelPartCtx *ctx = part_vorel_glbl_array[kInstance];
    (void)gshm_remove(ctx->shm_key);
    CHILD_EXPECT(initVorelSrvr() == 0, 10, "initVorelSrvr");
    const int service = ipcRegisterService(VOREL_SERVER_SVC_NAME, ns_vorel_callback);
    CHILD_EXPECT(service > 0, 11, "ipcRegisterService");
    const uint8_t domains[] = {1, 2};
    CHILD_EXPECT(fabricSetView(kInstance, 1, domains, 2) == 0, 12, "fabricSetView");
    const std::string trace = run_dir + "/trace.log";
    setenv("VOREL_TRACE_FILE", trace.c_str(), 1);
    log_set_level(1);
    log_debug("test_security", __LINE__, &mod_VORELLIB, 1, "a record that makes the trace file\n");

    if (const int rc = check_object(run_dir, want.dir_mode, want.gid, 20))
        return rc;
    struct stat st {};
    CHILD_EXPECT(stat(run_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode), 24, "runtime directory");
    // What the platform made there: the service's socket and the lock of
    // its name, the fabric view, the trace; and whatever else a listing
    // shows (under qemu-user a listing of a 64-bit host directory may come
    // back empty, so the known objects do not depend on it).
    const std::string socket_name = "ipc." + std::to_string(kInstance) + "." + VOREL_SERVER_SVC_NAME;
    std::set<std::string> names{socket_name, socket_name + ".lock", "fabric." + std::to_string(kInstance), "trace.log"};
    if (DIR *d = opendir(run_dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        closedir(d);
    }
    for (const std::string &name : names)
        if (const int rc = check_object(run_dir + "/" + name, want.file_mode, want.gid, 30))
            return rc;

    // The segment's object, named after the instance's key (other test
    // programs may make objects of their own meanwhile).
    char key_suffix[16];
    std::snprintf(key_suffix, sizeof key_suffix, ".%08x", static_cast<unsigned>(ctx->shm_key));
    size_t segments = 0;
    for (const std::string &name : dev_shm_names()) {
        const bool ours = name.rfind("vorel.", 0) == 0 && name.size() > std::strlen(key_suffix) &&
                          name.compare(name.size() - std::strlen(key_suffix), std::string::npos, key_suffix) == 0;
        if (shm_before.count(name) != 0 || !ours)
            continue;
        if (const int rc = check_object("/dev/shm/" + name, want.file_mode, want.gid, 40))
            return rc;
        ++segments;
    }
    CHILD_EXPECT(segments >= 1, 45, "no shared-memory object appeared in /dev/shm");

    CHILD_EXPECT(ipcUnregisterService(service) == 0, 50, "ipcUnregisterService");
    const key_t key = ctx->shm_key;
    (void)vorellibUnInit();
    (void)gshm_remove(key);
    (void)fabricClearView(kInstance);
    return 0;
}

// A group other than the process's own when there is one it may give files
// to (any group for root, a supplementary group otherwise), so that the
// group of what is created shows the platform's doing.
gid_t pick_group()
{
    const gid_t own = getegid();
    if (geteuid() == 0) {
        setgrent();
        gid_t found = own;
        while (const group *g = getgrent()) {
            if (g->gr_gid != own) {
                found = g->gr_gid;
                break;
            }
        }
        endgrent();
        return found;
    }
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[i] != own)
            return groups[i];
    return own;
}

TEST(Security, WhatThePlatformCreatesIsTheOwnersAlone)
{
    EXPECT_EQ(vtest::run_in_child([] {
                  return create_and_check(test_dir("private"), "", Access{0700, 0600, static_cast<gid_t>(-1)});
              }),
              0);
}

TEST(Security, NamedGroupSharesWhatThePlatformCreates)
{
    const gid_t gid = pick_group();
    // By name where the group database knows the group, as an administrator
    // would write it; the platform also takes the number.
    const group *g = getgrgid(gid);
    const std::string name = g != nullptr ? g->gr_name : std::to_string(gid);
    EXPECT_EQ(vtest::run_in_child([&] {
                  return create_and_check(test_dir("shared"), name, Access{0770, 0660, gid});
              }),
              0)
        << "VOREL_GROUP=" << name;
}

// ---- malformed requests to a running server ---------------------------------------------

IPCAddr server_addr()
{
    IPCAddr a{};
    a.node = static_cast<uint16_t>(myNode());
    a.svc = VOREL_IPC_SVC;
    std::strncpy(a.name, VOREL_SERVER_SVC_NAME, sizeof a.name - 1);
    return a;
}

// A register request as a client sends it; the server's 4-byte answer, or
// the IPC failure.
struct Answer {
    int rc = 0;
    uint32_t len = 0;
    int32_t value = 0;
};

Answer ask_register(uint32_t client_type)
{
    const IPCAddr to = server_addr();
    Answer a;
    a.len = sizeof a.value;
    a.rc = ipcSendRcv(&to, IPC_REQ_REGISTER, &client_type, sizeof client_type, &a.value, &a.len, &kTimeout);
    return a;
}

constexpr uint32_t kGoodType = 5;
constexpr uint32_t kLaterType = 6;
constexpr uint32_t kStrayType = 0x7777;

// In the client child: every kind of malformed request, each followed by a
// well-formed one that must be answered as before.
int send_malformed(const std::string &socket_path)
{
    // The server has no segment: a registration answers "not attached".
    const auto answered = [](int code) -> int {
        const Answer a = ask_register(kGoodType);
        CHILD_EXPECT(a.rc == 0, code, "no answer (" + std::to_string(a.rc) + ")");
        CHILD_EXPECT(a.len == 4 && a.value == VOREL_E_NOTATTACHED, code + 1,
                     "answer of " + std::to_string(a.len) + " bytes, " + std::to_string(a.value));
        return 0;
    };
    if (const int rc = answered(1))
        return rc;

    const auto dropped = [&](int code, auto &&send_bad) -> int {
        RawConn c(socket_path);
        CHILD_EXPECT(c.connected(), code, "cannot connect");
        send_bad(c);
        CHILD_EXPECT(c.closed_by_peer(), code + 1, "connection kept");
        return answered(code + 2);
    };
    int rc = dropped(10, [](RawConn &c) {
        const WireHeader h = request_header(VOREL_SERVER_SVC_NAME, IPC_REQ_REGISTER, vtest::kIpcMaxBody + 1, 1);
        c.put(&h, sizeof h);
    });
    rc = rc ? rc : dropped(20, [](RawConn &c) {
        // A frame cut short: the body announced, a part of it sent, the end.
        const WireHeader h = request_header(VOREL_SERVER_SVC_NAME, IPC_REQ_REGISTER, 100, 2);
        const uint32_t part[2] = {kLaterType, 0};
        c.put(&h, sizeof h);
        c.put(part, sizeof part);
        c.end_writes();
    });
    rc = rc ? rc : dropped(30, [](RawConn &c) {
        // A well-formed register request for a service that does not own the socket.
        const WireHeader h = request_header(VOREL_CLIENT_SVC_NAME, IPC_REQ_REGISTER, 4, 3);
        c.put(&h, sizeof h);
        c.put(&kLaterType, sizeof kLaterType);
    });
    if (rc)
        return rc;

    // Register and unregister requests that do not carry a whole client
    // type: answered with 4 bytes, and no client type is made up for them.
    // Each follows, on its connection, a request that names a type nobody
    // registers, so that what lies beyond a short request is likely to be
    // that type.
    for (const uint32_t body_len : {0u, 2u}) {
        for (const uint32_t code : {IPC_REQ_REGISTER, IPC_REQ_UNREGISTER}) {
            const int base = 40 + static_cast<int>(body_len) * 5 + (code == IPC_REQ_REGISTER ? 0 : 20);
            RawConn c(socket_path);
            CHILD_EXPECT(c.connected(), base, "cannot connect");
            const WireHeader stray = request_header(VOREL_SERVER_SVC_NAME, IPC_REQ_UNREGISTER, 4, 1);
            const WireHeader h = request_header(VOREL_SERVER_SVC_NAME, code, body_len, 2);
            const uint8_t body[2] = {0x77, 0x77};
            CHILD_EXPECT(c.put(&stray, sizeof stray) && c.put(&kStrayType, sizeof kStrayType) && c.put(&h, sizeof h) &&
                             (body_len == 0 || c.put(body, body_len)),
                         base + 1, "send");
            for (const uint32_t seq : {stray.seq, h.seq}) {
                WireHeader reply{};
                int32_t value = 0;
                CHILD_EXPECT(c.get(&reply, sizeof reply) && c.get(&value, sizeof value), base + 2, "no reply");
                CHILD_EXPECT(reply.kind == 3 && reply.seq == seq && reply.length == 4, base + 3,
                             "reply of " + std::to_string(reply.length) + " bytes");
            }
            if (const int r = answered(base + 5))
                return r;
        }
    }

    const Answer later = ask_register(kLaterType);
    CHILD_EXPECT(later.rc == 0 && later.len == 4, 90, "last registration");
    return 0;
}

TEST(Security, MalformedRequestsLeaveTheServerAndItsRegistryIntact)
{
    const std::string run_dir = test_dir("server");
    vtest::Event ready, done;
    vtest::Child server([&] {
        setenv("VOREL_RUN_DIR", run_dir.c_str(), 1);
        setMySwitch(kInstance);
        log_set_level(0); // the refusals are expected
        CHILD_EXPECT(vorellibInit() == 0, 1, "vorellibInit");
        const int service = ipcRegisterService(VOREL_SERVER_SVC_NAME, ns_vorel_callback);
        ready.post(service > 0 ? 0u : 1u);
        CHILD_EXPECT(service > 0, 2, "ipcRegisterService");
        CHILD_EXPECT(done.wait(), 3, "the client did not finish");
        CHILD_EXPECT(ipcUnregisterService(service) == 0, 4, "ipcUnregisterService");
        // Only the well-formed registrations are in the registry, in order.
        const VorelPartCtx *ctx = part_vorel_glbl_array[kInstance];
        const std::vector<uint32_t> registry(ctx->registeredClients, ctx->registeredClients + ctx->num_clients);
        std::string listed;
        for (const uint32_t t : registry)
            listed.append(" ").append(std::to_string(t));
        CHILD_EXPECT((registry == std::vector<uint32_t>{kGoodType, kLaterType}), 5, "registry:" + listed);
        (void)vorellibUnInit();
        return 0;
    });
    uint32_t started = 1;
    ASSERT_TRUE(ready.wait(vtest::kDefaultTimeout, &started));
    ASSERT_EQ(started, 0u);

    const int client = vtest::run_in_child([&] {
        setenv("VOREL_RUN_DIR", run_dir.c_str(), 1);
        setMySwitch(kInstance);
        const std::string path = run_dir + "/ipc." + std::to_string(kInstance) + "." + VOREL_SERVER_SVC_NAME;
        return send_malformed(path);
    });
    done.post();
    EXPECT_EQ(client, 0);
    EXPECT_EQ(server.wait(), 0);
}

} // namespace
