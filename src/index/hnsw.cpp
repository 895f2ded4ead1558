#include "index/hnsw.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

size_t block_words(const HnswIndex& graph) { return size_t{graph.layer0_capacity} + 1; }

// The block of a slot, making its chunk (all slots without a node) if needed.
uint32_t* make_block(HnswIndex& graph, uint32_t slot) {
  if (graph.layer0_chunks.empty()) {
    // Twice `m` holds every list insertion keeps at layer 0.
    graph.layer0_capacity = static_cast<uint32_t>(
        std::min<uint64_t>(graph.m, LAYER0_MAX_INLINE / 2) * 2);
  }
  size_t chunk = slot / LAYER0_CHUNK_SLOTS;
  while (graph.layer0_chunks.size() <= chunk) {
    size_t words = LAYER0_CHUNK_SLOTS * block_words(graph);
    auto fresh = std::make_unique<uint32_t[]>(words);
    for (size_t s = 0; s < LAYER0_CHUNK_SLOTS; ++s) fresh[s * block_words(graph)] = NO_NODE;
    graph.layer0_chunks.push_back(std::move(fresh));
  }
  return const_cast<uint32_t*>(layer0_block(graph, slot));
}

void set_layer0(HnswIndex& graph, uint32_t slot, uint32_t* block, std::span<const uint32_t> list) {
  if (list.size() <= graph.layer0_capacity) {
    if (*block == OVERFLOWED) graph.layer0_overflow.erase(slot);
    if (!list.empty()) std::memmove(block + 1, list.data(), list.size_bytes());
    *block = static_cast<uint32_t>(list.size());
  } else {
    graph.layer0_overflow[slot].assign(list.begin(), list.end());
    *block = OVERFLOWED;
  }
}

}  // namespace

std::span<const uint32_t> upper_neighbors(const HnswIndex& graph, uint32_t slot, size_t layer) {
  if (layer >= MAX_LAYERS || graph.upper_layers.empty()) return {};
  auto it = graph.upper_layers.find(slot);
  if (it == graph.upper_layers.end() || it->second.size() < layer) return {};
  return it->second[layer - 1];
}

void install_node(HnswIndex& graph, uint32_t slot, uint64_t node_id, uint64_t key,
                  NeighborLists lists, size_t level) {
  uint32_t* block = make_block(graph, slot);
  if (*block == NO_NODE) {
    ++graph.node_count;
    *block = 0;
  }
  set_layer0(graph, slot, block, lists[0]);

  size_t top = std::min(level, MAX_LAYERS - 1);
  for (size_t layer = top + 1; layer < MAX_LAYERS; ++layer) {
    if (!lists[layer].empty()) top = layer;
  }
  if (top == 0) {
    graph.upper_layers.erase(slot);
  } else {
    std::vector<std::vector<uint32_t>>& upper = graph.upper_layers[slot];
    upper.clear();
    for (size_t layer = 1; layer <= top; ++layer) upper.push_back(std::move(lists[layer]));
  }

  if (node_id != key) {
    graph.foreign_node_ids[slot] = node_id;
  } else if (!graph.foreign_node_ids.empty()) {
    graph.foreign_node_ids.erase(slot);
  }
}

void remove_node(HnswIndex& graph, uint32_t slot) {
  if (!has_node(graph, slot)) return;
  uint32_t* block = const_cast<uint32_t*>(layer0_block(graph, slot));
  if (*block == OVERFLOWED) graph.layer0_overflow.erase(slot);
  *block = NO_NODE;
  --graph.node_count;
  graph.upper_layers.erase(slot);
  if (!graph.foreign_node_ids.empty()) graph.foreign_node_ids.erase(slot);
}

size_t node_level(const HnswIndex& graph, uint32_t slot) {
  if (graph.upper_layers.empty()) return 0;
  auto it = graph.upper_layers.find(slot);
  return it == graph.upper_layers.end() ? 0 : it->second.size();
}

void set_neighbors(HnswIndex& graph, uint32_t slot, size_t layer,
                   std::span<const uint32_t> list) {
  if (layer == 0) {
    set_layer0(graph, slot, make_block(graph, slot), list);
    return;
  }
  std::vector<std::vector<uint32_t>>& upper = graph.upper_layers[slot];
  if (upper.size() < layer) upper.resize(layer);
  upper[layer - 1].assign(list.begin(), list.end());
}

void append_neighbor(HnswIndex& graph, uint32_t slot, size_t layer, uint32_t neighbor) {
  if (layer == 0) {
    uint32_t* block = make_block(graph, slot);
    if (*block != OVERFLOWED && *block < graph.layer0_capacity) {
      block[1 + *block] = neighbor;
      ++*block;
      return;
    }
    std::vector<uint32_t> longer(layer0_neighbors(graph, slot).begin(),
                                 layer0_neighbors(graph, slot).end());
    longer.push_back(neighbor);
    set_layer0(graph, slot, block, longer);
    return;
  }
  std::vector<std::vector<uint32_t>>& upper = graph.upper_layers[slot];
  if (upper.size() < layer) upper.resize(layer);
  upper[layer - 1].push_back(neighbor);
}

}  // namespace tarnwick
