// control.h - the control service of a vorel server.
//
// Changes since the protocol was first written down: CTL_DRAIN was added;
// CTL_STATS also reports "handled" and "malformed", and each client's
// "registered"; CTL_LOAD_FILE is gone (the server never opens a path that a
// client names: `vorel load` reads the file itself and sends it as
// CTL_ADD_LIST requests with its "domains"); the changing requests report
// what was really done (kErrRefused, kErrNotStored, "stored"); CTL_PING
// tells whether the database is disabled.
//
// Besides "NSIPC" (the library's request handler) a running server owns the
// IPC service "VORELCTL" on its node (the switch instance).  Other processes
// change the database through it.  Every request is one ipcSendRcv with one
// of the codes below and a JSON object as its body (UTF-8, no NUL); the reply
// is a JSON object: {"rc": <status>, ...} where rc is the library's result
// (0 or a negative VOREL_E_* code) or one of the control errors below.
//
// Fields common to the changing requests: "queued": true posts the change to
// the server's internal queue instead of applying it at once (default false);
// "type": the update type, 0..8 (defaults given per request).
//
// Every PID is 24 bits wide (at most 0xFFFFFF).  A device may not list
// itself or one destination twice, and a list may not name one device
// twice: such a request is refused (kErrBadRequest) and changes nothing.
// A direct (not queued) add or list add answers {"rc", "requested",
// "stored"}: the devices named and those found stored as asked afterwards;
// when they differ rc is kErrNotStored and "error" gives the first reason,
// such as "segment full: limit 2 MiB".  The direct deletes answer "removed"
// in the same way (CTL_DELETE_DOMAIN: the devices the domain held).
//
//   CTL_ADD        {"device": Device, "destinations": [Device...], "type": 0}
//   CTL_DELETE     {"pid": n}  (kErrRefused when the PID is not stored)
//   CTL_DELETE_DOMAIN {"domain": n}
//   CTL_ADD_LIST   {"devices": [{"device": Device, "destinations": [Device...]}...], "type": 0}
//                  (type 8 is the initial load: no deltas, no messages; refused with
//                  kErrRefused when a PID is stored already or sync done was announced;
//                  a queued one is checked again when carried out and dropped whole)
//                  "domains": [n...] optional: the fabric view's domains of a loaded file
//   CTL_DELETE_LIST {"pids": [n...], "type": 3}
//   CTL_SYNC       {}
//   CTL_STATS      {} -> {"rc":0, "revision": n, "registered": [types...],
//                         "clients": [{"type": t, "registered": b, "delivered": n, "failed": n,
//                                      "queued": n, "queued_bytes": n, "oldest_ms": n, "cutoffs": n}...],
//                         "handled": n, "queue_depth": n, "malformed": n,
//                         "ipc_limits": {"outbuf": n, "max_connections": n, "reply_deadline_ms": n}}
//                  revision: deliveries made (getCurrentRevisionNum); clients: every type registered
//                  now or sent to before, delivered + failed + queued = update messages sent to it,
//                  oldest_ms: wait of its oldest queued message, cutoffs: times it was cut off; handled:
//                  queued requests carried out; queue_depth: requests posted through the server
//                  and not yet carried out; malformed: queue records dropped as not a request.
//   CTL_PING       {} -> {"rc":0, "pid": server process id, "instance": n, "disabled": b}
//                  disabled: a client disabled the database and none enabled it since
//   CTL_DRAIN      {} -> {"rc":0} once every request queued before it has been carried out
//                  (rc -4 when the server stops first or the wait passes 20 s)
//
// Every failed request may carry an "error" text beside "rc".
//
// Device: {"pid": n, "ind": n, "spd": n, "flags": n, "extra": "hex string of up to 16 bytes"}
// PIDs are numbers (JSON integers).
#pragma once

#include <cstdint>

namespace vorel::control {

inline constexpr const char *kServiceName = "VORELCTL";

enum Code : uint32_t {
    CTL_ADD = 0x101,
    CTL_DELETE = 0x102,
    CTL_DELETE_DOMAIN = 0x103,
    CTL_ADD_LIST = 0x104,
    CTL_DELETE_LIST = 0x105,
    CTL_SYNC = 0x106,
    CTL_STATS = 0x107,
    // 0x108 was CTL_LOAD_FILE; it is refused as an unknown code.
    CTL_PING = 0x109,
    CTL_DRAIN = 0x10A,
};

// Control errors (beside the library's own codes).
inline constexpr int32_t kErrBadRequest = -100; // body is not valid JSON or misses a field
inline constexpr int32_t kErrUnknownCode = -101;
inline constexpr int32_t kErrFabricFile = -102; // the fabric file could not be read or is invalid
inline constexpr int32_t kErrRefused = -103;    // refused by the database's state; nothing done
inline constexpr int32_t kErrNotStored = -104;  // carried out, but not in full: see "error"

// Largest reply a control request produces.
inline constexpr uint32_t kMaxReply = 64 * 1024;

} // namespace vorel::control
