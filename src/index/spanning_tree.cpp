#include "index/spanning_tree.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include "index/link_census.h"
#include "index/neighbor_selection.h"
#include "util/prefetch.h"
#include "util/worker_pool.h"

namespace tarnwick {

namespace {

// Ranks start in the middle of their range: new nodes count up from here,
// new roots down. Once either end comes within this margin of running out,
// the tree is made again with ranks packed from the middle.
constexpr uint32_t MIDDLE_RANK = uint32_t{1} << 31;
constexpr uint32_t RANK_MARGIN = uint32_t{1} << 24;

uint32_t rank_of(const HnswIndex& graph, uint32_t slot) {
  if (slot >= graph.tree_rank.size()) return OUTSIDE_RANK;
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(graph.tree_rank[slot]))
      .load(std::memory_order_relaxed);
}

void set_rank(HnswIndex& graph, uint32_t slot, uint32_t rank) {
  std::atomic_ref<uint32_t>(graph.tree_rank[slot]).store(rank, std::memory_order_relaxed);
}

void set_parent(HnswIndex& graph, uint32_t slot, uint32_t parent) {
  std::atomic_ref<uint32_t>(graph.tree_parent[slot]).store(parent, std::memory_order_relaxed);
}

// The node lock of a slot while insertions run in parallel; none otherwise.
std::unique_lock<std::mutex> lock_node(NodeLocks* locks, uint32_t slot) {
  if (locks == nullptr) return {};
  return std::unique_lock(locks->of(slot));
}

// The tree edges the list of `owner` holds: its children (a child is always
// named in its parent's list) and its parent.
size_t tree_edges_of(const HnswIndex& graph, uint32_t owner) {
  size_t edges = tree_parent_of(graph, owner) == NO_PARENT ? 0 : 1;
  for (uint32_t n : layer0_neighbors(graph, owner)) edges += tree_parent_of(graph, n) == owner;
  return edges;
}

// Makes the layer-0 list of `owner` name `n`, which must already be a tree
// edge of it: appended while the list is short of its budget, else chosen
// again with the heuristic, which keeps every tree edge. The caller holds the
// owner's lock when insertions run in parallel.
void ensure_listed(HnswIndex& graph, const PointTable& points, uint32_t owner, uint32_t n,
                   bool parallel) {
  std::span<const uint32_t> list = layer0_neighbors(graph, owner);
  if (std::find(list.begin(), list.end(), n) != list.end()) return;
  const size_t cap = link_cap(graph, 0);
  if (list.size() < cap && list.size() < graph.layer0_capacity) {
    append_neighbor(graph, owner, 0, n);
    return;
  }
  InsertScratch& local = thread_insert_scratch();
  begin_members(points, local);
  for (uint32_t m : list) consider(points, owner, m, local);
  consider(points, owner, n, local);
  choose_from_members(graph, points, owner, 0, cap, parallel, thread_walk_scratch(), local);
}

// Attaches `slot` below `parent` unless the parent's list holds its share of
// tree edges already. The parent is recorded first, so that from then on
// neither list may drop the other while each is made to name it.
bool try_attach(HnswIndex& graph, const PointTable& points, uint32_t slot, uint32_t parent,
                NodeLocks* locks) {
  const bool parallel = locks != nullptr;
  {
    std::unique_lock guard = lock_node(locks, parent);
    if (!has_node(graph, parent) || tree_edges_of(graph, parent) >= tree_edge_limit(graph)) {
      return false;
    }
    set_parent(graph, slot, parent);
    ensure_listed(graph, points, parent, slot, parallel);
  }
  std::unique_lock guard = lock_node(locks, slot);
  ensure_listed(graph, points, slot, parent, parallel);
  return true;
}

bool in_tree_candidate(const HnswIndex& graph, const PointTable& points, uint32_t slot) {
  return slot < slot_count(points) && has_record(points, slot) && has_node(graph, slot);
}

uint32_t root_slot(const HnswIndex& graph, const PointTable& points) {
  if (!graph.entry_point) return NO_SLOT;
  uint32_t root = find_slot(points, *graph.entry_point);
  return root != NO_SLOT && in_tree_candidate(graph, points, root) ? root : NO_SLOT;
}

// Graphs of this many slots or more make their bookkeeping on the worker pool.
constexpr size_t PARALLEL_BOOKKEEPING_MIN = size_t{1} << 16;

// Grows the tree from the root over links named both ways, each node below
// the first node that reaches it with room for another tree edge. Ranks
// follow the order of attachment. Returns whether some node with a record
// stayed outside (a loaded graph may leave some: a foreign one, or one where
// the first to reach a node had no room left).
bool grow_tree(HnswIndex& graph, const PointTable& points, const LinkCensus& census) {
  const size_t slots = slot_count(points);
  // Room for the slots of the changes that follow: a load makes these, and
  // its first few thousand changes should not each copy them whole.
  const size_t room = slots + slots / 8 + 64;
  graph.tree_parent.reserve(room);
  graph.tree_rank.reserve(room);
  graph.tree_parent.assign(slots, NO_PARENT);
  graph.tree_rank.assign(slots, OUTSIDE_RANK);
  graph.root_rank = MIDDLE_RANK;
  graph.next_rank = MIDDLE_RANK;
  const uint32_t root = root_slot(graph, points);
  if (root == NO_SLOT) return false;
  const size_t limit = tree_edge_limit(graph);
  std::vector<uint8_t> edges(slots, 0);  // tree edges of each list, counted up to 255
  // Whether a slot was reached, and whether it is a node with a record at
  // all: one byte each, at hand, where ranks and flags would be misses.
  constexpr uint8_t REACHED = 1, CANDIDATE = 2;
  std::vector<uint8_t> state(slots, 0);
  for (uint32_t slot = 0; slot < slots; ++slot) {
    state[slot] = in_tree_candidate(graph, points, slot) ? CANDIDATE : 0;
  }
  state[root] |= REACHED;
  // Breadth first; the lists a few places ahead in the queue are requested
  // early, as the order they are read in is known.
  constexpr size_t AHEAD = 4;
  std::vector<uint32_t> queue{root};
  set_rank(graph, root, graph.next_rank++);
  auto attach = [&](uint32_t n, uint32_t owner) {
    state[n] |= REACHED;
    set_parent(graph, n, owner);
    set_rank(graph, n, graph.next_rank++);
    if (edges[owner] < UINT8_MAX) ++edges[owner];
    edges[n] = 1;
    queue.push_back(n);
  };
  size_t head = 0;
  auto grow = [&] {
    for (; head < queue.size(); ++head) {
      if (head + AHEAD < queue.size()) prefetch_line(layer0_block(graph, queue[head + AHEAD]));
      const uint32_t owner = queue[head];
      std::span<const uint32_t> list = layer0_neighbors(graph, owner);
      for (size_t i = 0; i < list.size() && edges[owner] < limit; ++i) {
        const uint32_t n = list[i];
        // Cheapest first: most neighbours are in the tree already.
        if (n >= slots || state[n] != CANDIDATE || !named_back_at(graph, census, owner, list, i)) {
          continue;
        }
        attach(n, owner);
      }
    }
  };
  grow();
  // A node whose neighbours named both ways had no room left when the walk
  // passed them hangs below one of them all the same: the one with the fewest
  // tree edges, and the nodes beyond it follow. The link is in both lists
  // already, so no list grows; a list past its share of tree edges only takes
  // no further children (and keeps fewer links of its own choice). Rounds
  // until one attaches nothing; what is left (reached one way only, or not at
  // all) waits for tree_pending. A graph this store made leaves nothing: its
  // own tree's edges are links named both ways.
  std::vector<uint32_t> outside;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (state[slot] == CANDIDATE) outside.push_back(slot);
  }
  while (!outside.empty()) {
    const size_t before = queue.size();
    for (uint32_t slot : outside) {
      if (state[slot] != CANDIDATE) continue;  // reached meanwhile
      std::span<const uint32_t> list = layer0_neighbors(graph, slot);
      uint32_t parent = NO_SLOT;
      for (size_t i = 0; i < list.size(); ++i) {
        const uint32_t m = list[i];
        if (m >= slots || !(state[m] & REACHED) || (parent != NO_SLOT && edges[m] >= edges[parent]) ||
            !named_back_at(graph, census, slot, list, i)) {
          continue;
        }
        parent = m;
        if (edges[m] < limit) break;
      }
      if (parent != NO_SLOT) attach(slot, parent);
      grow();
    }
    if (queue.size() == before) break;
    std::erase_if(outside, [&](uint32_t slot) { return state[slot] != CANDIDATE; });
  }
  const size_t candidates_total =
      static_cast<size_t>(std::count_if(state.begin(), state.end(), [](uint8_t s) { return s & CANDIDATE; }));
  return queue.size() != candidates_total;
}

