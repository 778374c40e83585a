// fabric.cpp - the fabric as the switch instances see it: the instance
// records and the chassis memory map (fixed data, valid without any start-up
// work), and each instance's view of the fabric (its own domain and the
// domain list), kept in a file of the runtime directory so that every process
// of the machine reads the same view.
//
// A view is replaced whole: the writer fills a private file and renames it
// over the view, so a reader sees the old view or the new one, never a mix.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fail.h"
#include "rundir.h"
#include "vorel_platform.h"

namespace {

constexpr uint32_t kMaxDomains = 239;

// One record of the chassis memory map; only the maximum number of domains
// is filled in.
struct ChassisRecord {
    unsigned char head[CHASSIS_MMAP_MAX_DOMAINS_OFFSET];
    uint32_t max_domains;
    unsigned char tail[CHASSIS_MMAP_RECORD_SIZE - CHASSIS_MMAP_MAX_DOMAINS_OFFSET - sizeof(uint32_t)];
};
static_assert(sizeof(ChassisRecord) == CHASSIS_MMAP_RECORD_SIZE);
static_assert(offsetof(ChassisRecord, max_domains) == CHASSIS_MMAP_MAX_DOMAINS_OFFSET);

constexpr std::array<ChassisRecord, FCSW_MAX_INSTANCES> make_chassis_map()
{
    std::array<ChassisRecord, FCSW_MAX_INSTANCES> map{};
    for (ChassisRecord &r : map)
        r.max_domains = kMaxDomains;
    return map;
}

constinit const std::array<ChassisRecord, FCSW_MAX_INSTANCES> g_chassis_map = make_chassis_map();

constexpr std::array<fcsw_instance_t, FCSW_MAX_INSTANCES> make_instances()
{
    std::array<fcsw_instance_t, FCSW_MAX_INSTANCES> records{};
    for (uintptr_t i = 0; i < FCSW_MAX_INSTANCES; ++i)
        records[i] = fcsw_instance_t{i, 0, const_cast<ChassisRecord *>(g_chassis_map.data())};
    return records;
}

constinit std::array<fcsw_instance_t, FCSW_MAX_INSTANCES> g_instances = make_instances();

// ---- views ---------------------------------------------------------------------

constexpr uint32_t kViewMagic = 0x46564557u; // "FVEW"

struct View {
    uint32_t magic;
    uint32_t my_domain;
    uint32_t count;
    uint8_t domains[256];
};

std::string view_path(int instance)
{
    char name[32];
    std::snprintf(name, sizeof name, "/fabric.%d", instance);
    return plat::run_dir() + name;
}

bool valid_instance(uintptr_t instance) { return instance < FCSW_MAX_INSTANCES; }

// The instance's view; an empty one (no domains, domain 0) when none is set.
View read_view(uintptr_t instance)
{
    View v{};
    const int fd = open(view_path(static_cast<int>(instance)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return v;
    const ssize_t n = read(fd, &v, sizeof v);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof v) || v.magic != kViewMagic || v.count > sizeof v.domains)
        return View{};
    return v;
}

int write_all(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return PLAT_ERR_IO;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

extern "C" {

fcsw_instance_t *orvane_fcsw_instances[FCSW_MAX_INSTANCES] = {
#define VOREL_INSTANCE_4(i) &g_instances[i], &g_instances[i + 1], &g_instances[i + 2], &g_instances[i + 3]
#define VOREL_INSTANCE_16(i)                                                                                           \
    VOREL_INSTANCE_4(i), VOREL_INSTANCE_4(i + 4), VOREL_INSTANCE_4(i + 8), VOREL_INSTANCE_4(i + 12)
    VOREL_INSTANCE_16(0),  VOREL_INSTANCE_16(16), VOREL_INSTANCE_16(32), VOREL_INSTANCE_16(48),
    VOREL_INSTANCE_16(64), VOREL_INSTANCE_16(80), VOREL_INSTANCE_16(96), VOREL_INSTANCE_16(112),
#undef VOREL_INSTANCE_16
#undef VOREL_INSTANCE_4
};

// The library finds the chassis map through orvane_fcsw_instances.
void *chassis_mmap_info = nullptr;

int fgetMyDomain(uintptr_t handle)
{
    if (plat::should_fail("fgetMyDomain"))
        return PLAT_ERR_INJECTED;
    if (!valid_instance(handle))
        return PLAT_ERR_INVAL;
    return static_cast<int>(read_view(handle).my_domain);
}

// Byte 0: the number of domains k; bytes 1..k: the domains.  Never more than
// the instance's maximum number of domains.
int fgetDomainLst(uintptr_t handle, uint8_t *list)
{
    if (plat::should_fail("fgetDomainLst"))
        return PLAT_ERR_INJECTED;
    if (!valid_instance(handle) || list == nullptr)
        return PLAT_ERR_INVAL;
    const View v = read_view(handle);
    const uint32_t max = g_chassis_map[handle].max_domains;
    const uint32_t count = v.count < max ? v.count : max;
    list[0] = static_cast<uint8_t>(count);
    std::memcpy(list + 1, v.domains, count);
    return 0;
}

int fabricSetView(int instance, int my_domain, const uint8_t *domains, int num_domains)
{
    if (plat::should_fail("fabricSetView"))
        return PLAT_ERR_INJECTED;
    if (instance < 0 || !valid_instance(static_cast<uintptr_t>(instance)) || my_domain < 0 || my_domain > 255 ||
        num_domains < 0 || num_domains > 255 || (num_domains > 0 && domains == nullptr))
        return PLAT_ERR_INVAL;
    View v{};
    v.magic = kViewMagic;
    v.my_domain = static_cast<uint32_t>(my_domain);
    v.count = static_cast<uint32_t>(num_domains);
    if (num_domains > 0)
        std::memcpy(v.domains, domains, static_cast<size_t>(num_domains));

    const std::string path = view_path(instance);
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%ld", static_cast<long>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)));
    const std::string tmp = path + suffix;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, plat::file_mode());
    if (fd < 0)
        return PLAT_ERR_IO;
    int rc = plat::apply_mode(fd) == 0 ? write_all(fd, &v, sizeof v) : PLAT_ERR_IO;
    if (close(fd) != 0 && rc == 0)
        rc = PLAT_ERR_IO;
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        rc = PLAT_ERR_IO;
    if (rc != 0)
        unlink(tmp.c_str());
    return rc;
}

int fabricClearView(int instance)
{
    if (plat::should_fail("fabricClearView"))
        return PLAT_ERR_INJECTED;
    if (instance < 0 || !valid_instance(static_cast<uintptr_t>(instance)))
        return PLAT_ERR_INVAL;
    if (unlink(view_path(instance).c_str()) != 0 && errno != ENOENT)
        return PLAT_ERR_IO;
    return 0;
}

} // extern "C"
