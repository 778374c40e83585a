// rundir.h - where the stand-in platform keeps its per-machine state (IPC
// sockets, fabric views, lock files), and the access mode of what it creates.
#pragma once

#include <sys/types.h>

#include <string>

namespace plat {

// The runtime directory: $VOREL_RUN_DIR; when unset /tmp/vorel-g<gid> when
// VOREL_GROUP names a group, else /tmp/vorel-<uid>.  Created (with its
// parents) on first use, mode 0700, or 0770 when VOREL_GROUP names a group.
// A directory that users other than its owner, root and the group's members
// can change (or, for the default path, a symbolic link) is not used: a
// private directory is made instead, and a line on stderr says so.  The
// value is fixed by the first call in the process.
const std::string &run_dir();

// Mode for files and shared-memory objects the platform creates: 0600, or
// 0660 when env VOREL_GROUP names an existing group.
mode_t file_mode();

// The group named by VOREL_GROUP, or (gid_t)-1 when unset or unknown.
gid_t share_group();

// Gives a freshly created object the platform's mode and group, whatever the
// umask was. Returns 0 or -errno.
int apply_mode(int fd);
int apply_mode(const char *path);

} // namespace plat
