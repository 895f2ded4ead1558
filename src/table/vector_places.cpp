#include "table/vector_places.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "table/point_table.h"

namespace tarnwick {

void AlignedFloatsDelete::operator()(float* data) const {
  ::operator delete[](data, std::align_val_t{64});
}

namespace {

constexpr size_t ARENA_CHUNK_FLOATS = size_t{1} << 18;  // 1 MiB of components

// The rows move to another length once the records of that length outside
// them outnumber the records in them twice over, and by this many: a store
// that holds both lengths for good moves at most once per doubling.
constexpr size_t ROW_LENGTH_MARGIN = 64;

void set_bit(SlotBits& bits, uint32_t slot, bool on) {
  uint64_t mask = uint64_t{1} << (slot % 64);
  if (on) {
    bits.words[slot / 64] |= mask;
  } else {
    bits.words[slot / 64] &= ~mask;
  }
}

// The length the rows should have, or 0 to keep theirs.
uint32_t better_row_length(const PointTable& table) {
  const size_t outside = table.arena.vectors.size();
  const size_t inside = record_count(table) - outside;  // zero-length records count here
  const size_t wanted = 2 * inside + ROW_LENGTH_MARGIN;
  if (outside < wanted) return 0;
  uint32_t best = 0;
  size_t best_count = 0;
  for (const auto& [dim, count] : table.arena.lengths) {
    // The most common length; of equal counts the shortest, so that a
    // writer and the stores that replay its log or load its snapshot agree.
    if (count > best_count || (count == best_count && dim < best)) {
      best = dim;
      best_count = count;
    }
  }
  return best_count >= wanted ? best : 0;
}

// The rows laid out for `dim`: its records move in (and get codes), the
// rows' records move to the arena. Everything is made aside first; a failed
// allocation throws with the table as it was.
void lay_rows_for(PointTable& table, uint32_t dim) {
  const size_t slots = slot_count(table);
  RowStore rows;
  rows.dim = dim;
  CodeStore codes;
  codes.stride = dim <= CODE_MAX_DIM ? code_stride(dim) : 0;
  codes.meta_in_padding = code_meta_fits_padding(dim);
  if (!codes.meta_in_padding) codes.meta.resize(slots);
  VectorArena arena;
  arena.vectors.reserve(table.arena.vectors.size());
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (!has_record(table, slot)) continue;
    const uint32_t length = slot_dim(table, slot);
    if (length == 0) continue;
    const float* vector = vector_data(table, slot);
    if (length != dim) {
      float* place = arena_allocate(arena, length);
      std::memcpy(place, vector, size_t{length} * sizeof(float));
      arena.vectors.emplace(slot, place);
      ++arena.lengths[length];
      continue;
    }
    const size_t chunk = slot / ROW_CHUNK_SLOTS;
    if (rows.chunks.size() <= chunk) {
      rows.chunks.resize(chunk + 1);
      if (codes.stride != 0) codes.chunks.resize(chunk + 1);
    }
    if (!rows.chunks[chunk]) {
      rows.chunks[chunk] = allocate_floats(ROW_CHUNK_SLOTS * size_t{dim});
      if (codes.stride != 0) codes.chunks[chunk] = allocate_code_chunk(ROW_CHUNK_SLOTS, codes.stride);
    }
    float* row = const_cast<float*>(row_of(rows, slot));
    std::memcpy(row, vector, size_t{dim} * sizeof(float));
    if (codes.stride != 0) {
      CodeMeta meta;
      encode_point_code(row, dim, const_cast<uint8_t*>(code_of(codes, slot)), meta);
      meta.norm = table.norms[slot];
      set_code_meta(codes, slot, meta);
    }
  }
  // Nothing below allocates.
  table.rows = std::move(rows);
  table.codes = std::move(codes);
  table.arena = std::move(arena);
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (!has_record(table, slot)) continue;
    const uint32_t length = slot_dim(table, slot);
    set_flags(table, slot, HAS_RECORD | (length != 0 && length == dim ? IN_ROWS : 0));
  }
}

}  // namespace

RowChunk allocate_floats(size_t count) {
  RowChunk chunk(static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t{64})));
  // A chunk is about to be filled: its pages are made present in one call
  // rather than one fault each (where the kernel can; nothing is lost where not).
  const uintptr_t page = 4096;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(chunk.get()) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(chunk.get() + count)) & ~(page - 1);
  if (end > begin + 16 * page) {
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }
  return chunk;
}

float* arena_allocate(VectorArena& arena, size_t dim) {
  if (dim > arena.free_in_last) {
    size_t size = std::max(dim, ARENA_CHUNK_FLOATS);
    RowChunk fresh = allocate_floats(size);
    float* start = fresh.get();
    arena.chunks.push_back(std::move(fresh));
    arena.next = start;
    arena.free_in_last = size;
  }
  float* place = arena.next;
  arena.next += dim;
  arena.free_in_last -= dim;
  arena.live_floats += dim;
  return place;
}

void compact_arena_if_wasteful(PointTable& table) {
  VectorArena& arena = table.arena;
  if (arena.dead_floats < ARENA_CHUNK_FLOATS || arena.dead_floats < arena.live_floats) return;
  try {
    VectorArena fresh;
    std::unordered_map<uint32_t, const float*> placed;
    placed.reserve(arena.vectors.size());
    for (const auto& [slot, data] : arena.vectors) {
      size_t dim = table.headers[slot].dim;
      float* place = arena_allocate(fresh, dim);
      std::memcpy(place, data, dim * sizeof(float));
      placed.emplace(slot, place);
    }
    fresh.vectors = std::move(placed);
    fresh.lengths = std::move(arena.lengths);
    arena = std::move(fresh);
  } catch (const std::bad_alloc&) {
    // Compaction only saves memory; the table is fine as it is.
  }
}

void set_flags(PointTable& table, uint32_t slot, uint32_t flags) {
  table.headers[slot].flags = flags;
  set_bit(table.record_bits, slot, (flags & HAS_RECORD) != 0);
  set_bit(table.row_bits, slot, (flags & IN_ROWS) != 0);
}

bool settle_row_length(PointTable& table) {
  const uint32_t dim = better_row_length(table);
  if (dim == 0) return false;
  try {
    lay_rows_for(table, dim);
  } catch (const std::bad_alloc&) {
    return false;  // the layout only saves time; the table is fine as it is
  }
  return true;
}

}  // namespace tarnwick
