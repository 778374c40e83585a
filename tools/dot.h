// dot.h - the connectivity of a fabric or of one domain as a Graphviz graph.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "verify.h"

namespace vorel::tool {

// Writes an undirected graph: one cluster per domain, one node per device
// (targets as boxes), one edge per symmetric pair of devices and a red
// directed edge for each link that is not listed back.  With `domain` not 0
// only the devices of that domain and their links are written (their peers
// in other domains appear as grey nodes).
void write_dot(std::ostream &out, const std::vector<StoredDevice> &devices, uint32_t domain);

} // namespace vorel::tool
