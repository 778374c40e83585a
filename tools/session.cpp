// session.cpp - the switch instance, the library's life time, the control
// service client and the read attachment.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "tool.h"

namespace vorel::tool {

void select_instance(int instance)
{
    setenv("VOREL_SWITCH", std::to_string(instance).c_str(), 1);
    setMySwitch(instance);
}

std::string status_text(int32_t rc)
{
    switch (rc) {
    case VOREL_OK:
        return "success";
    case VOREL_E_FAIL:
        return "operation failed (or PID not stored)";
    case VOREL_E_NULLARG:
        return "missing argument";
    case VOREL_E_MAP:
        return "shared block cannot be mapped";
    case VOREL_E_UNINIT:
        return "vorel is uninitialized";
    case VOREL_E_NOHDR:
        return "database header not initialized";
    case VOREL_E_INSYNC:
        return "database already in sync";
    case VOREL_E_ATTACHED:
        return "already attached";
    case VOREL_E_HDRALLOC:
        return "header block cannot be allocated";
    case VOREL_E_SEGMENT:
        return "creating or attaching the segment failed";
    case VOREL_E_SETBLOCK:
        return "basic block 0 cannot be set";
    case VOREL_E_READ:
        return "database block cannot be read";
    case VOREL_E_NOMEM:
        return "out of memory";
    case VOREL_E_NOTATTACHED:
        return "not attached";
    case VOREL_E_REGFULL:
        return "client registry full";
    case VOREL_E_BADPID:
        return "PID with domain 0 refused";
    case VOREL_E_BADPAYLOAD:
        return "malformed payload refused";
    case VOREL_E_BADTYPE:
        return "update type not valid for this operation";
    case VOREL_E_BADDOMAIN:
        return "domain outside 1..255";
    case control::kErrBadRequest:
        return "the server refused the request as malformed";
    case control::kErrUnknownCode:
        return "the server does not know the request";
    case control::kErrFabricFile:
        return "the fabric file could not be read or is invalid";
    case control::kErrRefused:
        return "refused, nothing changed";
    case control::kErrNotStored:
        return "not carried out in full";
    default:
        return is_ipc_error(rc) ? ipc_text(rc) : "error " + std::to_string(rc);
    }
}

std::string ipc_text(int rc)
{
    switch (rc) {
    case PLAT_ERR_NOENT:
        return "no server is running for this switch instance";
    case PLAT_ERR_PEERGONE:
        return "the server went away";
    case PLAT_ERR_TIMEOUT:
        return "the server did not answer in time";
    case PLAT_ERR_BUSY:
        return "the service name is already owned by another process";
    case PLAT_ERR_TOOBIG:
        return "message too large";
    default:
        return "IPC error " + std::to_string(rc);
    }
}

std::string key_file_problem()
{
    const std::string path = "/tmp/.__vorelmm." + std::to_string(getMySwitch());
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return "";
    if (S_ISLNK(st.st_mode))
        return ": the key file " + path + " is a symbolic link, which is refused; remove it";
    if (access(path.c_str(), R_OK | W_OK) != 0)
        return ": the key file " + path + " cannot be opened (" + std::strerror(errno) + ")";
    return "";
}

LibraryScope::LibraryScope()
{
    if (const int32_t rc = vorellibInit(); rc != 0)
        throw Failure(kExitDatabase,
                      "cannot start the vorel library (rc=" + std::to_string(rc) + ")" + key_file_problem());
    restore_user_umask();
}

LibraryScope::~LibraryScope() { vorellibUnInit(); }

nlohmann::json control_request(uint32_t code, const nlohmann::json &body, uint32_t timeout_s)
{
    IPCAddr addr{};
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    addr.svc = VOREL_IPC_SVC;
    std::snprintf(addr.name, sizeof addr.name, "%s", control::kServiceName);
    const std::string text = body.dump();
    std::vector<char> reply(control::kMaxReply);
    uint32_t reply_len = static_cast<uint32_t>(reply.size());
    const ipc_timeout_t timeout{timeout_s, 0};
    const int rc = ipcSendRcv(&addr, code, text.data(), static_cast<uint32_t>(text.size()), reply.data(), &reply_len,
                              timeout_s == 0 ? nullptr : &timeout);
    if (rc != 0)
        throw Failure(kExitServer, "switch instance " + std::to_string(getMySwitch()) + ": " + ipc_text(rc));
    const size_t got = std::min<size_t>(reply_len, reply.size());
    auto parsed =
        nlohmann::json::parse(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(got), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("rc"))
        throw Failure(kExitServer, "malformed reply from the server's control service");
    return parsed;
}

void expect_ok(const nlohmann::json &reply, const std::string &what)
{
    const int32_t rc = reply.value("rc", 0);
    if (rc == 0)
        return;
    std::string msg = what + ": " + status_text(rc) + " (rc=" + std::to_string(rc) + ")";
    if (reply.contains("error") && reply["error"].is_string())
        msg += ": " + reply["error"].get<std::string>();
    const bool input = rc == control::kErrBadRequest || rc == control::kErrFabricFile || rc == VOREL_E_BADPID ||
                       rc == VOREL_E_BADPAYLOAD || rc == VOREL_E_BADTYPE || rc == VOREL_E_BADDOMAIN;
    throw Failure(input ? kExitInput : kExitDatabase, msg);
}

StopSignals::StopSignals()
{
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
}

StopSignals::~StopSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

int StopSignals::wait()
{
    int sig = 0;
    while (sigwait(&set_, &sig) != 0) {
    }
    return sig;
}

int StopSignals::poll()
{
    const timespec none{0, 0};
    const int sig = sigtimedwait(&set_, nullptr, &none);
    return sig > 0 ? sig : 0;
}

Reader::Reader()
{
    // A ping first: it tells "no server" apart quickly, with a time-out,
    // where the library's enable request would wait without one.  It also
    // says whether a client disabled the database: the enable request would
    // then make the server create a new, empty one, so a reader stops here.
    const nlohmann::json ping = control_request(control::CTL_PING, nlohmann::json::object(), 10);
    if (ping.value("disabled", false))
        throw Failure(kExitDatabase, "database disabled (enable with `vorel enable`)");
    // The library's attachment takes the instance's write lock (it guards
    // every attach and detach), so it waits while any reader holds the read
    // lock: the reading commands hold it only to copy, never while writing
    // their output.
    if (const int32_t rc = enableVorel(0); rc != 0)
        throw Failure(kExitServer, "enable request failed: " + ipc_text(rc));
    const VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    if (c == nullptr || c->initialized <= 0)
        throw Failure(kExitDatabase,
                      "cannot attach to the database of switch instance " + std::to_string(getMySwitch()));
}

} // namespace vorel::tool
