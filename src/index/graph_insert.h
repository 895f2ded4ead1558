// Linking a stored point into the graph: the level draw and the insertion.
#pragma once

#include <cstdint>
#include <span>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "table/point_table.h"

namespace tarnwick {

// The layer a new node reaches: from 64 random bits, u = top 53 bits x 2^-53;
// 15 when u is 0, else min(15, saturating truncation of -ln(u) / ln(m)).
size_t level_from_bits(uint64_t bits, uint64_t m);
// A level drawn from the calling thread's generator.
size_t draw_level(uint64_t m);

// Links the record in `slot` (already stored under `point_id`) into the graph
// at `level` (a node it already has keeps its own level), replacing that
// node's lists. At every layer from min(level,
// max_level) down to 0 it runs a beam of `ef_construction`, keeps up to `m`
// neighbours chosen by the neighbour-selection heuristic, links both ways and
// shrinks, with the same heuristic, any neighbour list the back-link takes over
// its cap (`m`, 2 x `m` at layer 0). The caller holds both store locks exclusively.
void insert_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                 size_t level);

// insert_node in three steps, so that the middle one can run for many points
// in parallel. place_node (serial) gives the slot a node with lists up to
// `level` and returns the level the node links at: a new node's lists are
// empty; a re-inserted node keeps its own until they are rewritten, and keeps
// its level whatever `level` says (dropping its upper lists would leave the
// other nodes' links there pointing at a node without lists, dead ends of
// every descent, and an entry point without the lists each descent starts
// from). link_node chooses and links the node's neighbours at every layer;
// with `locks` it may run on several threads at once for different slots,
// reading and writing every list under its node's lock, as long as nothing
// else changes the graph or the table meanwhile. settle_node (serial) drops a
// node's lists above `level` (none when `level` is what place_node returned).
size_t place_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
                  size_t level);
void link_node(HnswIndex& graph, const PointTable& points, uint32_t slot, uint64_t point_id,
               size_t level, NodeLocks* locks);
void settle_node(HnswIndex& graph, uint32_t slot, size_t level);
// Whether the record in `slot` holds exactly `vector` (bit for bit) and a node
// under the record's id, which an insertion would only relink to the same
// neighbourhood. Storing that vector again (a pipeline run twice, a payload
// changed) then keeps the node and its links as they are. It reads only
// records, nodes and vectors, which a follower given the writer's lists holds
// alike, so both judge alike. Call before the record is replaced.
bool node_stands_for(const HnswIndex& graph, const PointTable& points, uint32_t slot,
                     std::span<const float> vector);

// After parallel linking: attaches below the root the nodes that linking left
// outside the spanning tree (locks.unattached). Serial.
void attach_unattached(HnswIndex& graph, const PointTable& points, NodeLocks& locks);

}  // namespace tarnwick
