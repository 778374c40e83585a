// ipc_service.h - the serving side of the IPC service: registered names,
// their dispatch threads, and the way a handler's answer finds its way back
// to the waiting requester.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "ipc_frame.h"

namespace plat::ipc {

// Sends a reply frame on the connection that a requester address
// ("@<connection>.<sequence>", as handed to a handler) names.
// PLAT_ERR_NOENT for an address that names no request (such as the "@" given
// with a one-way message), PLAT_ERR_PEERGONE when the requester has gone.
int send_reply(std::string_view requester, uint32_t code, std::span<const uint8_t> body, const Deadline &deadline);

// Bytes one destination may have queued (VOREL_IPC_OUTBUF, default 64 MiB).
size_t outbuf_limit();

} // namespace plat::ipc
