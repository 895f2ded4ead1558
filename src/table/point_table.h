// The point table: every point's record in a dense slot, found by id through a
// seeded open-addressing index, with vectors packed into a chunked arena.
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

// One slot per id the store knows. A slot without a record exists only because
// the graph of a loaded snapshot names its id; searches never return it.
struct PointSlot {
  uint64_t key = 0;              // the id the point is stored under
  const float* data = nullptr;   // `dim` components in the arena
  uint32_t dim = 0;
  float norm = 0.0f;             // sqrt of the in-order sum of squares (cosine reads it)
  uint32_t tenant = NO_TENANT;   // interned "tenant_id" text
  bool has_record = false;
  std::unique_ptr<Payload> payload;  // null when the point has no payload
};

// A block of memory mapped for vector components, unmapped when dropped.
class ArenaChunk {
 public:
  explicit ArenaChunk(size_t floats);
  ArenaChunk(ArenaChunk&& other) noexcept;
  ArenaChunk& operator=(ArenaChunk&& other) noexcept;
  ArenaChunk(const ArenaChunk&) = delete;
  ArenaChunk& operator=(const ArenaChunk&) = delete;
  ~ArenaChunk();
  float* data() const { return data_; }

 private:
  float* data_ = nullptr;
  size_t bytes_ = 0;
};

// Vectors live in chunks that never move, so a slot's pointer stays valid until
// the table is compacted or dropped.
struct VectorArena {
  std::vector<ArenaChunk> chunks;
  size_t free_in_last = 0;  // floats left at the end of the last chunk
  float* next = nullptr;
  size_t live_floats = 0;
  size_t dead_floats = 0;   // space of replaced vectors, reclaimed by compaction
};

struct TenantTable {
  std::unordered_map<std::string, uint32_t, SeededTextHash, std::equal_to<>> codes;
  // Slots holding a record of each tenant, ascending (the table's iteration order).
  std::vector<std::vector<uint32_t>> members;
};

struct PointTable {
  std::vector<PointSlot> slots;
  // Open addressing: each bucket holds a slot number in its low half and the
  // high half of the key's hash in its high half, so that most probes settle
  // without reading the slot. EMPTY_BUCKET marks a free bucket.
  std::vector<uint64_t> buckets;
  uint64_t seed = random_seed();
  size_t record_count = 0;
  VectorArena arena;
  TenantTable tenants;
  // Record ids that differ from their key (only a loaded snapshot makes them).
  std::unordered_map<uint32_t, uint64_t> foreign_ids;
  // Slots given up by deletions, with no key, record or node, taken again
  // before the table grows.
  std::vector<uint32_t> free_slots;
};

// Returns the slot stored under key, or NO_SLOT.
uint32_t find_slot(const PointTable& table, uint64_t key);

// Returns the slot under key, adding an empty one (no record) when there is none.
uint32_t slot_for_key(PointTable& table, uint64_t key);

// Makes room for `count` more ids without rehashing or moving slots.
void reserve_points(PointTable& table, size_t count);

// Stores a record under key, replacing any earlier one whole; `norm` is the
// vector's norm, which cosine distances read. Returns its slot.
uint32_t put_point(PointTable& table, uint64_t key, uint64_t id, std::span<const float> vector,
                   float norm, std::unique_ptr<Payload> payload);

// Drops the record in the slot (vector, payload, tenant membership); the slot
// keeps its key, as a slot without a record.
void remove_record(PointTable& table, uint32_t slot);

// Gives up a slot without a record that nothing refers to any more: its key
// leaves the id index and the slot waits for reuse.
void release_slot(PointTable& table, uint32_t slot);

inline std::span<const float> slot_vector(const PointSlot& slot) {
  return {slot.data, slot.dim};
}

// The id a search reports for the record in this slot.
inline uint64_t record_id(const PointTable& table, uint32_t slot) {
  if (!table.foreign_ids.empty()) {
    auto it = table.foreign_ids.find(slot);
    if (it != table.foreign_ids.end()) return it->second;
  }
  return table.slots[slot].key;
}

// Returns the code of a tenant text, or NO_TENANT when no point ever named it.
uint32_t find_tenant(const PointTable& table, std::string_view tenant);

}  // namespace tarnwick
