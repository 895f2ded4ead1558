#include "index/neighbor_selection.h"

#include <algorithm>
#include <cmath>

namespace tarnwick {

namespace {

// Marks of a candidate in select_neighbors: pruned by a kept point, and
// pointing the same way as a kept point (SAME_WAY_DISTANCE).
constexpr uint8_t PRUNED = 1;
constexpr uint8_t SAME_WAY = 2;

}  // namespace

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
//
// A kept point that points the same way as one kept before it (a copy, or a
// copy up to rounding) would prune what that one pruned already, so it
// measures nothing: among many copies, a list costs its length in
// measurements rather than its square.
void select_neighbors(const PointTable& points, std::span<const WalkPair> ranked, size_t cap,
                      std::vector<uint32_t>& chosen, WalkScratch& scratch, InsertScratch& local) {
  std::vector<uint8_t>& pruned = local.pruned;
  std::vector<uint32_t>& later = local.later;
  std::vector<uint32_t>& later_index = local.later_index;
  chosen.clear();
  pruned.assign(ranked.size(), 0);
  for (size_t i = 0; i < ranked.size() && chosen.size() < cap; ++i) {
    if (pruned[i] & PRUNED) continue;
    chosen.push_back(ranked[i].slot);
    if (chosen.size() == cap) break;
    if (pruned[i] & SAME_WAY) continue;
    later.clear();
    later_index.clear();
    for (size_t j = i + 1; j < ranked.size(); ++j) {
      if (pruned[j] & PRUNED) continue;
      later.push_back(ranked[j].slot);
      later_index.push_back(static_cast<uint32_t>(j));
    }
    if (later.empty()) break;
    scratch.chosen_distances.resize(later.size());
    measure_slots(stored_walk_query(points, ranked[i].slot), points, later,
                  scratch.chosen_distances.data());
    for (size_t k = 0; k < later.size(); ++k) {
      const float d = scratch.chosen_distances[k];
      if (d < ranked[later_index[k]].distance) pruned[later_index[k]] |= PRUNED;
      if (d <= SAME_WAY_DISTANCE) pruned[later_index[k]] |= SAME_WAY;
    }
  }
}

void begin_members(const PointTable& points, InsertScratch& local) {
  for (uint32_t word : local.seen_words) local.seen[word] = 0;
  local.seen_words.clear();
  local.members.clear();
  const size_t words = slot_count(points) / 64 + 1;
  if (local.seen.size() < words) local.seen.resize(words, 0);
}

void consider(const PointTable& points, uint32_t owner, uint32_t n, InsertScratch& local) {
  if (take_slot(points, owner, n, local)) local.members.push_back(n);
}

bool nearer_distance(const WalkPair& a, const WalkPair& b) {
  float ka = std::isnan(a.distance) ? INFINITY : a.distance;
  float kb = std::isnan(b.distance) ? INFINITY : b.distance;
  return ka < kb;
}

namespace {

// Puts back into `local.kept` every member that is a tree edge of the owner
// and the heuristic left out, each in place of the farthest kept member that
// is not one. A serial caller's list may grow past `cap` when tree edges fill
// it; a parallel caller's must fit its block, and when it would not, returns
// false: the list is then left as it is (a list holds at most
// tree_edge_limit + 1 tree edges, so this takes a loaded graph's long lists).
bool keep_tree_edges(const HnswIndex& graph, uint32_t owner, size_t cap, bool parallel,
                     InsertScratch& local) {
  std::vector<uint32_t>& kept = local.kept;
  size_t evictable = kept.size();  // kept[0, evictable) may still give way
  for (uint32_t member : local.members) {
    if (!is_tree_edge(graph, owner, member)) continue;
    if (std::find(kept.begin(), kept.end(), member) != kept.end()) continue;
    if (kept.size() >= cap) {
      while (evictable > 0 && is_tree_edge(graph, owner, kept[evictable - 1])) --evictable;
      if (evictable > 0) {
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(--evictable));
      }
    }
    kept.push_back(member);
  }
  return !parallel || kept.size() <= graph.layer0_capacity;
}

}  // namespace

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
  if (layer == 0 && graph.bookkeeping && !keep_tree_edges(graph, owner, cap, parallel, local)) {
    return;
  }
  set_neighbors(graph, owner, layer, local.kept, parallel);
}

}  // namespace tarnwick
