#include "index/hnsw.h"

namespace tarnwick {

void install_node(HnswIndex& graph, uint32_t slot, uint64_t node_id, uint64_t key,
                  NeighborLists lists) {
  if (slot >= graph.nodes.size()) graph.nodes.resize(size_t{slot} + 1);
  GraphNode& node = graph.nodes[slot];
  if (!node.present) ++graph.node_count;
  node.present = true;
  node.neighbors = std::move(lists);
  if (node_id != key) {
    graph.foreign_node_ids[slot] = node_id;
  } else if (!graph.foreign_node_ids.empty()) {
    graph.foreign_node_ids.erase(slot);
  }
}

}  // namespace tarnwick
