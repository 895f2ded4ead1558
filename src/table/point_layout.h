// The point table's layout. What a graph walk reads per point is laid out by
// slot number: two bits (holds a record; its vector is in the rows) and the
// norm in dense arrays that stay in cache, and vectors of the table's common
// dimension in rows of fixed stride, so every address follows from the slot
// alone. Everything else (length, tenant, key, payload) is kept apart.
// The table's own code, the walks (which read these fields in their inner
// loops) and the snapshot codec use the layout directly; the store and its
// searches go through the functions of table/point_table.h.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "table/payload.h"
#include "table/payload_index.h"
#include "table/point_codes.h"
#include "table/seeded_hash.h"

namespace tarnwick {

// No slot (find_slot of an id that has none), and no tenant (a slot whose
// point names none; find_tenant of a text no point ever named).
inline constexpr uint32_t NO_SLOT = UINT32_MAX;
inline constexpr uint32_t NO_TENANT = UINT32_MAX;
inline constexpr uint64_t EMPTY_BUCKET = UINT64_MAX;

// Header flags.
inline constexpr uint32_t HAS_RECORD = 1;  // a point is stored in the slot
inline constexpr uint32_t IN_ROWS = 2;     // its vector lives in the rows

// A slot's vector length, tenant (and its place among the tenant's members)
// and flags. A slot without a record exists only because the graph of a
// loaded snapshot names its id, or because it waits for reuse; searches never
// return it.
struct SlotHeader {
  uint32_t dim = 0;             // the vector's length
  uint32_t tenant = NO_TENANT;  // interned "tenant_id" text
  uint32_t flags = 0;
  uint32_t tenant_position = 0;  // index in its tenant's member list
};

// One bit per slot.
struct SlotBits {
  std::vector<uint64_t> words;
  bool test(uint32_t slot) const {
    size_t word = slot / 64;
    return word < words.size() && ((words[word] >> (slot % 64)) & 1) != 0;
  }
};

// The rest of a slot, read only to report, save or change a point.
struct SlotRecord {
  uint64_t key = 0;                   // the id the slot is stored under
  std::unique_ptr<Payload> payload;   // null when the point has no payload
};

// Slots per chunk of rows; chunks are allocated only for slots that hold a
// vector of the rows' dimension, and never move.
inline constexpr size_t ROW_CHUNK_SLOTS = size_t{1} << 9;

struct AlignedFloatsDelete {
  void operator()(float* data) const;
};
using RowChunk = std::unique_ptr<float[], AlignedFloatsDelete>;

// Vectors of the table's common dimension (the first nonzero length stored),
// ROW_CHUNK_SLOTS rows per chunk, each row `dim` floats.
struct RowStore {
  uint32_t dim = 0;  // 0 until the first vector of nonzero length arrives
  std::vector<RowChunk> chunks;
};

// Vectors of any other length: chunks that never move, so a pointer stays
// valid until the table compacts them or is dropped.
struct VectorArena {
  std::vector<RowChunk> chunks;
  size_t free_in_last = 0;  // floats left at the end of the last chunk
  float* next = nullptr;
  size_t live_floats = 0;
  size_t dead_floats = 0;   // space of replaced vectors, reclaimed by compaction
  std::unordered_map<uint32_t, const float*> vectors;  // by slot
  // How many of them have each length (a store that failed may leave a
  // length counted 0; a length no vector has any more is dropped).
  std::unordered_map<uint32_t, size_t> lengths;
};

struct TenantTable {
  std::unordered_map<std::string, uint32_t, SeededTextHash, std::equal_to<>> codes;
  // Slots holding a record of each tenant, in no particular order; a slot
  // knows its position, so joining and leaving cost constant time.
  std::vector<std::vector<uint32_t>> members;
  // Codes of tenants whose last member left, taken again by the next new
  // tenant; kept with room for every code, so that freeing one never
  // allocates.
  std::vector<uint32_t> free_codes;
};

struct PointTable {
  std::vector<SlotHeader> headers;
  std::vector<SlotRecord> records;
  // The walks' view of each slot, apart from the headers so that it stays in
  // cache: whether it holds a record, whether that record's vector is in the
  // rows, and the vector's norm (sqrt of the in-order sum of squares).
  SlotBits record_bits;
  SlotBits row_bits;
  std::vector<float> norms;
  // Open addressing: each bucket holds a slot number in its low half and the
  // high half of the key's hash in its high half, so that most probes settle
  // without reading the slot. EMPTY_BUCKET marks a free bucket.
  std::vector<uint64_t> buckets;
  uint64_t seed = random_seed();
  size_t record_count = 0;
  RowStore rows;
  // Compact codes of the rows' vectors, kept in step with them (derived data,
  // never saved).
  CodeStore codes;
  VectorArena arena;
  TenantTable tenants;
  // Posting lists of every payload key and value (derived data, never saved).
  PayloadIndex payload_index;
  // Record ids that differ from their key (only a loaded snapshot makes them).
  std::unordered_map<uint32_t, uint64_t> foreign_ids;
  // Slots given up by deletions, with no key, record or node, taken again
  // before the table grows.
  std::vector<uint32_t> free_slots;
};

inline const float* row_of(const RowStore& rows, uint32_t slot) {
  return rows.chunks[slot / ROW_CHUNK_SLOTS].get() + (slot % ROW_CHUNK_SLOTS) * size_t{rows.dim};
}

inline const uint8_t* code_of(const CodeStore& codes, uint32_t slot) {
  return codes.chunks[slot / ROW_CHUNK_SLOTS].get() + (slot % ROW_CHUNK_SLOTS) * codes.stride;
}

// A slot's meta. With metas in the paddings, the slot's chunk must exist
// (its vector lies in the rows).
inline const CodeMeta& code_meta_of(const CodeStore& codes, uint32_t slot) {
  if (codes.meta_in_padding) {
    return *std::launder(reinterpret_cast<const CodeMeta*>(code_of(codes, slot) + codes.stride -
                                                           sizeof(CodeMeta)));
  }
  return codes.meta[slot];
}

// Writes a slot's meta; with metas in the paddings, after its code
// (encode_point_code zeroes the padding).
inline void set_code_meta(CodeStore& codes, uint32_t slot, const CodeMeta& meta) {
  if (codes.meta_in_padding) {
    new (const_cast<uint8_t*>(code_of(codes, slot)) + codes.stride - sizeof(CodeMeta))
        CodeMeta(meta);
  } else {
    codes.meta[slot] = meta;
  }
}

// Marks a slot as having no code (with metas in the paddings, where its
// chunk exists; a slot outside the rows has no code either way).
inline void clear_code(CodeStore& codes, uint32_t slot) {
  if (!codes.meta_in_padding) {
    codes.meta[slot] = CodeMeta{};
    return;
  }
  const size_t chunk = slot / ROW_CHUNK_SLOTS;
  if (chunk < codes.chunks.size() && codes.chunks[chunk]) set_code_meta(codes, slot, CodeMeta{});
}

// Whether the slot's record has a code (its vector lies in the rows and its
// components are in the coded range).
inline bool has_code(const PointTable& table, uint32_t slot) {
  if (table.codes.meta_in_padding) {
    return table.row_bits.test(slot) && code_meta_of(table.codes, slot).residual >= 0.0f;
  }
  return table.codes.meta[slot].residual >= 0.0f;
}

}  // namespace tarnwick
