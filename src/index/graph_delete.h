// Removing nodes from the graph: every list that named one is chosen again
// from what remains around its owner, and the entry point moves on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw.h"
#include "table/point_table.h"

namespace tarnwick {

// One neighbour list: its node and layer.
struct ListRef {
  uint32_t owner;
  uint32_t layer;
};

// The slots leaving the graph (in ascending order), marked by slot for
// constant-time tests when they are many; a few are searched instead, so that
// deleting one point costs nothing in proportion to the table.
struct LeavingSlots {
  std::vector<uint8_t> marks;  // marks[slot] != 0 for a leaving slot; empty for a few
  std::span<const uint32_t> slots;
  bool contains(uint32_t slot) const {
    if (marks.empty()) return std::binary_search(slots.begin(), slots.end(), slot);
    return slot < marks.size() && marks[slot] != 0;
  }
};

// Fewer leaving slots than this are searched rather than marked.
inline constexpr size_t FEW_LEAVING = 64;

LeavingSlots mark_leaving(const PointTable& points, std::span<const uint32_t> slots);

// Appends to `out` the lists above layer 0 that name a leaving slot.
void find_upper_lists_naming(const HnswIndex& graph, const LeavingSlots& leaving,
                             std::vector<ListRef>& out);

// Appends to `out` the layer-0 lists that name `target`: those of the nodes
// its own list names that name it back, and those naming it one way. The
// bookkeeping must be in place with every change settled. Reads only.
void find_layer0_lists_naming(const HnswIndex& graph, uint32_t target, std::vector<ListRef>& out);

// Appends to `out` the lists at `layer` (above 0) that name `target`, looking only in
// its neighbourhood: the lists of the nodes its own list names, then of the
// nodes those and the lists found name. Returns whether all of them turned
// up, as its in-link count tells (the bookkeeping must be in place); when
// not, the caller scans. Reads only.
bool find_lists_naming_nearby(const HnswIndex& graph, const PointTable& points, uint32_t target,
                              size_t layer, std::vector<ListRef>& out);

// The nodes, none of them leaving, whose tree parent leaves.
std::vector<uint32_t> orphans_of(const HnswIndex& graph, const LeavingSlots& leaving);

// Chooses the list again, by the neighbour-selection heuristic, from its
// remaining entries and the lists of the leaving nodes it named (one hop
// further where those lead to leaving nodes too). It reads only its owner's
// list and leaving nodes' lists, and writes only its owner's: with
// `parallel`, calls for different lists may run at once, and none reads a
// list another rewrites.
void rechoose_list(HnswIndex& graph, const PointTable& points, const LeavingSlots& leaving,
                   ListRef list, bool parallel);

// Removes the leaving nodes; when the entry point leaves, a node of the
// highest remaining level takes its place and becomes the spanning tree's root
// (the graph is empty once no node is left). Call after every list naming
// them has been chosen again.
void remove_leaving_nodes(HnswIndex& graph, const PointTable& points, const LeavingSlots& leaving);

}  // namespace tarnwick
