// control_service.h - both ends of the control service "VORELCTL"
// (control.h): the JSON form of devices, and the requester's call.  The
// serving end runs inside vorel::server::Server.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "control.h"
#include "vorel_server.h"

namespace vorel::control {

// Device <-> {"pid": n, "ind": n, "spd": n, "flags": n, "extra": "hex"}.
// Only "pid" is required; "extra" holds up to 16 bytes as hex digits (a
// shorter string fills the first bytes, the rest stay 0).
nlohmann::json devinfo_to_json(const DevInfo &dev);
bool devinfo_from_json(const nlohmann::json &j, DevInfo &dev, std::string &error);

// {"device": Device, "destinations": [Device...]}
nlohmann::json device_to_json(const server::Device &device);
bool device_from_json(const nlohmann::json &j, server::Device &device, std::string &error);

// Sends one control request to the server of the calling thread's switch
// instance and waits for its reply (`timeout_sec` 0 waits without limit).
// Returns the ipcSendRcv result: 0 with `reply` set to the parsed JSON, or
// the IPC failure (PLAT_ERR_NOENT when no server runs).  A reply that is not
// JSON gives kErrBadRequest.
int32_t call(uint32_t code, const nlohmann::json &body, nlohmann::json &reply, uint32_t timeout_sec = 60);

} // namespace vorel::control
