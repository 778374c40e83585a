// rundir.cpp - the runtime directory and the access mode of created objects.
#include "rundir.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

std::string compute_run_dir()
{
    const char *env = std::getenv("VOREL_RUN_DIR");
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "/tmp/vorel-%u", static_cast<unsigned>(getuid()));
    std::string dir = env != nullptr && *env != '\0' ? env : fallback;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    make_dirs(dir, share_group() != static_cast<gid_t>(-1) ? 0770 : 0700);
    return dir;
}

} // namespace

gid_t share_group()
{
    static const gid_t gid = lookup_group();
    return gid;
}

mode_t file_mode() { return share_group() != static_cast<gid_t>(-1) ? 0660 : 0600; }

const std::string &run_dir()
{
    static const std::string dir = compute_run_dir();
    return dir;
}

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
