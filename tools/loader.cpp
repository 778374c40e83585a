// loader.cpp - fabric files into the server component's device lists.
#include "loader.h"

#include "control.h"

namespace vorel::tool {

std::vector<server::Device> fabric_devices(const Fabric &f)
{
    const auto dest = zone_destinations(f);
    std::vector<server::Device> out(f.devices.size());
    for (size_t i = 0; i < f.devices.size(); ++i) {
        out[i].dev = f.devices[i];
        out[i].destinations.reserve(dest[i].size());
        for (const uint32_t k : dest[i])
            out[i].destinations.push_back(f.devices[k]);
    }
    return out;
}

server::FabricLoader fabric_loader(std::function<void(const std::vector<uint8_t> &)> on_domains)
{
    return [on_domains](const std::string &path, std::vector<server::Device> &devices, std::string &error) {
        const auto f = read_fabric_file(path, error);
        if (!f)
            return control::kErrFabricFile;
        if (on_domains)
            on_domains(f->domains);
        devices = fabric_devices(*f);
        return int32_t{0};
    };
}

} // namespace vorel::tool
