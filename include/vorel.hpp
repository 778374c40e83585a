// vorel.hpp - a thin, header-only C++ layer over the C interface of libvorel:
// payloads that free themselves, spans over destination arrays, a scoped read
// lock and an enum for update types.  Nothing here adds state or behaviour;
// every call goes straight to the C operation of the same meaning.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vorel.h"

namespace vorel {

enum class UpdateType : uint32_t {
    DevOnline = VOREL_UPD_DEV_ONLINE,
    DevOffline = VOREL_UPD_DEV_OFFLINE,
    ListOffline = VOREL_UPD_LIST_OFFLINE,
    DomainOnline = VOREL_UPD_DOM_ONLINE,
    DomainOffline = VOREL_UPD_DOM_OFFLINE,
    DevOnlineAlt = VOREL_UPD_DEV_ONLINE_ALT,
    InitialLoad = VOREL_UPD_SYNC,
};

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

// A connectivity payload made by the library: one heap block, freed once.
class Payload {
  public:
    explicit Payload(devconpld *p) noexcept : p_(p) {}
    const DevInfo &device() const noexcept { return p_->src_dev; }
    uint32_t pid() const noexcept { return p_->src_dev.pid; }
    std::span<const DevInfo> destinations() const noexcept
    {
        return {p_->dst_devices, static_cast<size_t>(p_->num_dstdevices > 0 ? p_->num_dstdevices : 0)};
    }
    const devconpld *get() const noexcept { return p_.get(); }

  private:
    std::unique_ptr<devconpld, FreeDeleter> p_;
};

// Holds the switch instance's lock for reading while it lives.
class ReadLock {
  public:
    ReadLock() noexcept : lock_(&part_vorel_glbl_array[getMySwitch()]->rwlock) { procrwlock_rdlock(lock_); }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;
    ~ReadLock() { procrwlock_rdunlock(lock_); }

  private:
    procrwlock_t *lock_;
};

// One device's record, or the library's status when it is not there.
inline std::optional<Payload> lookup(uint32_t pid, int32_t *status = nullptr)
{
    devconpld *out = nullptr;
    const int32_t rc = getPidFromVorel(pid, &out);
    if (status != nullptr)
        *status = rc;
    if (rc != 0)
        return std::nullopt;
    return Payload(out);
}

inline std::optional<uint32_t> count()
{
    uint32_t n = 0;
    return getCountFromVorel(&n) == 0 ? std::optional<uint32_t>(n) : std::nullopt;
}

// Calls fn(const devconpld &) for every stored device, under the read lock.
template <class Fn> int32_t for_each_device(Fn &&fn)
{
    return getEachPidFromVorel(
        [](devconpld *p, void *arg) {
            (*static_cast<Fn *>(arg))(static_cast<const devconpld &>(*p));
            return 0;
        },
        &fn);
}

// The devices of the switch's own domain, each freeing itself.
inline std::vector<Payload> local_devices(int32_t *status = nullptr)
{
    devconpld **list = nullptr;
    int32_t n = 0;
    int32_t runs = 0;
    const int32_t rc = getAllLocalPidsFromVorel(&list, &n, &runs);
    if (status != nullptr)
        *status = rc;
    std::vector<Payload> out;
    if (rc == 0) {
        out.reserve(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i)
            out.emplace_back(list[i]);
    }
    std::free(list);
    return out;
}

} // namespace vorel
