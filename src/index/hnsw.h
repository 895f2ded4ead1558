// The HNSW graph record: its parameters, entry point and nodes. Nodes are kept
// by point-table slot and their neighbour lists name slots, so a walk never
// hashes an id. A slot may hold a node without a record (a loaded snapshot can
// name ids that have no point); walks treat such slots as misses.
//
// Layer 0 lists live in fixed-capacity blocks, one per slot, in chunks that
// never move and exist only where some slot holds a node; a list longer than
// its block (only a loaded graph makes one) moves to an overflow map. Lists of
// layers 1 to 15 exist for few nodes and are kept in a sparse map, one list per
// layer the node reaches.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "index/one_way_links.h"

namespace tarnwick {

inline constexpr size_t MAX_LAYERS = 16;

struct ListCapture;

// The parameters a file may carry are kept as they are, but insertion and
// search use at most these: a link budget beyond MAX_M or a beam beyond the
// limits below only makes every operation slower.
inline constexpr uint64_t MAX_M = 32;
inline constexpr uint64_t MAX_EF_CONSTRUCTION = 1024;
// Also the widest beam `ef_search` may be set to.
inline constexpr uint64_t MAX_EF_SEARCH = 4096;

using NeighborLists = std::array<std::vector<uint32_t>, MAX_LAYERS>;

// Slots per chunk of layer-0 blocks.
inline constexpr size_t LAYER0_CHUNK_SLOTS = size_t{1} << 9;

struct HnswIndex {
  uint64_t m = 16;                 // link budget per list (twice that at layer 0)
  uint64_t ef_construction = 64;   // beam width of insertion
  uint64_t ef_search = 32;         // beam width of search
  std::optional<uint64_t> entry_point;  // absent while the graph is empty
  uint64_t max_level = 0;
  size_t node_count = 0;

  // Layer-0 blocks: per slot a header word (NO_NODE, OVERFLOWED or the list
  // length) followed by `layer0_capacity` slots. The capacity is fixed when
  // the first block is made; a chunk is null until one of its slots holds a node.
  uint32_t layer0_capacity = 0;
  std::vector<std::unique_ptr<uint32_t[]>> layer0_chunks;
  std::unordered_map<uint32_t, std::vector<uint32_t>> layer0_overflow;
  // Lists of layers 1.. per slot: upper_layers[slot][L - 1], one list for each
  // layer the node reaches above 0. Absent means a node of layer 0 only.
  std::unordered_map<uint32_t, std::vector<std::vector<uint32_t>>> upper_layers;
  // Node ids that differ from their key (only a loaded snapshot makes them).
  std::unordered_map<uint32_t, uint64_t> foreign_node_ids;

  // Bookkeeping beside the lists, never saved: made from the lists by a load
  // (or else the first change: prepare_link_bookkeeping) and kept in step by
  // every list change while `bookkeeping` is set.
  bool bookkeeping = false;
  // Nodes the loaded lists leave outside the tree wait for the first change
  // to be attached (attaching may change lists, which a load must not).
  bool tree_pending = false;
  // Layer 0: the links named one way only, and the list changes not yet
  // settled into them (settle_link_changes, once lists stop changing).
  OneWayLinks one_way;
  std::unique_ptr<LinkChangeLog> link_changes;
  // Layers above 0: how many lists name each slot that reaches above layer 0
  // ([slot][layer - 1]). A list entry naming a slot without counts at its
  // layer (only a loaded graph makes one) sets `uncounted_links`, after which
  // the upper lists naming a slot are found by a scan.
  std::unordered_map<uint32_t, std::array<uint32_t, MAX_LAYERS - 1>> upper_in_links;
  uint8_t uncounted_links = 0;
  // A spanning tree of layer 0 rooted at the entry point (spanning_tree.h):
  // by slot, the tree parent (NO_PARENT for the root and for nodes outside
  // the tree) and a rank below every child's.
  std::vector<uint32_t> tree_parent;
  std::vector<uint32_t> tree_rank;
  uint32_t next_rank = 0;  // the rank of the next new node
  uint32_t root_rank = 0;  // the root's rank, below every other

