// The snapshot format: the whole store state as one byte string, fields in
// declaration order, without header, names or padding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "index/hnsw.h"
#include "persist/byte_buffer.h"
#include "persist/coding.h"
#include "table/point_table.h"
#include "util/status.h"

namespace tarnwick {

// A complete store state outside any store: what decode_snapshot builds and
// what a load installs.
struct SnapshotState {
  PointTable points;
  HnswIndex graph;
};

// Returns the file content for this state: every point with a record in slot
// order, then the graph's parameters and its nodes in slot order. The caller
// holds shared access to both (segment, then index). Throws std::bad_alloc
// when the buffer cannot be allocated; nothing else can fail.
ByteBuffer encode_snapshot(const PointTable& points, const HnswIndex& graph);

// The file content of a state cut into pieces that follow one another in the
// file and can be encoded each on its own (in parallel, or while earlier ones
// are written): the points of each range of slots, the graph's parameters,
// the nodes of each range. plan_snapshot sizes them all (on the worker pool
// for a large store), exactly or, where the pieces are encoded one at a time
// into buffers of their own, only bounding the nodes' sizes, which is cheaper
// (an exact size reads the key of every neighbour); the state must not change
// until the last piece is encoded.
using UpperLists = std::vector<std::vector<uint32_t>>;
struct SnapshotPlan {
  const PointTable* points = nullptr;
  const HnswIndex* graph = nullptr;
  std::vector<uint64_t> keys;          // every slot's key, read once
  std::vector<const UpperLists*> uppers;  // by slot: a node's lists above layer 0, or null
  std::vector<uint32_t> range_begin;   // ranges + 1 slot numbers
  std::vector<size_t> point_bytes;     // per range
  std::vector<size_t> node_bytes;      // per range
  size_t record_count = 0;
  size_t node_count = 0;
  size_t head_bytes = 0;    // the point count, before the first range's points
  size_t middle_bytes = 0;  // the graph's parameters, between points and nodes
  size_t total_bytes = 0;
  bool exact = true;  // false: the node ranges' sizes (and so the total) are bounds
};
enum class PieceSizes { Exact, Bounds };
SnapshotPlan plan_snapshot(const PointTable& points, const HnswIndex& graph,
                           PieceSizes sizes = PieceSizes::Exact);
size_t snapshot_pieces(const SnapshotPlan& plan);
size_t piece_bytes(const SnapshotPlan& plan, size_t piece);
// Writes piece number `piece` to `out` (room for piece_bytes of it) and
// returns its size: piece_bytes exactly when the plan is exact.
size_t encode_piece(const SnapshotPlan& plan, size_t piece, char* out);
// All pieces into one buffer, encoded in parallel on the worker pool.
ByteBuffer encode_planned(const SnapshotPlan& plan);

// Decodes a complete file content into `out`, which must be a fresh state.
// On failure returns Corruption with the decoder's message (decode_error_message)
// and `out` holds a partial state for the caller to drop. Reads only `input`;
// bytes after the last node entry are ignored. Allocates in proportion to the
// input, whatever counts it claims; throws std::bad_alloc when that fails.
Status decode_snapshot(std::string_view input, SnapshotState& out);
// The same for an input that is still arriving: `input` spans all the bytes
// expected, and only those `arriving` reports may be read.
Status decode_snapshot(std::string_view input, ArrivingInput* arriving, SnapshotState& out);

}  // namespace tarnwick
