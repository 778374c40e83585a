// loader.h - fabric files as the server component takes them: the device
// lists of its bulk adds and the loader behind its CTL_LOAD_FILE request.
#pragma once

#include <functional>
#include <vector>

#include "fabric.h"
#include "vorel_server.h"

namespace vorel::tool {

// Every device of the fabric with the full records of its zoned destinations.
std::vector<server::Device> fabric_devices(const Fabric &fabric);

// A loader for Server::set_fabric_loader: reads and checks the file (a bad
// one loads nothing and gives control::kErrFabricFile with the file's
// error) and calls `on_domains` with the fabric's domain list before it
// hands the devices over.
server::FabricLoader fabric_loader(std::function<void(const std::vector<uint8_t> &)> on_domains = {});

} // namespace vorel::tool
