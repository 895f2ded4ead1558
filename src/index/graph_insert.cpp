#include "index/graph_insert.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "index/layer_search.h"
#include "index/neighbor_selection.h"
#include "util/random.h"

namespace tarnwick {

namespace {

// Cuts the list of `owner` at `layer`, with `added` appended, back to `cap`
// entries chosen by the heuristic. Entries without a record, repeats and the
// owner itself are dropped on the way.
void shrink_list(HnswIndex& graph, const PointTable& points, uint32_t owner, size_t layer,
                 uint32_t added, size_t cap, bool parallel, WalkScratch& scratch,
                 InsertScratch& local) {
  begin_members(points, local);
  for (uint32_t n : neighbors(graph, owner, layer)) consider(points, owner, n, local);
  consider(points, owner, added, local);
  choose_from_members(graph, points, owner, layer, cap, parallel, scratch, local);
}

// Adds `slot` to the list of `neighbor` at `layer`, shrinking a full list with
// the heuristic; under the neighbour's lock when insertions run in parallel.
void link_back(HnswIndex& graph, const PointTable& points, uint32_t neighbor, size_t layer,
               uint32_t slot, size_t cap, NodeLocks* locks, WalkScratch& scratch,
               InsertScratch& local) {
  std::unique_lock<std::mutex> guard;
  if (locks != nullptr) guard = std::unique_lock(locks->of(neighbor));
  // A record a loaded graph left without a node, or a node a loaded list names
  // above its own level, gets no back-link.
  if (!has_list(graph, neighbor, layer)) return;
  std::span<const uint32_t> list = neighbors(graph, neighbor, layer);
  if (std::find(list.begin(), list.end(), slot) != list.end()) return;
  if (list.size() < cap) {
    append_neighbor(graph, neighbor, layer, slot);
  } else {
    shrink_list(graph, points, neighbor, layer, slot, cap, locks != nullptr, scratch, local);
  }
}

}  // namespace

void place_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                size_t level) {
  if (!has_node(graph, slot)) {
    install_node(graph, slot, point_id, slot_key(points, slot), NeighborLists{}, level);
  } else {
    // A re-inserted node keeps its lists until linking rewrites them, so
    // walks still pass through it meanwhile.
    reach_level(graph, slot, level);
    if (!graph.foreign_node_ids.empty()) graph.foreign_node_ids.erase(slot);
  }
}

void settle_node(HnswIndex& graph, uint32_t slot, size_t level) { drop_lists_above(graph, slot, level); }

void link_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
               size_t level, NodeLocks* locks) {
  // Only a node that may become the entry point holds `global` throughout, so
  // that two such insertions cannot race to raise the top level.
  std::unique_lock<std::mutex> global;
  if (locks != nullptr) global = std::unique_lock(locks->global);
  if (!graph.entry_point) {
    graph.entry_point = point_id;
    graph.max_level = level;
    return;
  }
  const uint64_t entry_point = *graph.entry_point;
  const uint64_t top_level = graph.max_level;
  if (locks != nullptr && level <= top_level) global.unlock();

  uint32_t entry = find_slot(points, entry_point);
  if (entry != NO_SLOT) {
    WalkScratch& scratch = thread_walk_scratch();
    InsertScratch& local = thread_insert_scratch();
    WalkQuery query = stored_walk_query(points, slot);
    float distance = measure_slot(query, points, entry);
    // Layers above 15 hold no links, so the descent starts at 15 at most.
    for (size_t layer = std::min<uint64_t>(top_level, MAX_LAYERS - 1); layer > level; --layer) {
      entry = greedy_search_layer(graph, points, query, entry, distance, layer, scratch, locks);
    }

    local.entries.assign(1, WalkPair{distance, 0, entry});
    const size_t ef = std::min(construction_beam(graph), slot_count(points) + 1);
    for (size_t layer = std::min<uint64_t>(level, top_level);; --layer) {
      search_layer_for_insert(graph, points, query, local.entries, ef, layer, slot, scratch,
                              local.found, locks);
      // The new node keeps up to `m` neighbours at every layer; the lists it
      // joins may hold twice that at layer 0. (Keeping 2 x `m` of its own
      // there measured slower to build and no better to search at equal recall.)
      const size_t cap = link_cap(graph, layer);
      select_neighbors(points, local.found, link_cap(graph, 1), local.chosen, scratch, local);
      {
        std::unique_lock<std::mutex> own;
        if (locks != nullptr) own = std::unique_lock(locks->of(slot));
        set_neighbors(graph, slot, layer, local.chosen, locks != nullptr);
      }
      for (uint32_t neighbor : local.chosen) {
        link_back(graph, points, neighbor, layer, slot, cap, locks, scratch, local);
      }
      if (!local.found.empty()) local.entries.swap(local.found);
      if (layer == 0) break;
    }
  }

  if (level > top_level) {
    graph.max_level = level;
    graph.entry_point = point_id;
  }
}

void insert_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                 size_t level) {
  place_node(graph, points, slot, point_id, level);
  link_node(graph, points, slot, point_id, level, nullptr);
  settle_node(graph, slot, level);
}

size_t level_from_bits(uint64_t bits, uint64_t m) {
  double u = static_cast<double>(bits >> 11) * 0x1p-53;
  if (u == 0.0) return MAX_LAYERS - 1;
  double x = (-1.0 / std::log(static_cast<double>(m))) * std::log(u);
  if (!(x >= 0.0)) return 0;  // negative or not a number
  if (x >= 0x1p64) return MAX_LAYERS - 1;
  return static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(x), MAX_LAYERS - 1));
}

size_t draw_level(uint64_t m) {
  thread_local std::mt19937_64 generator(random_seed());
  return level_from_bits(generator(), m);
}

}  // namespace tarnwick
