#include "index/hnsw.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "index/graph_delta.h"

namespace tarnwick {

namespace {

size_t block_words(const HnswIndex& graph) { return size_t{graph.layer0_capacity} + 1; }

// The block of a slot, making its chunk (every slot without a node) if needed.
uint32_t* make_block(HnswIndex& graph, uint32_t slot) {
  if (graph.layer0_capacity == 0) {
    // Room for every list insertion keeps at layer 0; at least one link.
    graph.layer0_capacity = static_cast<uint32_t>(std::max<size_t>(link_cap(graph, 0), 2));
  }
  size_t chunk = slot / LAYER0_CHUNK_SLOTS;
  if (graph.layer0_chunks.size() <= chunk) graph.layer0_chunks.resize(chunk + 1);
  if (!graph.layer0_chunks[chunk]) {
    const size_t words = block_words(graph);
    auto fresh = std::make_unique_for_overwrite<uint32_t[]>(LAYER0_CHUNK_SLOTS * words);
    for (size_t s = 0; s < LAYER0_CHUNK_SLOTS; ++s) fresh[s * words] = NO_NODE;
    graph.layer0_chunks[chunk] = std::move(fresh);
  }
  return const_cast<uint32_t*>(layer0_block(graph, slot));
}

uint32_t* block_of(HnswIndex& graph, uint32_t slot) {
  return const_cast<uint32_t*>(layer0_block(graph, slot));
}

// Adds `delta` to the in-link count, at `layer` (above 0), of every slot the
// list names. Lists of different nodes may change at once on several
// threads, so the counts change atomically.
void count_links(HnswIndex& graph, std::span<const uint32_t> list, size_t layer, uint32_t delta) {
  if (!graph.bookkeeping || list.empty() || layer == 0) return;
  bool uncounted = false;
  for (uint32_t n : list) {
    auto it = graph.upper_in_links.find(n);
    if (it != graph.upper_in_links.end()) {
      std::atomic_ref<uint32_t>(it->second[layer - 1]).fetch_add(delta, std::memory_order_relaxed);
    } else {
      uncounted = true;
    }
  }
  if (uncounted) std::atomic_ref<uint8_t>(graph.uncounted_links).store(1, std::memory_order_relaxed);
}

// Logs the entries by which the layer-0 list of `owner` changes from `before`
// to `after`. Lists of different nodes may change at once on several threads.
void log_changes(HnswIndex& graph, uint32_t owner, std::span<const uint32_t> before,
                 std::span<const uint32_t> after) {
  if (graph.capture == nullptr && !graph.bookkeeping) return;
  // The entries in one list and not the other, found once for both logs
  // that take them.
  constexpr size_t ON_STACK = 256;
  uint32_t stack[ON_STACK];
  std::vector<uint32_t> heap;
  uint32_t* changed = stack;
  if (before.size() + after.size() > ON_STACK) {
    heap.resize(before.size() + after.size());
    changed = heap.data();
  }
  size_t count = 0;
  for (uint32_t n : before) {
    if (std::find(after.begin(), after.end(), n) == after.end()) changed[count++] = n;
  }
  for (uint32_t n : after) {
    if (std::find(before.begin(), before.end(), n) == before.end()) changed[count++] = n;
  }
  if (count == 0) return;
  const std::span<const uint32_t> entries(changed, count);
  if (graph.capture != nullptr) capture_layer0_entries(*graph.capture, owner, entries);
  if (!graph.bookkeeping) return;
  LinkChangeLog::Stripe& stripe = graph.link_changes->stripes[owner % LinkChangeLog::STRIPES];
  std::lock_guard guard(stripe.mutex);
  for (uint32_t n : entries) stripe.changes.push_back({owner, n});
}

constexpr uint32_t ONE_MORE = 1;
constexpr uint32_t ONE_LESS = UINT32_MAX;  // adds as -1 modulo 2^32

// Counts the lists of the node in this slot out (before they go or change).
void uncount_node(HnswIndex& graph, uint32_t slot) {
  log_changes(graph, slot, layer0_neighbors(graph, slot), {});
  if (!graph.bookkeeping) return;
  if (const auto* upper = upper_lists(graph, slot)) {
    for (size_t layer = 1; layer <= upper->size() && layer < MAX_LAYERS; ++layer) {
      count_links(graph, (*upper)[layer - 1], layer, ONE_LESS);
    }
  }
}

void count_node(HnswIndex& graph, uint32_t slot) {
  log_changes(graph, slot, {}, layer0_neighbors(graph, slot));
  if (!graph.bookkeeping) return;
  if (const auto* upper = upper_lists(graph, slot)) {
    for (size_t layer = 1; layer <= upper->size() && layer < MAX_LAYERS; ++layer) {
      count_links(graph, (*upper)[layer - 1], layer, ONE_MORE);
    }
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
                  const NeighborLists& lists, size_t level) {
  size_t top = std::min(level, MAX_LAYERS - 1);
  for (size_t layer = top + 1; layer < MAX_LAYERS; ++layer) {
    if (!lists[layer].empty()) top = layer;
  }
  // Every allocation first, so that a failure leaves the graph as it was.
  uint32_t* block = make_block(graph, slot);
  const bool overflows = lists[0].size() > graph.layer0_capacity;
  std::vector<uint32_t> overflow_list;
  if (overflows) overflow_list.assign(lists[0].begin(), lists[0].end());
  std::vector<std::vector<uint32_t>> upper;
  if (top > 0) {
    upper.reserve(top);
    for (size_t layer = 1; layer <= top; ++layer) upper.push_back(lists[layer]);
  }
  bool new_overflow = false, new_upper = false;
  try {
    if (overflows) new_overflow = graph.layer0_overflow.try_emplace(slot).second;
    if (top > 0) new_upper = graph.upper_layers.try_emplace(slot).second;
    if (node_id != key) graph.foreign_node_ids.try_emplace(slot);
  } catch (...) {
    if (new_overflow) graph.layer0_overflow.erase(slot);
    if (new_upper) graph.upper_layers.erase(slot);
    throw;
  }

  if (graph.bookkeeping && top > 0) graph.upper_in_links.try_emplace(slot);

  // Nothing below allocates.
  const bool replacing = *block != NO_NODE;
  if (replacing) uncount_node(graph, slot);
  if (!replacing) ++graph.node_count;
  if (overflows) {
    graph.layer0_overflow[slot] = std::move(overflow_list);
    *block = OVERFLOWED;
  } else {
    if (*block == OVERFLOWED) graph.layer0_overflow.erase(slot);
    if (!lists[0].empty()) std::memcpy(block + 1, lists[0].data(), lists[0].size() * sizeof(uint32_t));
    *block = static_cast<uint32_t>(lists[0].size());
  }
  if (top > 0) {
    graph.upper_layers[slot] = std::move(upper);
  } else if (replacing) {
    graph.upper_layers.erase(slot);  // a new node has no upper lists to drop
  }
  if (node_id != key) {
    graph.foreign_node_ids[slot] = node_id;
  } else if (replacing && !graph.foreign_node_ids.empty()) {
    graph.foreign_node_ids.erase(slot);
  }
  count_node(graph, slot);
}

void reach_level(HnswIndex& graph, uint32_t slot, size_t level) {
  level = std::min(level, MAX_LAYERS - 1);
  if (level == 0 || node_level(graph, slot) >= level) return;
  if (graph.capture != nullptr) capture_upper_touch(*graph.capture, slot, level);
  if (graph.bookkeeping) graph.upper_in_links.try_emplace(slot);
  graph.upper_layers[slot].resize(level);
}

void drop_lists_above(HnswIndex& graph, uint32_t slot, size_t level) {
  if (node_level(graph, slot) <= level) return;
  if (graph.capture != nullptr) capture_upper_touch(*graph.capture, slot, level + 1);
  if (graph.bookkeeping) {
    const auto& upper = graph.upper_layers.find(slot)->second;
    for (size_t layer = level + 1; layer <= upper.size() && layer < MAX_LAYERS; ++layer) {
      count_links(graph, upper[layer - 1], layer, ONE_LESS);
    }
  }
  if (level == 0) {
    graph.upper_layers.erase(slot);
  } else {
    graph.upper_layers.find(slot)->second.resize(level);
  }
}

void remove_node(HnswIndex& graph, uint32_t slot) {
  if (!has_node(graph, slot)) return;
  uncount_node(graph, slot);
  uint32_t* block = block_of(graph, slot);
  if (*block == OVERFLOWED) graph.layer0_overflow.erase(slot);
  *block = NO_NODE;
  --graph.node_count;
  graph.upper_layers.erase(slot);
  graph.upper_in_links.erase(slot);
  if (!graph.foreign_node_ids.empty()) graph.foreign_node_ids.erase(slot);
}

size_t node_level(const HnswIndex& graph, uint32_t slot) {
  if (graph.upper_layers.empty()) return 0;
  auto it = graph.upper_layers.find(slot);
  return it == graph.upper_layers.end() ? 0 : it->second.size();
}

bool has_list(const HnswIndex& graph, uint32_t slot, size_t layer) {
  return has_node(graph, slot) && (layer == 0 || node_level(graph, slot) >= layer);
}

void set_neighbors(HnswIndex& graph, uint32_t slot, size_t layer,
                   std::span<const uint32_t> list, bool parallel) {
  // The new list is counted before the old one is counted out, so that no
  // count of an entry both keep passes through zero.
  count_links(graph, list, layer, ONE_MORE);
  if (layer > 0) {
    if (graph.capture != nullptr) capture_upper_touch(*graph.capture, slot, layer);
    std::vector<uint32_t>& stored = graph.upper_layers.find(slot)->second[layer - 1];
    count_links(graph, stored, layer, ONE_LESS);
    stored.assign(list.begin(), list.end());
    return;
  }
  log_changes(graph, slot, layer0_neighbors(graph, slot), list);
  uint32_t* block = block_of(graph, slot);
  if (list.size() <= graph.layer0_capacity) {
    if (*block == OVERFLOWED && !parallel) graph.layer0_overflow.erase(slot);
    if (!list.empty()) std::memmove(block + 1, list.data(), list.size_bytes());
    *block = static_cast<uint32_t>(list.size());
  } else {
    graph.layer0_overflow[slot].assign(list.begin(), list.end());
    *block = OVERFLOWED;
  }
}

void append_neighbor(HnswIndex& graph, uint32_t slot, size_t layer, uint32_t neighbor) {
  if (layer > 0) {
    if (graph.capture != nullptr) capture_upper_touch(*graph.capture, slot, layer);
    count_links(graph, std::span<const uint32_t>(&neighbor, 1), layer, ONE_MORE);
    graph.upper_layers.find(slot)->second[layer - 1].push_back(neighbor);
    return;
  }
  uint32_t* block = block_of(graph, slot);
  if (*block != OVERFLOWED && *block < graph.layer0_capacity) {
    log_changes(graph, slot, {}, std::span<const uint32_t>(&neighbor, 1));
    block[1 + *block] = neighbor;
    ++*block;
    return;
  }
  std::vector<uint32_t> longer(layer0_neighbors(graph, slot).begin(),
                               layer0_neighbors(graph, slot).end());
  longer.push_back(neighbor);
  set_neighbors(graph, slot, 0, longer);
}

uint32_t in_link_count(const HnswIndex& graph, uint32_t slot, size_t layer) {
  auto it = graph.upper_in_links.find(slot);
  return it == graph.upper_in_links.end() ? 0 : it->second[layer - 1];
}

void reserve_link_changes(HnswIndex& graph, size_t nodes) {
  if (!graph.bookkeeping) return;
  nodes = std::min(nodes, LinkChangeLog::RESERVED_NODES);
  const size_t room = nodes * LinkChangeLog::CHANGES_PER_NODE / LinkChangeLog::STRIPES;
  for (LinkChangeLog::Stripe& stripe : graph.link_changes->stripes) stripe.changes.reserve(room);
}

void settle_link_changes(HnswIndex& graph) {
  if (!graph.bookkeeping) return;
  // Each pair as one number, the smaller slot in the high half: sorted, equal
  // pairs fall together and nodes come in order.
  std::vector<uint64_t> pairs;
  for (LinkChangeLog::Stripe& stripe : graph.link_changes->stripes) {
    for (LinkChange change : stripe.changes) {
      // Whether a names b and whether b names a are settled together.
      const uint64_t low = std::min(change.owner, change.entry);
      const uint64_t high = std::max(change.owner, change.entry);
      pairs.push_back(low << 32 | high);
    }
    stripe.changes.clear();
    // A batch logs a hundred changes and more a node; the room they took goes
    // with them, or the store would keep its largest batch's log for good.
    if (stripe.changes.capacity() > LinkChangeLog::KEPT_CHANGES) {
      std::vector<LinkChange>().swap(stripe.changes);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  auto names = [&](uint32_t owner, uint32_t n) {
    std::span<const uint32_t> list = layer0_neighbors(graph, owner);
    return std::find(list.begin(), list.end(), n) != list.end();
  };
  for (const uint64_t pair : pairs) {
    const uint32_t a = static_cast<uint32_t>(pair >> 32), b = static_cast<uint32_t>(pair);
    if (a == b) continue;  // a list naming its own node (only a loaded graph has one)
    const bool a_names_b = names(a, b);
    const bool b_names_a = names(b, a);
    if (a_names_b && !b_names_a) {
      add_one_way(graph.one_way, b, a);
    } else {
      remove_one_way(graph.one_way, b, a);
    }
    if (b_names_a && !a_names_b) {
      add_one_way(graph.one_way, a, b);
    } else {
      remove_one_way(graph.one_way, a, b);
    }
  }
}

void drop_stale_overflow(HnswIndex& graph) {
  std::erase_if(graph.layer0_overflow, [&](const auto& entry) {
    const uint32_t* block = layer0_block(graph, entry.first);
    return block == nullptr || *block != OVERFLOWED;
  });
}

}  // namespace tarnwick
