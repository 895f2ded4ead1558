// The snapshot format: the whole store state as one byte string, fields in
// declaration order, without header, names or padding.
#pragma once

#include <string>
#include <string_view>

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
