#include "index/graph_insert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "index/layer_search.h"
#include "index/neighbor_selection.h"
#include "index/spanning_tree.h"
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

// Sets the list of a node being linked at `layer` to the neighbours it chose.
// Entries already there stay candidates beside them: back-links of insertions
// running in parallel that chose this node while it was still being linked
// (overwriting them would leave those nodes without the link), a re-inserted
// node's old neighbours, and its tree edges, which are always kept.
void set_own_list(HnswIndex& graph, const PointTable& points, uint32_t slot, size_t layer,
                  size_t cap, NodeLocks* locks, WalkScratch& scratch, InsertScratch& local) {
  std::unique_lock<std::mutex> own;
  if (locks != nullptr) own = std::unique_lock(locks->of(slot));
  std::span<const uint32_t> current = neighbors(graph, slot, layer);
  if (current.empty()) {
    set_neighbors(graph, slot, layer, local.chosen, locks != nullptr);
    return;
  }
  begin_members(points, local);
  for (uint32_t n : local.chosen) consider(points, slot, n, local);
  for (uint32_t n : current) consider(points, slot, n, local);
  choose_from_members(graph, points, slot, layer, cap, locks != nullptr, scratch, local);
}

// Attaches the node below the root now, or, while linking runs in parallel,
// once it is over (attach_unattached).
void attach_below_root_later(HnswIndex& graph, const PointTable& points, uint32_t slot,
                             NodeLocks* locks) {
  if (locks == nullptr) {
    attach_below_root(graph, points, slot);
    return;
  }
  std::lock_guard guard(locks->unattached_mutex);
  locks->unattached.push_back(slot);
}

bool is_root(const HnswIndex& graph, const PointTable& points, uint32_t slot) {
  return graph.entry_point && find_slot(points, *graph.entry_point) == slot;
}

}  // namespace

size_t place_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                  size_t level) {
  prepare_link_bookkeeping(graph, points);
  if (!has_node(graph, slot)) {
    install_node(graph, slot, point_id, slot_key(points, slot), NeighborLists{}, level);
    rank_new_node(graph, slot);
    return level;
  }
  // A node outside the tree (a loaded graph may hold one) joins it now.
  if (tree_parent_of(graph, slot) == NO_PARENT && !is_root(graph, points, slot)) {
    rank_new_node(graph, slot);
  }
  // A re-inserted node keeps its level, and its lists until linking rewrites
  // them, so walks still pass through it meanwhile.
  if (!graph.foreign_node_ids.empty()) graph.foreign_node_ids.erase(slot);
  return node_level(graph, slot);
}

void settle_node(HnswIndex& graph, uint32_t slot, size_t level) { drop_lists_above(graph, slot, level); }

bool node_stands_for(const HnswIndex& graph, const PointTable& points, uint32_t slot,
                     std::span<const float> vector) {
  if (slot == NO_SLOT || !has_record(points, slot) || !has_node(graph, slot)) return false;
  if (graph.foreign_node_ids.contains(slot)) return false;
  const std::span<const float> stored = point_vector(points, slot);
  return stored.size() == vector.size() &&
         (vector.empty() || std::memcmp(stored.data(), vector.data(), vector.size_bytes()) == 0);
}

void attach_unattached(HnswIndex& graph, const PointTable& points, NodeLocks& locks) {
  for (uint32_t slot : locks.unattached) {
    // One that became the root meanwhile, or was taken in by the one that did, stays.
    if (tree_parent_of(graph, slot) == NO_PARENT && !is_root(graph, points, slot)) {
      attach_below_root(graph, points, slot);
    }
  }
  locks.unattached.clear();
}

void link_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
               size_t level, NodeLocks* locks) {
  // Only a node that may become the entry point holds `global` throughout, so
  // that two such insertions cannot race to raise the top level.
  std::unique_lock<std::mutex> global;
  if (locks != nullptr) global = std::unique_lock(locks->global);
  if (!graph.entry_point) {
    graph.entry_point = point_id;
    graph.max_level = level;
    make_root(graph, points, slot, NO_SLOT, locks);
    return;
  }
  const uint64_t entry_point = *graph.entry_point;
  const uint64_t top_level = graph.max_level;
  const uint32_t root = find_slot(points, entry_point);
  uint32_t entry = root;
  // A node joins the tree below another unless it is the root; a re-inserted
  // node keeps its place.
  const bool needs_parent = root != slot && tree_parent_of(graph, slot) == NO_PARENT;
  if (locks != nullptr && level <= top_level) global.unlock();

  if (entry != NO_SLOT) {
    WalkScratch& scratch = thread_walk_scratch();
    InsertScratch& local = thread_insert_scratch();
    WalkQuery query = stored_walk_query(points, slot);
    attach_build_codes(query, points, local.code_query);
    float distance = measure_slot(query, points, entry);
    // Layers above 15 hold no links, so the descent starts at 15 at most.
    for (size_t layer = std::min<uint64_t>(top_level, MAX_LAYERS - 1); layer > level; --layer) {
      entry = greedy_search_layer(graph, points, query, entry, distance, layer, scratch, locks);
    }
    if (query.build_codes != nullptr) {
      WalkQuery exact = query;
      exact.build_codes = nullptr;
      const float exact_distance = measure_slot(exact, points, entry);
      // Where the descent ends closer to the node than codes can order (a
      // cloud of near-copies, which estimates would link at random), the node
      // is linked from exact distances.
      if (exact_distance > SAME_WAY_DISTANCE && codes_cannot_order(points, slot, exact_distance)) {
        query = exact;
        distance = exact_distance;
      }
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
      set_own_list(graph, points, slot, layer, cap, locks, scratch, local);
      for (uint32_t neighbor : local.chosen) {
        link_back(graph, points, neighbor, layer, slot, cap, locks, scratch, local);
      }
      if (layer == 0 && needs_parent) {
        // Its neighbours first, nearest first, then the rest of the beam.
        std::vector<uint32_t> candidates(local.chosen);
        for (const WalkPair& pair : local.found) candidates.push_back(pair.slot);
        if (!attach_node(graph, points, slot, candidates, locks) &&
            (candidates.empty() || !attach_in_subtree(graph, points, slot, candidates[0], locks)) &&
            !attach_in_subtree(graph, points, slot, root, locks)) {
          attach_below_root_later(graph, points, slot, locks);
        }
      }
      if (!local.found.empty()) local.entries.swap(local.found);
      if (layer == 0) break;
    }
  } else if (needs_parent) {
    attach_below_root_later(graph, points, slot, locks);  // the entry point names no slot
  }

  if (level > top_level) {
    graph.max_level = level;
    graph.entry_point = point_id;
    make_root(graph, points, slot, root, locks);
  }
}

void insert_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                 size_t level) {
  level = place_node(graph, points, slot, point_id, level);
  link_node(graph, points, slot, point_id, level, nullptr);
  settle_node(graph, slot, level);
  settle_link_changes(graph);
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
