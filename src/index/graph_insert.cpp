#include "index/graph_insert.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "index/layer_search.h"
#include "util/random.h"

namespace tarnwick {

namespace {

// Scratch of one insertion, kept per thread.
struct InsertScratch {
  std::vector<WalkPair> entries;
  std::vector<WalkPair> found;
  std::vector<uint32_t> chosen;
  std::vector<uint32_t> members;
  std::vector<float> member_distances;
  std::vector<WalkPair> ranked;
  std::vector<uint32_t> kept;
  std::vector<uint8_t> pruned;
  std::vector<uint32_t> later;
  std::vector<uint32_t> later_index;
  // seen[slot] == seen_epoch marks a slot already taken into `members`.
  std::vector<uint32_t> seen;
  uint32_t seen_epoch = 0;
};

// Not inlined: the callers then hold a plain reference, instead of the compiler
// re-deriving the thread-local address at every use.
[[gnu::noinline]] InsertScratch& thread_insert_scratch() {
  thread_local InsertScratch scratch;
  return scratch;
}

// The neighbour-selection heuristic: walks the candidates nearest first and
// keeps one unless it is nearer to a point already kept than to the base, up
// to `cap`. Every candidate holds a record. Pair distances are symmetric, so
// each kept point measures all later candidates at once and prunes those
// nearer to it than to the base; that decides exactly as testing each
// candidate against every kept point would.
void select_neighbors(const PointTable& points, std::span<const WalkPair> ranked, size_t cap,
                      std::vector<uint32_t>& chosen, WalkScratch& scratch, InsertScratch& local) {
  std::vector<uint8_t>& pruned = local.pruned;
  std::vector<uint32_t>& later = local.later;
  std::vector<uint32_t>& later_index = local.later_index;
  chosen.clear();
  pruned.assign(ranked.size(), 0);
  for (size_t i = 0; i < ranked.size() && chosen.size() < cap; ++i) {
    if (pruned[i]) continue;
    chosen.push_back(ranked[i].slot);
    if (chosen.size() == cap) break;
    later.clear();
    later_index.clear();
    for (size_t j = i + 1; j < ranked.size(); ++j) {
      if (pruned[j]) continue;
      later.push_back(ranked[j].slot);
      later_index.push_back(static_cast<uint32_t>(j));
    }
    if (later.empty()) break;
    scratch.chosen_distances.resize(later.size());
    measure_slots(stored_walk_query(points, ranked[i].slot), points, later,
                  scratch.chosen_distances.data());
    for (size_t k = 0; k < later.size(); ++k) {
      if (scratch.chosen_distances[k] < ranked[later_index[k]].distance) pruned[later_index[k]] = 1;
    }
  }
}

// Starts a new round of `consider`: no slot is marked as taken.
void begin_members(const PointTable& points, InsertScratch& local) {
  local.members.clear();
  if (local.seen.size() < slot_count(points)) local.seen.resize(slot_count(points), 0);
  if (++local.seen_epoch == 0) {
    std::fill(local.seen.begin(), local.seen.end(), 0);
    local.seen_epoch = 1;
  }
}

// Takes a slot into `members` unless it is the owner, holds no record, or was
// taken already; each test is constant time, so a list of any length is
// gathered in linear time.
void consider(const PointTable& points, uint32_t owner, uint32_t n, InsertScratch& local) {
  if (n == owner || !has_record(points, n)) return;
  if (local.seen[n] == local.seen_epoch) return;
  local.seen[n] = local.seen_epoch;
  local.members.push_back(n);
}

// Orders by distance, a distance that is not a number after every number.
bool nearer_distance(const WalkPair& a, const WalkPair& b) {
  float ka = std::isnan(a.distance) ? INFINITY : a.distance;
  float kb = std::isnan(b.distance) ? INFINITY : b.distance;
  return ka < kb;
}

// Sets the list of `owner` at `layer` to at most `cap` of the gathered
// members, chosen by the heuristic from the owner's point of view.
void choose_from_members(HnswIndex& graph, const PointTable& points, uint32_t owner,
                         size_t layer, size_t cap, bool parallel, WalkScratch& scratch,
                         InsertScratch& local) {
  WalkQuery from = stored_walk_query(points, owner);
  local.member_distances.resize(local.members.size());
  measure_slots(from, points, local.members, local.member_distances.data());
  local.ranked.clear();
  for (size_t i = 0; i < local.members.size(); ++i) {
    local.ranked.push_back(
        WalkPair{local.member_distances[i], static_cast<uint32_t>(i), local.members[i]});
  }
  std::stable_sort(local.ranked.begin(), local.ranked.end(), nearer_distance);
  select_neighbors(points, local.ranked, cap, local.kept, scratch, local);
  set_neighbors(graph, owner, layer, local.kept, parallel);
}

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
      const size_t cap = link_cap(graph, layer);
      select_neighbors(points, local.found, cap, local.chosen, scratch, local);
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

void unlink_slots(HnswIndex& graph, const PointTable& points, std::span<const uint32_t> slots) {
  std::vector<uint8_t> leaving(slot_count(points), 0);
  size_t leaving_count = 0;
  for (uint32_t slot : slots) {
    if (slot < leaving.size() && !leaving[slot]) {
      leaving[slot] = 1;
      ++leaving_count;
    }
  }
  if (leaving_count == 0 || graph.node_count == 0) return;
  auto is_leaving = [&](uint32_t n) { return n < leaving.size() && leaving[n]; };

  // Every list that names a leaving slot, found in one pass over the graph.
  struct Affected {
    uint32_t owner;
    uint32_t layer;
  };
  std::vector<Affected> affected;
  const uint32_t slots_in_table = static_cast<uint32_t>(slot_count(points));
  for (uint32_t owner = 0; owner < slots_in_table; ++owner) {
    if (leaving[owner] || !has_node(graph, owner)) continue;
    const size_t top = std::min(node_level(graph, owner), MAX_LAYERS - 1);
    for (size_t layer = 0; layer <= top; ++layer) {
      std::span<const uint32_t> list = neighbors(graph, owner, layer);
      if (std::any_of(list.begin(), list.end(), is_leaving)) {
        affected.push_back({owner, static_cast<uint32_t>(layer)});
      }
    }
  }

  // Each such list is chosen again from its remaining entries and the lists of
  // the leaving nodes it named (one hop further where those lead to leaving
  // nodes too). Only the owner's list changes, and no owner is leaving, so the
  // lists read here are never ones already rewritten.
  WalkScratch& scratch = thread_walk_scratch();
  InsertScratch& local = thread_insert_scratch();
  for (const Affected& entry : affected) {
    const uint32_t owner = entry.owner;
    const size_t layer = entry.layer;
    begin_members(points, local);
    for (uint32_t n : neighbors(graph, owner, layer)) {
      if (!is_leaving(n)) {
        consider(points, owner, n, local);
        continue;
      }
      for (uint32_t second : neighbors(graph, n, layer)) {
        if (!is_leaving(second)) {
          consider(points, owner, second, local);
          continue;
        }
        for (uint32_t third : neighbors(graph, second, layer)) {
          if (!is_leaving(third)) consider(points, owner, third, local);
        }
      }
    }
    choose_from_members(graph, points, owner, layer, link_cap(graph, layer), false, scratch, local);
  }

  bool entry_leaving = false;
  if (graph.entry_point) {
    uint32_t entry = find_slot(points, *graph.entry_point);
    entry_leaving = entry != NO_SLOT && is_leaving(entry);
  }
  for (uint32_t slot : slots) remove_node(graph, slot);
  if (!entry_leaving) return;

  // The new entry point is a node of the highest level left.
  uint32_t best = NO_SLOT;
  size_t best_level = 0;
  for (const auto& [slot, upper] : graph.upper_layers) {
    if (best == NO_SLOT || upper.size() > best_level || (upper.size() == best_level && slot < best)) {
      best = slot;
      best_level = upper.size();
    }
  }
  for (uint32_t slot = 0; best == NO_SLOT && slot < slots_in_table; ++slot) {
    if (has_node(graph, slot)) best = slot;
  }
  if (best == NO_SLOT) {
    graph.entry_point.reset();
    graph.max_level = 0;
  } else {
    graph.entry_point = slot_key(points, best);
    graph.max_level = best_level;
  }
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
