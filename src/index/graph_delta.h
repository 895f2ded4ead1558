// What one change did to the graph, by point key rather than slot (slots
// differ between processes): recorded while the change runs, written to the
// log after it, and installed by a store that holds the same graph as the
// writer did before the change, without choosing a link of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "index/hnsw.h"
#include "index/one_way_links.h"
#include "table/point_table.h"

namespace tarnwick {

// The lists a change touches, as they change: at layer 0 every entry a list
// gains or loses (two changes of one entry cancel), above it the lists
// touched. Lists change on several threads at once during parallel linking.
struct ListCapture {
  // The nodes the change places (ascending): given whole, so changes of
  // their own lists are not recorded.
  std::span<const uint32_t> placed;
  LinkChangeLog layer0;
  std::mutex upper_mutex;
  std::vector<uint64_t> upper;  // guarded by upper_mutex: slot << 8 | layer
};

// Empties a capture for the next change; buffers of common size are kept.
void clear_list_capture(ListCapture& capture);

// Called by every change of a list while graph.capture is set; at layer 0
// with the entries the list of `owner` gained or lost.
void capture_layer0_entries(ListCapture& capture, uint32_t owner, std::span<const uint32_t> entries);
void capture_upper_touch(ListCapture& capture, uint32_t owner, size_t layer);

// A node given whole: its key and its lists, layer 0 first, up to its level.
struct DeltaNode {
  uint64_t key = 0;
  std::vector<std::vector<uint64_t>> lists;
  bool operator==(const DeltaNode&) const = default;
};

// A layer-0 list that lost and gained entries.
struct DeltaEdit {
  uint64_t owner = 0;
  std::vector<uint64_t> removed;
  std::vector<uint64_t> added;
  bool operator==(const DeltaEdit&) const = default;
};

// A list above layer 0 given whole.
struct DeltaList {
  uint64_t owner = 0;
  uint32_t layer = 1;
  std::vector<uint64_t> list;
  bool operator==(const DeltaList&) const = default;
};

struct GraphDelta {
  std::vector<DeltaNode> nodes;   // the nodes the change placed (upserts)
  std::vector<DeltaEdit> edits;   // layer-0 lists of other nodes
  std::vector<DeltaList> upper;   // upper lists of other nodes
  std::optional<uint64_t> entry_point;
  uint64_t max_level = 0;
  bool operator==(const GraphDelta&) const = default;
};

// The delta of a change whose list changes `capture` holds: the nodes in
// `placed` whole, and every other list that changed; nodes no longer in the
// graph (deleted) are left out. Reads only.
GraphDelta take_graph_delta(const HnswIndex& graph, const PointTable& points, const ListCapture& capture,
                            std::span<const uint32_t> placed);

// A delta checked against a graph and put in slots: installable as it is.
struct ResolvedDelta {
  struct Node {
    uint32_t slot;
    uint64_t key;
    size_t level;
    NeighborLists lists;
  };
  std::vector<Node> nodes;
  struct List {
    uint32_t owner;
    uint32_t layer;
    std::vector<uint32_t> list;
  };
  std::vector<List> lists;  // the new lists of other nodes, every layer
  std::optional<uint64_t> entry_point;
  uint64_t max_level = 0;
};

// Puts the delta in slots, checking that it fits the graph as the writer had
// it: its nodes are exactly the `placed` slots (ascending, their records
// stored already), every owner is a node that stays, every key names a slot
// not `leaving` (ascending), every entry an edit removes is in its list and
// every entry it adds is not. False when it does not fit:
// the graph then is not the writer's, and the change must be linked instead.
// Reads only.
bool resolve_graph_delta(const HnswIndex& graph, const PointTable& points, const GraphDelta& delta,
                         std::span<const uint32_t> placed, std::span<const uint32_t> leaving,
                         ResolvedDelta& out);

// Installs a resolved delta after the leaving nodes are removed. The graph's
// link bookkeeping is dropped (its tree is the writer's, which the delta does
// not carry); a change linked here later makes it afresh. Serial.
void install_graph_delta(HnswIndex& graph, ResolvedDelta& delta);

// Drops the link bookkeeping: the graph then holds its lists alone.
void drop_link_bookkeeping(HnswIndex& graph);

}  // namespace tarnwick
