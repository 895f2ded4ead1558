#include "index/graph_delta.h"

#include <algorithm>

namespace tarnwick {

namespace {

bool contains(std::span<const uint32_t> list, uint32_t slot) {
  return std::find(list.begin(), list.end(), slot) != list.end();
}

std::vector<uint64_t> keys_of(const PointTable& points, std::span<const uint32_t> list) {
  std::vector<uint64_t> keys;
  keys.reserve(list.size());
  for (uint32_t slot : list) keys.push_back(slot_key(points, slot));
  return keys;
}

// Slots by key for resolving a delta: a key must name a node, or a node the
// delta places, and no leaving one.
struct KeyResolver {
  const HnswIndex& graph;
  const PointTable& points;
  std::span<const uint32_t> placed;   // ascending
  std::span<const uint32_t> leaving;  // ascending

  bool is_placed(uint32_t slot) const { return std::binary_search(placed.begin(), placed.end(), slot); }
  bool is_leaving(uint32_t slot) const { return std::binary_search(leaving.begin(), leaving.end(), slot); }
  // The slot of a node that stays, or NO_SLOT.
  uint32_t node(uint64_t key) const {
    const uint32_t slot = find_slot(points, key);
    if (slot == NO_SLOT || is_leaving(slot)) return NO_SLOT;
    return has_node(graph, slot) || is_placed(slot) ? slot : NO_SLOT;
  }
  // The slots a list names: each key's, none of them leaving. Whether each
  // holds a node is not asked (a walk passes over a slot without one); the
  // owners and the edits' entries tell a graph that is not the writer's.
  bool list(std::span<const uint64_t> keys, std::vector<uint32_t>& out) const {
    out.clear();
    out.reserve(keys.size());
    for (uint64_t key : keys) {
      const uint32_t slot = find_slot(points, key);
      if (slot == NO_SLOT || (!leaving.empty() && is_leaving(slot))) return false;
      out.push_back(slot);
    }
    return true;
  }
  // A node the delta does not place, and that stays.
  uint32_t other_node(uint64_t key) const {
    const uint32_t slot = node(key);
    return slot == NO_SLOT || is_placed(slot) || !has_node(graph, slot) ? NO_SLOT : slot;
  }
};

bool is_placed(const ListCapture& capture, uint32_t owner) {
  return std::binary_search(capture.placed.begin(), capture.placed.end(), owner);
}

}  // namespace

void clear_list_capture(ListCapture& capture) {
  // A large change's buffers are let go rather than held by the store.
  constexpr size_t KEPT_ENTRIES = 256;
  for (LinkChangeLog::Stripe& stripe : capture.layer0.stripes) {
    stripe.changes.clear();
    if (stripe.changes.capacity() > KEPT_ENTRIES) stripe.changes.shrink_to_fit();
  }
  capture.placed = {};
  capture.upper.clear();
  if (capture.upper.capacity() > KEPT_ENTRIES) capture.upper.shrink_to_fit();
}

void capture_layer0_entries(ListCapture& capture, uint32_t owner, std::span<const uint32_t> entries) {
  if (is_placed(capture, owner)) return;
  LinkChangeLog::Stripe& stripe = capture.layer0.stripes[owner % LinkChangeLog::STRIPES];
  std::lock_guard guard(stripe.mutex);
  for (uint32_t n : entries) stripe.changes.push_back({owner, n});
}

void capture_upper_touch(ListCapture& capture, uint32_t owner, size_t layer) {
  if (is_placed(capture, owner)) return;
  std::lock_guard guard(capture.upper_mutex);
  capture.upper.push_back(uint64_t{owner} << 8 | layer);
}

GraphDelta take_graph_delta(const HnswIndex& graph, const PointTable& points, const ListCapture& capture,
                            std::span<const uint32_t> placed) {
  GraphDelta delta;
  auto is_placed = [&](uint32_t slot) { return std::binary_search(placed.begin(), placed.end(), slot); };
  delta.nodes.reserve(placed.size());
  for (uint32_t slot : placed) {
    if (!has_node(graph, slot)) continue;
    DeltaNode& node = delta.nodes.emplace_back();
    node.key = slot_key(points, slot);
    const size_t level = node_level(graph, slot);
    for (size_t layer = 0; layer <= level; ++layer) node.lists.push_back(keys_of(points, neighbors(graph, slot, layer)));
  }
  // An entry gained and lost again changed nothing: only the entries that
  // changed an odd number of times changed.
  std::vector<uint64_t> changes;
  size_t total = 0;
  for (const LinkChangeLog::Stripe& stripe : capture.layer0.stripes) total += stripe.changes.size();
  changes.reserve(total);
  for (const LinkChangeLog::Stripe& stripe : capture.layer0.stripes) {
    for (LinkChange change : stripe.changes) changes.push_back(uint64_t{change.owner} << 32 | change.entry);
  }
  std::sort(changes.begin(), changes.end());
  for (size_t i = 0; i < changes.size();) {
    size_t run = i;
    while (run < changes.size() && changes[run] == changes[i]) ++run;
    const uint32_t owner = static_cast<uint32_t>(changes[i] >> 32);
    const uint32_t entry = static_cast<uint32_t>(changes[i]);
    const bool changed = (run - i) % 2 == 1;
    i = run;
    if (!changed || is_placed(owner) || !has_node(graph, owner)) continue;
    const uint64_t owner_key = slot_key(points, owner);
    if (delta.edits.empty() || delta.edits.back().owner != owner_key) {
      delta.edits.push_back(DeltaEdit{owner_key, {}, {}});
    }
    DeltaEdit& edit = delta.edits.back();
    (contains(layer0_neighbors(graph, owner), entry) ? edit.added : edit.removed).push_back(slot_key(points, entry));
  }
  std::vector<uint64_t> touched = capture.upper;
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (uint64_t touch : touched) {
    const uint32_t owner = static_cast<uint32_t>(touch >> 8);
    const uint32_t layer = static_cast<uint32_t>(touch & 0xff);
    if (is_placed(owner) || !has_list(graph, owner, layer)) continue;
    delta.upper.push_back(DeltaList{slot_key(points, owner), layer, keys_of(points, neighbors(graph, owner, layer))});
  }
  delta.entry_point = graph.entry_point;
  delta.max_level = graph.max_level;
  return delta;
}

bool resolve_graph_delta(const HnswIndex& graph, const PointTable& points, const GraphDelta& delta,
                         std::span<const uint32_t> placed, std::span<const uint32_t> leaving,
                         ResolvedDelta& out) {
  out = ResolvedDelta();
  std::vector<uint32_t> given;
  given.reserve(delta.nodes.size());
  for (const DeltaNode& node : delta.nodes) {
    const uint32_t slot = find_slot(points, node.key);
    if (slot == NO_SLOT || !has_record(points, slot) || node.lists.empty() || node.lists.size() > MAX_LAYERS) {
      return false;
    }
    given.push_back(slot);
  }
  std::sort(given.begin(), given.end());
  if (!std::equal(given.begin(), given.end(), placed.begin(), placed.end())) return false;
  const KeyResolver resolve{graph, points, placed, leaving};

  out.nodes.reserve(delta.nodes.size());
  for (const DeltaNode& node : delta.nodes) {
    ResolvedDelta::Node& resolved = out.nodes.emplace_back();
    resolved.slot = find_slot(points, node.key);
    resolved.key = node.key;
    resolved.level = node.lists.size() - 1;
    for (size_t layer = 0; layer < node.lists.size(); ++layer) {
      if (!resolve.list(node.lists[layer], resolved.lists[layer])) return false;
    }
  }
  std::vector<uint32_t> added;
  for (const DeltaEdit& edit : delta.edits) {
    const uint32_t owner = resolve.other_node(edit.owner);
    if (owner == NO_SLOT) return false;
    std::span<const uint32_t> current = layer0_neighbors(graph, owner);
    std::vector<uint32_t> list;
    list.reserve(current.size() + edit.added.size());
    std::vector<uint32_t> removed;
    for (uint64_t key : edit.removed) {
      // A leaving node may be removed from a list: it is still in the graph.
      const uint32_t slot = find_slot(points, key);
      if (slot == NO_SLOT || !contains(current, slot) || contains(removed, slot)) return false;
      removed.push_back(slot);
    }
    for (uint32_t slot : current) {
      if (!contains(removed, slot)) list.push_back(slot);
    }
    if (!resolve.list(edit.added, added)) return false;
    for (uint32_t slot : added) {
      if (contains(list, slot)) return false;
      list.push_back(slot);
    }
    out.lists.push_back(ResolvedDelta::List{owner, 0, std::move(list)});
  }
  for (const DeltaList& upper : delta.upper) {
    const uint32_t owner = resolve.other_node(upper.owner);
    // A node may lack the writer's empty lists at its top (a loaded graph
    // keeps a node's lists up to its highest non-empty one): it reaches
    // that layer again when the list is installed.
    if (owner == NO_SLOT || upper.layer == 0 || upper.layer >= MAX_LAYERS) return false;
    ResolvedDelta::List& resolved = out.lists.emplace_back(ResolvedDelta::List{owner, upper.layer, {}});
    if (!resolve.list(upper.list, resolved.list)) return false;
  }
  // Each list is given once.
  std::vector<uint64_t> lists;
  for (const ResolvedDelta::List& list : out.lists) lists.push_back(uint64_t{list.owner} << 8 | list.layer);
  std::sort(lists.begin(), lists.end());
  if (std::adjacent_find(lists.begin(), lists.end()) != lists.end()) return false;
  if (delta.entry_point) {
    if (resolve.node(*delta.entry_point) == NO_SLOT) return false;
  } else if (!placed.empty() || graph.node_count > leaving.size()) {
    return false;  // nodes stay or come: the writer's graph has an entry point
  }
  out.entry_point = delta.entry_point;
  out.max_level = std::min<uint64_t>(delta.max_level, MAX_LAYERS - 1);
  return true;
}

void drop_link_bookkeeping(HnswIndex& graph) {
  if (!graph.bookkeeping && graph.tree_parent.empty()) return;
  graph.bookkeeping = false;
  graph.tree_pending = false;
  graph.one_way = OneWayLinks{};
  graph.link_changes.reset();
  graph.upper_in_links = {};
  graph.uncounted_links = 0;
  graph.tree_parent = {};
  graph.tree_rank = {};
  graph.next_rank = 0;
  graph.root_rank = 0;
}

void install_graph_delta(HnswIndex& graph, ResolvedDelta& delta) {
  drop_link_bookkeeping(graph);
  for (ResolvedDelta::Node& node : delta.nodes) {
    install_node(graph, node.slot, node.key, node.key, node.lists, node.level);
  }
  for (ResolvedDelta::List& list : delta.lists) {
    reach_level(graph, list.owner, list.layer);
    set_neighbors(graph, list.owner, list.layer, list.list);
  }
  graph.entry_point = delta.entry_point;
  graph.max_level = delta.max_level;
}

}  // namespace tarnwick
