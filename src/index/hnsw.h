// The HNSW graph record: its parameters, entry point and nodes. Nodes are kept
// by point-table slot and their neighbour lists name slots, so a walk never
// hashes an id. A slot may hold a node without a record (a loaded snapshot can
// name ids that have no point); walks treat such ids as misses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace tarnwick {

inline constexpr size_t MAX_LAYERS = 16;

using NeighborLists = std::array<std::vector<uint32_t>, MAX_LAYERS>;

struct GraphNode {
  bool present = false;
  NeighborLists neighbors;  // neighbors[L]: slots linked at layer L
};

struct HnswIndex {
  uint64_t m = 16;                 // link budget per list
  uint64_t ef_construction = 64;   // beam width of insertion
  uint64_t ef_search = 32;         // beam width of search
  std::optional<uint64_t> entry_point;  // absent while the graph is empty
  uint64_t max_level = 0;
  std::vector<GraphNode> nodes;    // indexed by point-table slot
  size_t node_count = 0;
  // Node ids that differ from their key (only a loaded snapshot makes them).
  std::unordered_map<uint32_t, uint64_t> foreign_node_ids;
};

inline bool has_node(const HnswIndex& graph, uint32_t slot) {
  return slot < graph.nodes.size() && graph.nodes[slot].present;
}

inline std::span<const uint32_t> neighbors(const HnswIndex& graph, uint32_t slot, size_t layer) {
  return graph.nodes[slot].neighbors[layer];
}

// Puts a node with these lists into the slot, replacing any node there.
void install_node(HnswIndex& graph, uint32_t slot, uint64_t node_id, uint64_t key,
                  NeighborLists lists);

// The id field of the node in this slot.
inline uint64_t node_id(const HnswIndex& graph, uint32_t slot, uint64_t key) {
  if (!graph.foreign_node_ids.empty()) {
    auto it = graph.foreign_node_ids.find(slot);
    if (it != graph.foreign_node_ids.end()) return it->second;
  }
  return key;
}

}  // namespace tarnwick