// Attaches, below the node that reaches it, every node outside the tree that
// the root reaches one way, by naming each in the other's list.
void attach_reached_one_way(HnswIndex& graph, const PointTable& points) {
  const size_t slots = slot_count(points);
  const uint32_t root = root_slot(graph, points);
  if (root == NO_SLOT) return;
  std::deque<uint32_t> queue;
  std::vector<uint8_t> reached(slots, 0);
  reached[root] = 1;
  queue.assign(1, root);
  while (!queue.empty()) {
    uint32_t owner = queue.front();
    queue.pop_front();
    for (uint32_t n : layer0_neighbors(graph, owner)) {
      if (!in_tree_candidate(graph, points, n) || reached[n]) continue;
      reached[n] = 1;
      queue.push_back(n);
      if (rank_of(graph, n) != OUTSIDE_RANK) continue;
      set_rank(graph, n, graph.next_rank++);
      std::vector<uint32_t> candidates{owner};
      for (uint32_t m : layer0_neighbors(graph, n)) candidates.push_back(m);
      if (!attach_node(graph, points, n, candidates, nullptr)) attach_below_root(graph, points, n);
    }
  }
}

}  // namespace

size_t tree_edge_limit(const HnswIndex& graph) { return std::max<size_t>(2, link_cap(graph, 0) / 2); }

