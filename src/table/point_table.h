// The point table: every point in a dense slot, found by id through a seeded
// open-addressing index. What a graph walk reads per point is laid out by slot
// number: two bits (holds a record; its vector is in the rows) and the norm in
// dense arrays that stay in cache, and vectors of the table's common dimension
// in rows of fixed stride, so every address follows from the slot alone.
// Everything else (length, tenant, key, payload) is kept apart.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table/payload.h"
#include "table/seeded_hash.h"

namespace tarnwick {

inline constexpr uint32_t NO_SLOT = UINT32_MAX;
inline constexpr uint32_t NO_TENANT = UINT32_MAX;
inline constexpr uint64_t EMPTY_BUCKET = UINT64_MAX;

// Header flags.
inline constexpr uint32_t HAS_RECORD = 1;  // a point is stored in the slot
inline constexpr uint32_t IN_ROWS = 2;     // its vector lives in the rows

// A slot's vector length, tenant and flags. A slot without a record exists
// only because the graph of a loaded snapshot names its id, or because it
// waits for reuse; searches never return it.
struct SlotHeader {
  uint32_t dim = 0;             // the vector's length
  uint32_t tenant = NO_TENANT;  // interned "tenant_id" text
  uint32_t flags = 0;
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
  uint32_t tenant_position = 0;       // index in its tenant's member list
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
};

struct TenantTable {
  std::unordered_map<std::string, uint32_t, SeededTextHash, std::equal_to<>> codes;
  // Slots holding a record of each tenant, in no particular order; a slot
  // knows its position, so joining and leaving cost constant time.
  std::vector<std::vector<uint32_t>> members;
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
  VectorArena arena;
  TenantTable tenants;
  // Record ids that differ from their key (only a loaded snapshot makes them).
  std::unordered_map<uint32_t, uint64_t> foreign_ids;
  // Slots given up by deletions, with no key, record or node, taken again
  // before the table grows.
  std::vector<uint32_t> free_slots;
};

inline size_t slot_count(const PointTable& table) { return table.headers.size(); }

inline bool has_record(const PointTable& table, uint32_t slot) {
  return table.record_bits.test(slot);
}

// Whether the slot holds a record whose vector lies in the rows.
inline bool in_rows(const PointTable& table, uint32_t slot) { return table.row_bits.test(slot); }

inline const float* row_of(const RowStore& rows, uint32_t slot) {
  return rows.chunks[slot / ROW_CHUNK_SLOTS].get() + (slot % ROW_CHUNK_SLOTS) * size_t{rows.dim};
}

// The components of the vector in a slot with a record.
inline const float* vector_data(const PointTable& table, uint32_t slot) {
  const SlotHeader& header = table.headers[slot];
  if (header.flags & IN_ROWS) return row_of(table.rows, slot);
  if (header.dim == 0) return nullptr;
  return table.arena.vectors.find(slot)->second;
}

inline std::span<const float> point_vector(const PointTable& table, uint32_t slot) {
  return {vector_data(table, slot), table.headers[slot].dim};
}

// The key the slot is stored under.
inline uint64_t slot_key(const PointTable& table, uint32_t slot) { return table.records[slot].key; }

// Returns the slot stored under key, or NO_SLOT.
uint32_t find_slot(const PointTable& table, uint64_t key);

// Returns the slot under key, adding an empty one (no record) when there is none.
uint32_t slot_for_key(PointTable& table, uint64_t key);

// Makes room for `count` more ids without rehashing or moving slots.
void reserve_points(PointTable& table, size_t count);

// Stores a record under key, replacing any earlier one whole; `norm` is the
// vector's norm, which cosine distances read. Returns its slot. When an
// allocation fails the table is left as it was (the payload is dropped).
uint32_t put_point(PointTable& table, uint64_t key, uint64_t id, std::span<const float> vector,
                   float norm, std::unique_ptr<Payload> payload);

// As put_point, but leaves the tenant member lists alone (and the slot's
// tenant code unset) for rebuild_tenants to make them in one pass.
uint32_t put_point_without_tenant(PointTable& table, uint64_t key, uint64_t id,
                                  std::span<const float> vector, float norm,
                                  std::unique_ptr<Payload> payload);

// As put_point_without_tenant, for a decoder: the `dim` components are copied
// from `components` as they lie in memory (which need not be aligned for
// floats), and the norm is left at zero for the caller to set.
uint32_t put_point_raw(PointTable& table, uint64_t key, uint64_t id, const void* components,
                       size_t dim, std::unique_ptr<Payload> payload);

// Makes every tenant member list from the payloads: used after a run of
// put_point_without_tenant or put_point_raw.
void rebuild_tenants(PointTable& table);

// The same in three steps, so that the lists can be made on another thread
// while the table gains slots without records: the plan captures each slot's
// payload (payloads never move), making the lists reads nothing else, and
// installing them cannot fail.
struct TenantRebuild {
  std::vector<const Payload*> payloads;  // by slot; null: no record, or no payload
  std::vector<uint32_t> codes;           // by slot: the tenant's code, or NO_TENANT
  std::vector<uint32_t> positions;       // by slot: its place in the tenant's list
  TenantTable tenants;
};
TenantRebuild plan_tenant_rebuild(const PointTable& table);
void make_tenant_lists(TenantRebuild& rebuild);
void install_tenant_lists(PointTable& table, TenantRebuild& rebuild) noexcept;

// Drops the record in the slot (vector, payload, tenant membership); the slot
// keeps its key, as a slot without a record.
void remove_record(PointTable& table, uint32_t slot);

// Gives up a slot without a record that nothing refers to any more: its key
// leaves the id index and the slot waits for reuse.
void release_slot(PointTable& table, uint32_t slot);

// The id a search reports for the record in this slot.
inline uint64_t record_id(const PointTable& table, uint32_t slot) {
  if (!table.foreign_ids.empty()) {
    auto it = table.foreign_ids.find(slot);
    if (it != table.foreign_ids.end()) return it->second;
  }
  return table.records[slot].key;
}

// Returns the code of a tenant text, or NO_TENANT when no point ever named it.
uint32_t find_tenant(const PointTable& table, std::string_view tenant);

// The slots holding a record of the tenant, in no particular order.
inline std::span<const uint32_t> tenant_members(const PointTable& table, uint32_t tenant) {
  return table.tenants.members[tenant];
}

// Checks every internal invariant; returns the first broken one's description,
// or an empty text. For tests.
std::string check_table(const PointTable& table);

}  // namespace tarnwick
