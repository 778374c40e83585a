// fabric.h - fabric files: the devices of a fabric and their zoning, as the
// vorel tool and server load them into the database.
//
//   {"switch":  {"domain": 1, "domains": [1, 2, 3]},      ("domains" optional)
//    "devices": [{"pid": "0x010100", "ind": 0, "spd": 16, "flags": 0, "extra": "hex"}, ...],
//    "zones":   [{"name": "z1", "members": ["0x010100", "0x020100"]}, ...]}
//
// A device's destinations are every other member of every zone it belongs
// to, each once, so connectivity is symmetric by construction.  A file that
// is not valid is refused as a whole: nothing of it is loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorel.h"

namespace vorel::tool {

struct Zone {
    std::string name;
    std::vector<uint32_t> members; // PIDs, in file order
};

struct Fabric {
    uint32_t domain = 0;          // the switch's own domain
    std::vector<uint8_t> domains; // domain list of the fabric view, ascending
    std::vector<DevInfo> devices; // in file order; PIDs unique
    std::vector<Zone> zones;
};

// Parses fabric text; `name` (usually the file name) starts every error
// message, followed by the line and column or the JSON pointer of the fault.
std::optional<Fabric> parse_fabric(std::string_view text, const std::string &name, std::string &error);

// Reads and parses a fabric file.
std::optional<Fabric> read_fabric_file(const std::string &path, std::string &error);

// The fabric as fabric-file text (one device or zone per line).
std::string fabric_to_json(const Fabric &fabric);

// Destinations of every device, as indices into fabric.devices: every other
// member of every zone the device belongs to, each once, in the order of
// first appearance.
std::vector<std::vector<uint32_t>> zone_destinations(const Fabric &fabric);

// A bulk list in the library's form: the list, its devices array and every
// dst_devices array are separate heap blocks.  Ownership passes to the
// library's queue consumer when a queued post succeeds; release() the
// pointer then.
struct BulkListDeleter {
    void operator()(bulkconpld *list) const;
};
using BulkList = std::unique_ptr<bulkconpld, BulkListDeleter>;

// Releases a bulk list: every non-NULL dst_devices, then devices, then the list.
void free_bulk_list(bulkconpld *list);

// Builds the list of every device of the fabric with its zoned destinations;
// each record's update_type is `update_type`.  Empty on allocation failure.
BulkList make_bulk_list(const Fabric &fabric, int32_t update_type);

// Loads a fabric into the calling process's database of its switch instance
// with addPidListToVorel: update type 8 is the initial load (no
// notifications).  `queue` 0 loads at once; otherwise the list is posted to
// that queue.  Returns the library's result, or VOREL_E_NOMEM.
int32_t load_fabric(const Fabric &fabric, uint32_t update_type, uint32_t queue);

// Hex text of up to 16 bytes into dev_extra; false on bad text.
bool parse_extra(std::string_view hex, uint8_t (&extra)[16]);
// dev_extra as hex text without trailing zero bytes ("" when all zero).
std::string extra_hex(const uint8_t (&extra)[16]);

} // namespace vorel::tool