void prepare_link_bookkeeping(HnswIndex& graph, const PointTable& points) {
  const size_t slots = slot_count(points);
  const bool ranks_left = graph.next_rank < OUTSIDE_RANK - RANK_MARGIN && graph.root_rank > RANK_MARGIN;
  if (graph.bookkeeping && ranks_left) {
    if (graph.tree_parent.size() < slots) graph.tree_parent.resize(slots, NO_PARENT);
    if (graph.tree_rank.size() < slots) graph.tree_rank.resize(slots, OUTSIDE_RANK);
  } else {
    make_link_bookkeeping(graph, points);
  }
  if (graph.tree_pending) {
    graph.tree_pending = false;
    attach_reached_one_way(graph, points);
  }
}

void make_link_bookkeeping(HnswIndex& graph, const PointTable& points, TaskThread* beside) {
  graph.bookkeeping = false;
  // A small graph is not worth the pool (nor starting it: an upsert into a
  // new store must not).
  std::shared_ptr<WorkerPool> pool =
      slot_count(points) >= PARALLEL_BOOKKEEPING_MIN ? process_worker_pool() : nullptr;
  const LinkCensus census = take_link_census(graph, points, pool.get());
  // Not on the pool: both allocate as they go (see take_link_census). They
  // write different parts of the graph and read only the lists and records.
  if (beside != nullptr && pool != nullptr) {
    beside->post([&graph, &points, &census] { count_all_links(graph, points, census); });
    bool pending;
    try {
      pending = grow_tree(graph, points, census);
    } catch (...) {
      beside->drain();  // the census it reads lives here
      throw;
    }
    beside->drain();
    graph.tree_pending = pending;
  } else {
    count_all_links(graph, points, census);
    graph.tree_pending = grow_tree(graph, points, census);
  }
  graph.bookkeeping = true;
}


void rank_new_node(HnswIndex& graph, uint32_t slot) { set_rank(graph, slot, graph.next_rank++); }

