// dot.cpp - the Graphviz writer.
#include "dot.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "gen.h"
#include "pid.h"

namespace vorel::tool {

namespace {

struct Node {
    DevInfo info{};
    bool stored = false; // false: only known as somebody's destination
};

void write_node(std::ostream &out, const Node &n, bool peer_only)
{
    out << "    \"" << pid_hex(n.info.pid) << "\" [label=\"" << pid_hex(n.info.pid);
    if (n.info.spd != 0)
        out << "\\n" << n.info.spd << "G";
    out << "\"";
    if (n.info.devflags & kFlagTarget)
        out << ", shape=box";
    if (peer_only || !n.stored)
        out << ", style=dashed, color=grey50, fontcolor=grey50";
    out << "];\n";
}

} // namespace

void write_dot(std::ostream &out, const std::vector<StoredDevice> &devices, uint32_t domain)
{
    auto in_scope = [domain](uint32_t pid) { return domain == 0 || pid_domain(pid) == domain; };

    std::unordered_map<uint32_t, std::set<uint32_t>> lists; // what each stored device lists
    std::map<uint32_t, Node> nodes;                         // ordered: stable output
    for (const StoredDevice &d : devices) {
        auto &mine = lists[d.pid];
        for (const DevInfo &peer : d.dests)
            mine.insert(peer.pid);
        if (!in_scope(d.pid))
            continue;
        Node &n = nodes[d.pid];
        n.info = d.info;
        n.info.pid = d.pid;
        n.stored = true;
    }
    // Peers of the devices in scope; a destination record carries the peer's
    // information even when the peer itself is not stored.
    for (const StoredDevice &d : devices) {
        if (!in_scope(d.pid))
            continue;
        for (const DevInfo &peer : d.dests) {
            auto [it, fresh] = nodes.try_emplace(peer.pid);
            if (fresh)
                it->second.info = peer;
        }
    }
    for (const StoredDevice &d : devices)
        if (auto it = nodes.find(d.pid); it != nodes.end() && !it->second.stored) {
            it->second.info = d.info;
            it->second.info.pid = d.pid;
            it->second.stored = true;
        }

    out << "graph vorel {\n  graph [rankdir=LR, fontsize=10];\n  node [fontsize=9];\n";
    std::map<uint32_t, std::vector<const Node *>> by_domain;
    for (const auto &[pid, n] : nodes)
        by_domain[pid_domain(pid)].push_back(&n);
    for (const auto &[dom, members] : by_domain) {
        const bool peers = !in_scope(static_cast<uint32_t>(dom) << 16);
        out << "  subgraph cluster_d" << dom << " {\n    label=\"domain " << dom << "\";\n";
        for (const Node *n : members)
            write_node(out, *n, peers);
        out << "  }\n";
    }
    for (const auto &[pid, n] : nodes) {
        if (!in_scope(pid))
            continue;
        const auto mine = lists.find(pid);
        if (mine == lists.end())
            continue;
        for (const uint32_t peer : mine->second) {
            if (peer == pid)
                continue;
            const auto back = lists.find(peer);
            const bool symmetric = back != lists.end() && back->second.contains(pid);
            if (symmetric) {
                // Written once per pair: by the lower PID, or by the one in scope.
                if (peer < pid && in_scope(peer))
                    continue;
                out << "  \"" << pid_hex(pid) << "\" -- \"" << pid_hex(peer) << "\";\n";
            } else {
                out << "  \"" << pid_hex(pid) << "\" -- \"" << pid_hex(peer) << "\" [dir=forward, color=red];\n";
            }
        }
    }
    out << "}\n";
}

} // namespace vorel::tool
