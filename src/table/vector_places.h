// Where a point's vector lives: in the rows, laid out for one length and
// coded, or in the arena, for every other length. The point table's own
// code places vectors through these; settle_row_length is the table's
// operation that moves the rows to another length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "table/point_layout.h"

namespace tarnwick {

// `count` floats starting on a cache line (so that rows of a multiple of 16
// floats do too), their pages made present where the kernel can.
RowChunk allocate_floats(size_t count);

// The place for `dim` floats at the end of the arena; allocates a chunk when
// the last one is full, leaving the arena unchanged if that fails.
float* arena_allocate(VectorArena& arena, size_t dim);

// Rewrites the arena's vectors into fresh chunks once replaced ones waste
// more space than the live ones use. Skipped when memory is short.
void compact_arena_if_wasteful(PointTable& table);

// Sets a slot's flags in its header and in the walks' bits.
void set_flags(PointTable& table, uint32_t slot, uint32_t flags);

}  // namespace tarnwick
