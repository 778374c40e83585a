// rundir.cpp - the runtime directory and the access mode of created objects.
#include "rundir.h"

#include "immortal.h"
#include "vorel_platform.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace plat {

namespace {

gid_t lookup_group()
{
    const char *name = std::getenv("VOREL_GROUP");
    if (name == nullptr || *name == '\0')
        return static_cast<gid_t>(-1);
    long len = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(len > 0 ? static_cast<size_t>(len) : 4096);
    group grp{};
    group *found = nullptr;
    while (getgrnam_r(name, &grp, buf.data(), buf.size(), &found) == ERANGE)
        buf.resize(buf.size() * 2);
    if (found == nullptr) {
        // A numeric group id is accepted as well.
        char *end = nullptr;
        const unsigned long id = std::strtoul(name, &end, 10);
        return end != name && *end == '\0' ? static_cast<gid_t>(id) : static_cast<gid_t>(-1);
    }
    return found->gr_gid;
}

// mkdir -p; the last component gets `mode`, parents the default mode.
void make_dirs(const std::string &path, mode_t mode)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        (void)mkdir(path.substr(0, pos).c_str(), 0755);
    if (mkdir(path.c_str(), mode) == 0) {
        (void)chmod(path.c_str(), mode); // the umask may have cut bits
        const gid_t gid = share_group();
        if (gid != static_cast<gid_t>(-1))
            (void)chown(path.c_str(), static_cast<uid_t>(-1), gid);
    }
}

// True when no one but the owner, root, and the sharing group's members can
// change what `dir` holds: a directory whose owner is one of them, and which
// others cannot write.  `follow` says whether a symbolic link to such a
// directory will do (a directory named by the user) or not (the default
// path in /tmp, where any user may plant a link).
bool trusted(const std::string &dir, bool follow)
{
    struct stat st {};
    if ((follow ? stat(dir.c_str(), &st) : lstat(dir.c_str(), &st)) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & S_IWOTH) != 0)
        return false;
    const gid_t gid = share_group();
    return st.st_uid == geteuid() || st.st_uid == 0 || (gid != static_cast<gid_t>(-1) && st.st_gid == gid);
}

// The default directory: one per user, or one per sharing group, so that the
// owner of an instance and the group's members meet without naming one.
std::string default_dir()
{
    char dir[40];
    const gid_t gid = share_group();
    if (gid != static_cast<gid_t>(-1))
        std::snprintf(dir, sizeof dir, "/tmp/vorel-g%u", static_cast<unsigned>(gid));
    else
        std::snprintf(dir, sizeof dir, "/tmp/vorel-%u", static_cast<unsigned>(getuid()));
    return dir;
}

// A private directory goes when the process that made it exits (not its
// forked children), with the shared-memory objects named after it: nobody
// else can find them.
pid_t g_private_owner = 0;

void remove_private_dir()
{
    if (getpid() != g_private_owner)
        return;
    (void)gshm_remove_all();
    std::error_code ec;
    std::filesystem::remove_all(run_dir(), ec);
}

std::string compute_run_dir()
{
    const char *env = std::getenv("VOREL_RUN_DIR");
    const bool named = env != nullptr && *env != '\0';
    std::string dir = named ? env : default_dir();
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    make_dirs(dir, share_group() != static_cast<gid_t>(-1) ? 0770 : 0700);
    if (trusted(dir, named))
        return dir;
    // Someone else controls the directory (it could swap the sockets and lock
    // files the platform keeps there): work in a private one instead, which
    // no other process finds.
    char own[] = "/tmp/vorel-private-XXXXXX";
    const bool made = mkdtemp(own) != nullptr;
    if (made) {
        g_private_owner = getpid();
        (void)std::atexit(remove_private_dir);
    }
    std::fprintf(stderr, "vorel platform: other users can change the runtime directory %s; %s %s\n", dir.c_str(),
                 made ? "working in the private directory" : "cannot make a private directory like", own);
    return own;
}

} // namespace

gid_t share_group()
{
    static const gid_t gid = lookup_group();
    return gid;
}

mode_t file_mode() { return share_group() != static_cast<gid_t>(-1) ? 0660 : 0600; }

namespace {
struct RunDir {
    std::string path = compute_run_dir();
};
} // namespace

// Never destroyed: exit handlers (removing a private runtime directory's
// objects, say) still name the objects after the static destructors ran.
const std::string &run_dir() { return immortal<RunDir>().path; }

int apply_mode(int fd)
{
    const gid_t gid = share_group();
    if (gid != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), gid) != 0)
        return -errno;
    return fchmod(fd, file_mode()) == 0 ? 0 : -errno;
}

int apply_mode(const char *path)
{
    const gid_t gid = share_group();
    if (gid != static_cast<gid_t>(-1) && chown(path, static_cast<uid_t>(-1), gid) != 0)
        return -errno;
    return chmod(path, file_mode()) == 0 ? 0 : -errno;
}

} // namespace plat