  // While a change runs for a store that logs it: where every list change
  // is recorded (graph_delta.h); null otherwise.
  ListCapture* capture = nullptr;
};

inline constexpr uint32_t NO_NODE = UINT32_MAX;
inline constexpr uint32_t NO_PARENT = UINT32_MAX;
inline constexpr uint32_t OVERFLOWED = UINT32_MAX - 1;

// The link budget insertion uses at a layer: `m` (bounded), twice that at layer 0.
inline size_t link_cap(const HnswIndex& graph, size_t layer) {
  size_t m = static_cast<size_t>(graph.m < MAX_M ? graph.m : MAX_M);
  return layer == 0 ? 2 * m : m;
}

// The beams insertion and search use.
inline size_t construction_beam(const HnswIndex& graph) {
  uint64_t ef = graph.ef_construction < MAX_EF_CONSTRUCTION ? graph.ef_construction
                                                            : MAX_EF_CONSTRUCTION;
  return static_cast<size_t>(ef == 0 ? 1 : ef);
}
inline uint64_t search_beam(const HnswIndex& graph) {
  return graph.ef_search < MAX_EF_SEARCH ? graph.ef_search : MAX_EF_SEARCH;
}

// The header word of a slot's layer-0 block, or nullptr when no block exists.
inline const uint32_t* layer0_block(const HnswIndex& graph, uint32_t slot) {
  size_t chunk = slot / LAYER0_CHUNK_SLOTS;
  if (chunk >= graph.layer0_chunks.size() || !graph.layer0_chunks[chunk]) return nullptr;
  return graph.layer0_chunks[chunk].get() +
         (slot % LAYER0_CHUNK_SLOTS) * (size_t{graph.layer0_capacity} + 1);
}

inline bool has_node(const HnswIndex& graph, uint32_t slot) {
  const uint32_t* block = layer0_block(graph, slot);
  return block != nullptr && *block != NO_NODE;
}

// The layer-0 list; the hot path of every walk.
inline std::span<const uint32_t> layer0_neighbors(const HnswIndex& graph, uint32_t slot) {
  const uint32_t* block = layer0_block(graph, slot);
  if (block == nullptr || *block == NO_NODE) return {};
  if (*block == OVERFLOWED) return graph.layer0_overflow.find(slot)->second;
  return {block + 1, *block};
}

std::span<const uint32_t> upper_neighbors(const HnswIndex& graph, uint32_t slot, size_t layer);

// All lists of layers 1.. of the node in this slot, or nullptr for a node of
// layer 0 only.
inline const std::vector<std::vector<uint32_t>>* upper_lists(const HnswIndex& graph, uint32_t slot) {
  if (graph.upper_layers.empty()) return nullptr;
  auto it = graph.upper_layers.find(slot);
  return it == graph.upper_layers.end() ? nullptr : &it->second;
}

// The neighbour slots of a node at one layer, in stored order; empty when the
// slot holds no node or the layer no list.
inline std::span<const uint32_t> neighbors(const HnswIndex& graph, uint32_t slot, size_t layer) {
  return layer == 0 ? layer0_neighbors(graph, slot) : upper_neighbors(graph, slot, layer);
}

// Puts a node of `level` with these lists into the slot, replacing any node
// there: lists up to `level` (and any higher non-empty one a file gives) are
// kept. Throws std::bad_alloc, leaving the graph as it was.
void install_node(HnswIndex& graph, uint32_t slot, uint64_t node_id, uint64_t key,
                  const NeighborLists& lists, size_t level);

// Gives the node in this slot lists up to `level` (keeping the ones it has).
void reach_level(HnswIndex& graph, uint32_t slot, size_t level);
// Drops the node's lists above `level`.
void drop_lists_above(HnswIndex& graph, uint32_t slot, size_t level);

// Removes the node in the slot, if any, with all its lists.
void remove_node(HnswIndex& graph, uint32_t slot);

// The highest layer the node in this slot has lists for (0: layer 0 only).
size_t node_level(const HnswIndex& graph, uint32_t slot);

// Whether the node in this slot has a list at `layer`, which set_neighbors and
// append_neighbor may then change.
bool has_list(const HnswIndex& graph, uint32_t slot, size_t layer);

// Replaces the list of an existing node at one layer (has_list must hold).
// With `parallel`, calls for different slots may run at once: a list that
// fits its block changes no map (an overflow list it replaces stays behind
// until drop_stale_overflow); only serial callers may store a longer list.
void set_neighbors(HnswIndex& graph, uint32_t slot, size_t layer,
                   std::span<const uint32_t> list, bool parallel = false);

// Appends one slot to the list of an existing node at one layer, which must
// be shorter than link_cap there. Never allocates at layer 0.
void append_neighbor(HnswIndex& graph, uint32_t slot, size_t layer, uint32_t neighbor);

// Drops overflow lists that parallel set_neighbors calls left behind when
// their nodes' lists moved back into the blocks.
void drop_stale_overflow(HnswIndex& graph);

// The number of lists at `layer` (above 0) that name `slot`.
uint32_t in_link_count(const HnswIndex& graph, uint32_t slot, size_t layer);

// Makes room in the change log for linking `nodes` nodes, on the calling
// thread: workers that linked in parallel would otherwise grow it in their own
// heaps, which keep that memory once it is freed (and the system never gets
// it back from them), after every batch.
void reserve_link_changes(HnswIndex& graph, size_t nodes);

// Brings the one-way links up to date with the layer-0 list changes logged
// since the last call. Serial: no list may change meanwhile.
void settle_link_changes(HnswIndex& graph);

// The tree parent of the node in this slot: NO_PARENT for the root and for a
// node outside the tree. Insertions running in parallel read each other's
// parents, so parents are read and written atomically.
inline uint32_t tree_parent_of(const HnswIndex& graph, uint32_t slot) {
  if (slot >= graph.tree_parent.size()) return NO_PARENT;
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(graph.tree_parent[slot]))
      .load(std::memory_order_relaxed);
}

// Whether `n` in the layer-0 list of `owner` is an edge of the tree, which no
// change of that list may drop.
inline bool is_tree_edge(const HnswIndex& graph, uint32_t owner, uint32_t n) {
  return graph.bookkeeping &&
         (tree_parent_of(graph, n) == owner || tree_parent_of(graph, owner) == n);
}

// The id field of the node in this slot.
inline uint64_t node_id(const HnswIndex& graph, uint32_t slot, uint64_t key) {
  if (!graph.foreign_node_ids.empty()) {
    auto it = graph.foreign_node_ids.find(slot);
    if (it != graph.foreign_node_ids.end()) return it->second;
  }
  return key;
}

}  // namespace tarnwick