void forget_slot(HnswIndex& graph, uint32_t slot) {
  if (slot < graph.tree_parent.size()) graph.tree_parent[slot] = NO_PARENT;
  if (slot < graph.tree_rank.size()) graph.tree_rank[slot] = OUTSIDE_RANK;
  clear_one_way(graph.one_way, slot);
}

bool attach_node(HnswIndex& graph, const PointTable& points, uint32_t slot,
                 std::span<const uint32_t> candidates, NodeLocks* locks) {
  const uint32_t rank = rank_of(graph, slot);
  for (uint32_t n : candidates) {
    // Whether n holds a node is read under its lock (its list may be changing).
    if (n == slot || n >= slot_count(points) || !has_record(points, n) || rank_of(graph, n) >= rank) {
      continue;
    }
    if (try_attach(graph, points, slot, n, locks)) return true;
  }
  return false;
}

bool attach_in_subtree(HnswIndex& graph, const PointTable& points, uint32_t slot,
                       uint32_t start, NodeLocks* locks) {
  // Enough for the way down a balanced subtree and a few turns back (the
  // children a parallel build gave ranks above the node's are passed by); a
  // path-shaped subtree (a link budget of two) gives up here rather than
  // walking its length.
  constexpr size_t MAX_VISITS = 256;
  const uint32_t rank = rank_of(graph, slot);
  std::vector<uint32_t> stack{start};
  std::vector<uint32_t> children;
  for (size_t visits = 0; visits < MAX_VISITS && !stack.empty(); ++visits) {
    const uint32_t node = stack.back();
    stack.pop_back();
    if (node == slot || node >= slot_count(points) || !has_record(points, node) ||
        rank_of(graph, node) >= rank) {
      continue;
    }
    if (try_attach(graph, points, slot, node, locks)) return true;
    children.clear();
    {
      std::unique_lock guard = lock_node(locks, node);
      for (uint32_t n : layer0_neighbors(graph, node)) {
        if (n != slot && tree_parent_of(graph, n) == node && rank_of(graph, n) < rank) {
          children.push_back(n);
        }
      }
    }
    if (children.empty()) continue;
    // The child tried first, by a hash of the slot and the depth.
    const uint64_t mixed = (uint64_t{slot} << 8 | (visits & 0xff)) * 0x9E3779B97F4A7C15ull;
    std::rotate(children.begin(), children.begin() + (mixed >> 32) % children.size(),
                children.end());
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return false;
}

void attach_below_root(HnswIndex& graph, const PointTable& points, uint32_t slot) {
  const uint32_t root = root_slot(graph, points);
  if (root == NO_SLOT || root == slot) return;
  set_parent(graph, slot, root);
  ensure_listed(graph, points, root, slot, false);
  ensure_listed(graph, points, slot, root, false);
}

void make_root(HnswIndex& graph, const PointTable& points, uint32_t slot, uint32_t old_root,
               NodeLocks* locks) {
  set_parent(graph, slot, NO_PARENT);
  graph.root_rank = std::min(graph.root_rank, rank_of(graph, slot)) - 1;
  set_rank(graph, slot, graph.root_rank);
  if (old_root == NO_SLOT || old_root == slot || !in_tree_candidate(graph, points, old_root)) return;
  set_parent(graph, old_root, slot);
  const bool parallel = locks != nullptr;
  {
    std::unique_lock guard = lock_node(locks, slot);
    ensure_listed(graph, points, slot, old_root, parallel);
  }
  std::unique_lock guard = lock_node(locks, old_root);
  ensure_listed(graph, points, old_root, slot, parallel);
}

void tree_children(const HnswIndex& graph, uint32_t slot, std::vector<uint32_t>& out) {
  for (uint32_t n : layer0_neighbors(graph, slot)) {
    if (tree_parent_of(graph, n) == slot) out.push_back(n);
  }
}

void reattach_orphans(HnswIndex& graph, const PointTable& points,
                      std::span<const uint32_t> orphans) {
  const uint32_t root = root_slot(graph, points);
  std::vector<uint32_t> candidates;
  for (uint32_t orphan : orphans) {
    if (orphan == root || !in_tree_candidate(graph, points, orphan)) continue;
    set_parent(graph, orphan, NO_PARENT);
    std::span<const uint32_t> list = layer0_neighbors(graph, orphan);
    candidates.assign(list.begin(), list.end());
    for (uint32_t n : list) {
      for (uint32_t second : layer0_neighbors(graph, n)) candidates.push_back(second);
    }
    if (!attach_node(graph, points, orphan, candidates, nullptr)) {
      attach_below_root(graph, points, orphan);
    }
  }
}

std::string check_link_bookkeeping(const HnswIndex& graph, const PointTable& points) {
  if (!graph.bookkeeping) return "";
  const size_t slots = slot_count(points);
  std::vector<uint32_t> counts(slots, 0);
  size_t one_way_links = 0;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    for (uint32_t n : layer0_neighbors(graph, slot)) {
      if (n == slot || lists_name(graph, n, slot)) continue;
      ++one_way_links;
      if (!has_one_way(graph.one_way, n, slot)) {
        return "slot " + std::to_string(slot) + " names " + std::to_string(n) +
               " one way, unrecorded";
      }
    }
  }
  size_t recorded = 0;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    for_each_one_way(graph.one_way, slot, [&](uint32_t) { ++recorded; });
  }
  if (recorded != one_way_links) {
    return std::to_string(recorded) + " one-way links recorded, " + std::to_string(one_way_links) +
           " in the lists";
  }
  if (!graph.uncounted_links) {
    for (size_t layer = 1; layer < MAX_LAYERS; ++layer) {
      std::fill(counts.begin(), counts.end(), 0);
      for (const auto& [slot, upper] : graph.upper_layers) {
        if (upper.size() >= layer) {
          for (uint32_t n : upper[layer - 1]) ++counts[n];
        }
      }
      for (uint32_t slot = 0; slot < slots; ++slot) {
        if (counts[slot] != in_link_count(graph, slot, layer)) {
          return "layer-" + std::to_string(layer) + " in-link count of slot " + std::to_string(slot);
        }
      }
    }
  }
  const uint32_t root = root_slot(graph, points);
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (!in_tree_candidate(graph, points, slot) || slot == root) continue;
    uint32_t parent = tree_parent_of(graph, slot);
    const std::string name = "slot " + std::to_string(slot);
    if (parent == NO_PARENT) return name + " has no tree parent";
    if (!in_tree_candidate(graph, points, parent)) return name + " has a parent without a node";
    if (rank_of(graph, parent) >= rank_of(graph, slot)) return name + " ranks below its parent";
    if (!lists_name(graph, parent, slot)) return name + " is not named by its parent";
    if (!lists_name(graph, slot, parent)) return name + " does not name its parent";
  }
  if (root == NO_SLOT) return "";
  if (tree_parent_of(graph, root) != NO_PARENT) return "the root has a parent";
  // Both ways over layer 0, through nodes with a record as walks go.
  std::vector<std::vector<uint32_t>> into(slots);
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (!in_tree_candidate(graph, points, slot)) continue;
    for (uint32_t n : layer0_neighbors(graph, slot)) into[n].push_back(slot);
  }
  for (int direction = 0; direction < 2; ++direction) {
    std::vector<uint8_t> seen(slots, 0);
    std::vector<uint32_t> stack{root};
    seen[root] = 1;
    while (!stack.empty()) {
      uint32_t slot = stack.back();
      stack.pop_back();
      std::span<const uint32_t> next =
          direction == 0 ? layer0_neighbors(graph, slot) : std::span<const uint32_t>(into[slot]);
      for (uint32_t n : next) {
        if (!seen[n] && in_tree_candidate(graph, points, n)) {
          seen[n] = 1;
          stack.push_back(n);
        }
      }
    }
    for (uint32_t slot = 0; slot < slots; ++slot) {
      if (in_tree_candidate(graph, points, slot) && !seen[slot]) {
        return "slot " + std::to_string(slot) +
               (direction == 0 ? " is not reachable from the entry point"
                               : " cannot reach the entry point");
      }
    }
  }
  return "";
}

}  // namespace tarnwick
