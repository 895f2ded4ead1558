// The spanning tree that keeps every node of layer 0 reachable: from the
// entry point to every node and back. Each node but the root (the entry
// point's node) has a tree parent; the parent's layer-0 list names the node
// and the node's list names the parent, and no list change drops either entry
// (is_tree_edge). Neighbour selection may prune any other link; these two stay.
//
// Ranks order the tree: a parent's rank is below each child's, so a node
// attached to one of lower rank can never close a cycle, whatever other
// insertions or repairs attach meanwhile. New nodes take ranks above every
// other; a new root takes one below every other.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "table/point_table.h"
#include "util/task_thread.h"

namespace tarnwick {

// The rank of a node outside the tree: no node is ever attached below it.
inline constexpr uint32_t OUTSIDE_RANK = UINT32_MAX;

// The most tree edges a list takes in for its children and its parent before
// it refuses further children: half its link budget, and at least two.
size_t tree_edge_limit(const HnswIndex& graph);

// Whether a list's block holds every tree edge it may carry, so that lists can
// change on several threads at once (only a link budget `m` below 2 fails).
inline bool links_fit_tree_edges(const HnswIndex& graph) {
  return link_cap(graph, 0) >= tree_edge_limit(graph) + 1;
}

// Makes the in-link counts and the tree when the graph has none (a graph
// decoded without them, or once ranks run out) and sizes them for every slot
// of the table; with them in place, only sizes them. The tree grows from the
// entry point over links named both ways; a node a loaded graph leaves
// unreachable that way (tree_pending) is attached afresh where it is reachable
// at all, and one that is not stays outside the tree, searched as it is. Serial.
void prepare_link_bookkeeping(HnswIndex& graph, const PointTable& points);

// Makes the bookkeeping of a graph that has none without changing a list:
// counts the links and grows the tree over links named both ways. Nodes it
// leaves outside the tree (tree_pending) are attached by the next
// prepare_link_bookkeeping, as attaching may choose lists afresh. Reads lists
// and records only, no vector or norm, so a load makes it while the norms
// and codes are computed. Serial but for the worker pool, and for `beside`
// when given one: it counts the links while the caller grows the tree (it
// must run nothing else that touches the graph meanwhile).
void make_link_bookkeeping(HnswIndex& graph, const PointTable& points, TaskThread* beside = nullptr);

// Gives a node placed in a slot without one its rank, above every other. Serial.
void rank_new_node(HnswIndex& graph, uint32_t slot);

// Resets the bookkeeping of a slot given up by a deletion. Serial.
void forget_slot(HnswIndex& graph, uint32_t slot);

// Attaches the node in `slot` (with no parent, not the root) below the first
// of `candidates` of lower rank whose list takes another tree edge, naming
// each in the other's list. With `locks` it may run while other insertions
// link in parallel, holding one node lock at a time. Returns false when no
// candidate takes it.
bool attach_node(HnswIndex& graph, const PointTable& points, uint32_t slot,
                 std::span<const uint32_t> candidates, NodeLocks* locks);

// Attaches the node in `slot` (with no parent, not the root) somewhere in the
// subtree of `start`: depth first down the tree from it, through children of
// lower rank than the node, to the first node whose list takes another tree
// edge. The child tried first is picked by a hash of the slot, so that
// attachments spread over the subtree and its depth grows as the logarithm of
// its size. Used when none of the node's own candidates takes it (many copies
// of one vector all choose the same few nodes). With `locks` as attach_node.
// Returns false when a bounded number of nodes tried none takes it.
bool attach_in_subtree(HnswIndex& graph, const PointTable& points, uint32_t slot,
                       uint32_t start, NodeLocks* locks);

// Attaches the node below the root, whatever the root's list holds: its list
// may grow past the link budget. Serial.
void attach_below_root(HnswIndex& graph, const PointTable& points, uint32_t slot);

// Makes the node in `slot` the root, below the root until now (`old_root`, or
// NO_SLOT): the node gives up its parent and the old root becomes its child.
// With `locks`, the caller holds `global`.
void make_root(HnswIndex& graph, const PointTable& points, uint32_t slot, uint32_t old_root,
               NodeLocks* locks);

// The children of the node in this slot, in its list order.
void tree_children(const HnswIndex& graph, uint32_t slot, std::vector<uint32_t>& out);

// Attaches each of these nodes, whose parents left, again: below a node of
// lower rank its list names, or one that such a node names, else below the
// root. Serial; the root must already be in place.
void reattach_orphans(HnswIndex& graph, const PointTable& points,
                      std::span<const uint32_t> orphans);

// Checks the bookkeeping against the lists: every count, every tree edge named
// both ways, ranks below children's, and every node with a record reachable at
// layer 0 from the entry point and able to reach it. Returns the first broken
// rule's description, or an empty text. For tests.
std::string check_link_bookkeeping(const HnswIndex& graph, const PointTable& points);

}  // namespace tarnwick
