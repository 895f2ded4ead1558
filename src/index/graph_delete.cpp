#include "index/graph_delete.h"

#include <algorithm>

#include "index/neighbor_selection.h"
#include "index/spanning_tree.h"

namespace tarnwick {

LeavingSlots mark_leaving(const PointTable& points, std::span<const uint32_t> slots) {
  LeavingSlots leaving;
  leaving.slots = slots;
  if (slots.size() < FEW_LEAVING) return leaving;
  leaving.marks.assign(slot_count(points), 0);
  for (uint32_t slot : slots) {
    if (slot < leaving.marks.size()) leaving.marks[slot] = 1;
  }
  return leaving;
}

void find_upper_lists_naming(const HnswIndex& graph, const LeavingSlots& leaving,
                             std::vector<ListRef>& out) {
  auto is_leaving = [&](uint32_t n) { return leaving.contains(n); };
  for (const auto& [owner, lists] : graph.upper_layers) {
    if (leaving.contains(owner)) continue;
    for (size_t layer = 1; layer <= lists.size() && layer < MAX_LAYERS; ++layer) {
      const std::vector<uint32_t>& list = lists[layer - 1];
      if (std::any_of(list.begin(), list.end(), is_leaving)) {
        out.push_back({owner, static_cast<uint32_t>(layer)});
      }
    }
  }
}

void find_layer0_lists_naming(const HnswIndex& graph, uint32_t target, std::vector<ListRef>& out) {
  for (uint32_t n : layer0_neighbors(graph, target)) {
    std::span<const uint32_t> list = layer0_neighbors(graph, n);
    if (n != target && std::find(list.begin(), list.end(), target) != list.end()) {
      out.push_back({n, 0});
    }
  }
  for_each_one_way(graph.one_way, target, [&](uint32_t n) { out.push_back({n, 0}); });
}

bool find_lists_naming_nearby(const HnswIndex& graph, const PointTable& points, uint32_t target,
                              size_t layer, std::vector<ListRef>& out) {
  const uint32_t expected = in_link_count(graph, target, layer);
  if (expected == 0) return true;
  InsertScratch& local = thread_insert_scratch();
  begin_members(points, local);
  const size_t first_found = out.size();
  uint32_t found = 0;
  // Looks at one list once; true once every list naming the target is found.
  auto look = [&](uint32_t owner) {
    if (!can_mark(local, owner) || !mark_seen(local, owner)) return false;
    std::span<const uint32_t> list = neighbors(graph, owner, layer);
    uint32_t times = static_cast<uint32_t>(std::count(list.begin(), list.end(), target));
    if (times > 0) {
      out.push_back({owner, static_cast<uint32_t>(layer)});
      found += times;
    }
    return found >= expected;
  };
  if (look(target)) return true;
  std::span<const uint32_t> own = neighbors(graph, target, layer);
  for (uint32_t n : own) {
    if (look(n)) return true;
  }
  for (uint32_t n : own) {
    for (uint32_t second : neighbors(graph, n, layer)) {
      if (look(second)) return true;
    }
  }
  for (size_t i = first_found; i < out.size(); ++i) {
    for (uint32_t second : neighbors(graph, out[i].owner, layer)) {
      if (look(second)) return true;
    }
  }
  return false;
}

std::vector<uint32_t> orphans_of(const HnswIndex& graph, const LeavingSlots& leaving) {
  std::vector<uint32_t> orphans;
  if (!graph.bookkeeping) return orphans;
  std::vector<uint32_t> children;
  for (uint32_t slot : leaving.slots) {
    children.clear();
    tree_children(graph, slot, children);
    for (uint32_t child : children) {
      if (!leaving.contains(child)) orphans.push_back(child);
    }
  }
  return orphans;
}

// The list keeps every neighbour that stays, and only the places the leaving
// ones free are filled, by the heuristic, from the leaving ones' neighbours a
// staying neighbour does not already cover. Choosing the whole list again from
// both would drop, at each repair, some of the few long links between
// clusters (a nearer newcomer in their direction prunes them): churn made of
// single deletes then cut whole clusters off from the default beam.
void rechoose_list(HnswIndex& graph, const PointTable& points, const LeavingSlots& leaving,
                   ListRef list, bool parallel) {
  const uint32_t owner = list.owner;
  const size_t layer = list.layer;
  InsertScratch& local = thread_insert_scratch();
  WalkScratch& scratch = thread_walk_scratch();
  begin_members(points, local);
  std::vector<uint32_t>& staying = local.chosen;
  staying.clear();
  for (uint32_t n : neighbors(graph, owner, layer)) {
    if (!leaving.contains(n) && take_slot(points, owner, n, local)) staying.push_back(n);
  }
  for (uint32_t n : neighbors(graph, owner, layer)) {
    if (!leaving.contains(n)) continue;
    for (uint32_t second : neighbors(graph, n, layer)) {
      if (!leaving.contains(second)) {
        consider(points, owner, second, local);
        continue;
      }
      for (uint32_t third : neighbors(graph, second, layer)) {
        if (!leaving.contains(third)) consider(points, owner, third, local);
      }
    }
  }
  const size_t cap = link_cap(graph, layer);
  const std::vector<uint32_t>& members = local.members;
  if (staying.size() < cap && !members.empty()) {
    local.member_distances.resize(members.size());
    measure_slots(stored_walk_query(points, owner), points, members, local.member_distances.data());
    // A member nearer to a staying neighbour than to the owner is covered by
    // it; each staying neighbour measures only the members none covered yet.
    std::vector<uint32_t>& open = local.later;
    std::vector<uint32_t>& open_index = local.later_index;
    open.assign(members.begin(), members.end());
    open_index.resize(members.size());
    for (size_t i = 0; i < members.size(); ++i) open_index[i] = static_cast<uint32_t>(i);
    std::vector<float>& from_staying = scratch.chosen_distances;
    for (size_t k = 0; k < staying.size() && !open.empty(); ++k) {
      from_staying.resize(open.size());
      measure_slots(stored_walk_query(points, staying[k]), points, open, from_staying.data());
      size_t left = 0;
      for (size_t j = 0; j < open.size(); ++j) {
        if (from_staying[j] < local.member_distances[open_index[j]]) continue;
        open[left] = open[j];
        open_index[left++] = open_index[j];
      }
      open.resize(left);
      open_index.resize(left);
    }
    local.ranked.clear();
    for (size_t j = 0; j < open.size(); ++j) {
      local.ranked.push_back(WalkPair{local.member_distances[open_index[j]], open_index[j], open[j]});
    }
    std::stable_sort(local.ranked.begin(), local.ranked.end(), nearer_distance);
    select_neighbors(points, local.ranked, cap - staying.size(), local.kept, scratch, local);
    staying.insert(staying.end(), local.kept.begin(), local.kept.end());
  }
  set_neighbors(graph, owner, layer, staying, parallel);
}

void remove_leaving_nodes(HnswIndex& graph, const PointTable& points, const LeavingSlots& leaving) {
  bool entry_leaving = false;
  if (graph.entry_point) {
    uint32_t entry = find_slot(points, *graph.entry_point);
    entry_leaving = entry != NO_SLOT && leaving.contains(entry);
  }
  for (uint32_t slot : leaving.slots) remove_node(graph, slot);
  for (uint32_t slot : leaving.slots) forget_slot(graph, slot);
  if (!graph.layer0_overflow.empty()) drop_stale_overflow(graph);
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
  const uint32_t slots = static_cast<uint32_t>(slot_count(points));
  for (uint32_t slot = 0; best == NO_SLOT && slot < slots; ++slot) {
    if (has_node(graph, slot)) best = slot;
  }
  if (best == NO_SLOT) {
    graph.entry_point.reset();
    graph.max_level = 0;
  } else {
    graph.entry_point = slot_key(points, best);
    graph.max_level = best_level;
    if (graph.bookkeeping) make_root(graph, points, best, NO_SLOT, nullptr);
  }
}

}  // namespace tarnwick
