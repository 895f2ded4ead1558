#include "table/point_table.h"
#include "table/tenant_lists.h"
#include "table/vector_places.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace tarnwick {

namespace {

constexpr uint64_t SLOT_MASK = 0xFFFFFFFFULL;

// One record of this length fewer outside the rows.
void uncount_arena_length(VectorArena& arena, uint32_t dim) {
  auto counted = arena.lengths.find(dim);
  if (--counted->second == 0) arena.lengths.erase(counted);
}

// Makes room for one more element, growing geometrically.
template <typename Vector>
void reserve_one_more(Vector& items) {
  if (items.size() == items.capacity()) items.reserve(std::max<size_t>(16, 2 * items.size()));
}

// Room for one more slot in every per-slot array.
void reserve_slot(PointTable& table) {
  reserve_one_more(table.headers);
  reserve_one_more(table.records);
  reserve_one_more(table.norms);
  if (!table.codes.meta_in_padding) reserve_one_more(table.codes.meta);
  size_t words = table.headers.size() / 64 + 1;
  if (table.record_bits.words.size() < words) {
    reserve_one_more(table.record_bits.words);
    reserve_one_more(table.row_bits.words);
  }
}

// Appends a slot; reserve_slot made room, so nothing allocates.
uint32_t append_slot(PointTable& table) {
  uint32_t slot = static_cast<uint32_t>(table.headers.size());
  table.headers.emplace_back();
  table.records.emplace_back();
  table.norms.push_back(0.0f);
  if (!table.codes.meta_in_padding) table.codes.meta.emplace_back();
  if (table.record_bits.words.size() <= slot / 64) {
    table.record_bits.words.push_back(0);
    table.row_bits.words.push_back(0);
  }
  return slot;
}

uint64_t bucket_entry(uint64_t hash, uint32_t slot) { return (hash & ~SLOT_MASK) | slot; }

// Where a hash's probe run starts: the low half scaled to the number of
// buckets (which need not be a power of two), so that the high half, kept in
// the entry, still tells apart the keys of one run.
size_t home_bucket(uint64_t hash, size_t bucket_count) {
  return static_cast<size_t>(((hash & SLOT_MASK) * bucket_count) >> 32);
}

size_t next_bucket(size_t bucket, size_t bucket_count) { return bucket + 1 == bucket_count ? 0 : bucket + 1; }

// Places a slot in the first free bucket of its probe sequence.
void place(std::vector<uint64_t>& buckets, uint64_t hash, uint32_t slot) {
  size_t b = home_bucket(hash, buckets.size());
  while (buckets[b] != EMPTY_BUCKET) b = next_bucket(b, buckets.size());
  buckets[b] = bucket_entry(hash, slot);
}

// Keeps the load factor at most 3/4. Growing for one more id doubles the
// buckets (constant time per id over many); growing for a batch or a load
// gives it the room it asks for and no more, which a power of two would
// waste up to half of. The new index is built aside, so a failed allocation
// leaves the old one in place.
void grow_buckets_for(PointTable& table, size_t ids) {
  const size_t size = table.buckets.size();
  if (size != 0 && ids * 4 <= size * 3) return;
  const size_t needed = std::max({size_t{16}, 2 * size, (ids * 4 + 2) / 3});
  std::vector<uint64_t> fresh(needed, EMPTY_BUCKET);
  for (uint64_t entry : table.buckets) {
    if (entry == EMPTY_BUCKET) continue;
    uint32_t slot = static_cast<uint32_t>(entry & SLOT_MASK);
    place(fresh, hash_id(table.records[slot].key, table.seed), slot);
  }
  table.buckets.swap(fresh);
}

// Removes the bucket holding `slot` and shifts later entries of its probe run
// back, so that every remaining key is still found from its home bucket.
void erase_bucket(PointTable& table, uint32_t slot) {
  std::vector<uint64_t>& buckets = table.buckets;
  const size_t count = buckets.size();
  size_t hole = home_bucket(hash_id(table.records[slot].key, table.seed), count);
  while ((buckets[hole] & SLOT_MASK) != slot) hole = next_bucket(hole, count);
  for (size_t next = next_bucket(hole, count); buckets[next] != EMPTY_BUCKET; next = next_bucket(next, count)) {
    uint32_t moved = static_cast<uint32_t>(buckets[next] & SLOT_MASK);
    size_t home = home_bucket(hash_id(table.records[moved].key, table.seed), count);
    // The entry may move into the hole unless its home lies cyclically in (hole, next].
    bool home_after_hole = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (home_after_hole) continue;
    buckets[hole] = buckets[next];
    hole = next;
  }
  buckets[hole] = EMPTY_BUCKET;
}

enum class TenantUpkeep { Keep, Defer };
enum class CodeUpkeep { Keep, Defer };

uint32_t store_point(PointTable& table, uint64_t key, uint64_t id, const void* components,
                     size_t length, float norm, std::unique_ptr<Payload> payload,
                     TenantUpkeep upkeep, CodeUpkeep code_upkeep = CodeUpkeep::Keep) {
  if (length > UINT32_MAX) throw std::length_error("a vector of 2^32 components or more");
  const uint32_t dim = static_cast<uint32_t>(length);
  const size_t bytes = size_t{dim} * sizeof(float);

  // Everything that can fail is done first and leaves the table as it was.
  uint32_t slot = find_slot(table, key);
  const bool new_slot = slot == NO_SLOT;
  if (new_slot) {
    if (table.free_slots.empty()) {
      if (table.headers.size() >= NO_SLOT - 1) throw std::length_error("more ids than slots");
      reserve_slot(table);
      grow_buckets_for(table, table.headers.size() + 1);
      slot = static_cast<uint32_t>(table.headers.size());
    } else {
      slot = table.free_slots.back();
    }
  }

  uint32_t tenant = NO_TENANT;
  std::string_view tenant_text;
  if (upkeep == TenantUpkeep::Keep && tenant_of(payload.get(), tenant_text)) {
    tenant = intern_tenant(table.tenants, tenant_text);
    std::vector<uint32_t>& members = table.tenants.members[tenant];
    reserve_one_more(members);
  }

  const bool into_rows = dim != 0 && (table.rows.dim == 0 || table.rows.dim == dim);
  float* arena_place = nullptr;
  bool new_arena_entry = false;
  if (into_rows) {
    size_t chunk = slot / ROW_CHUNK_SLOTS;
    if (table.rows.chunks.size() <= chunk) table.rows.chunks.resize(chunk + 1);
    const size_t stride = dim <= CODE_MAX_DIM ? code_stride(dim) : 0;
    if (stride != 0 && table.codes.chunks.size() <= chunk) table.codes.chunks.resize(chunk + 1);
    if (!table.rows.chunks[chunk]) {
      // A chunk of codes exists exactly when its chunk of rows does.
      CodeChunk fresh_codes;
      if (stride != 0) fresh_codes = allocate_code_chunk(ROW_CHUNK_SLOTS, stride);
      table.rows.chunks[chunk] = allocate_floats(ROW_CHUNK_SLOTS * size_t{dim});
      if (stride != 0) table.codes.chunks[chunk] = std::move(fresh_codes);
    }
  } else if (dim != 0) {
    table.arena.lengths.try_emplace(dim, 0);  // counted once the point is in
    new_arena_entry = table.arena.vectors.try_emplace(slot, nullptr).second;
    try {
      arena_place = arena_allocate(table.arena, dim);
    } catch (...) {
      if (new_arena_entry) table.arena.vectors.erase(slot);
      throw;
    }
  }

  const auto earlier_foreign = table.foreign_ids.find(slot);
  const bool had_foreign = earlier_foreign != table.foreign_ids.end();
  const uint64_t earlier_id = had_foreign ? earlier_foreign->second : 0;
  if (id != key) {
    try {
      table.foreign_ids[slot] = id;
    } catch (...) {
      if (arena_place != nullptr) {
        table.arena.live_floats -= dim;
        table.arena.dead_floats += dim;
        if (new_arena_entry) table.arena.vectors.erase(slot);
      }
      throw;
    }
  }

  // Last of what can fail: nothing after it does, so the room is not left
  // reserved for a point that was not stored.
  IndexRoom index_room;
  if (upkeep == TenantUpkeep::Keep) {
    try {
      index_room = reserve_index_room(table.payload_index, slot, payload.get());
    } catch (...) {
      if (id != key && had_foreign) table.foreign_ids[slot] = earlier_id;  // an existing entry: no allocation
      if (id != key && !had_foreign) table.foreign_ids.erase(slot);
      if (arena_place != nullptr) {
        table.arena.live_floats -= dim;
        table.arena.dead_floats += dim;
        if (new_arena_entry) table.arena.vectors.erase(slot);
      }
      throw;
    }
  }

  // From here on nothing allocates.
  if (new_slot) {
    if (slot == table.headers.size()) {
      append_slot(table);
    } else {
      table.free_slots.pop_back();
    }
    table.records[slot].key = key;
    place(table.buckets, hash_id(key, table.seed), slot);
  }
  SlotHeader& header = table.headers[slot];
  const bool had_record = (header.flags & HAS_RECORD) != 0;
  const uint32_t left = had_record ? leave_tenant(table, slot) : NO_TENANT;
  // Counted before the old vector is uncounted: the two may have one length.
  if (arena_place != nullptr) ++table.arena.lengths.find(dim)->second;
  if (had_record && !(header.flags & IN_ROWS) && header.dim != 0) {
    // The old vector lived in the arena; its place is dead from now on.
    table.arena.live_floats -= header.dim;
    table.arena.dead_floats += header.dim;
    uncount_arena_length(table.arena, header.dim);
    if (arena_place == nullptr) table.arena.vectors.erase(slot);
  }

  if (into_rows) {
    if (table.rows.dim == 0 && code_meta_fits_padding(dim)) {
      // The rows' dimension is set once: from now on every meta lies in its
      // code's padding, and no slot had a code before (no vector was in the
      // rows), so the per-slot metas go (swap frees without allocating).
      table.codes.meta_in_padding = true;
      std::vector<CodeMeta>().swap(table.codes.meta);
    }
    table.rows.dim = dim;
    table.codes.stride = dim <= CODE_MAX_DIM ? code_stride(dim) : 0;
    float* row = const_cast<float*>(row_of(table.rows, slot));
    std::memcpy(row, components, bytes);
    CodeMeta code_meta;
    if (table.codes.stride != 0 && code_upkeep == CodeUpkeep::Keep) {
      encode_point_code(row, dim, code_place(table, slot), code_meta);
      code_meta.norm = norm;
    }
    set_code_meta(table.codes, slot, code_meta);
  } else {
    clear_code(table.codes, slot);
  }
  if (!into_rows && arena_place != nullptr) {
    std::memcpy(arena_place, components, bytes);
    table.arena.vectors[slot] = arena_place;
  }
  header.dim = dim;
  header.tenant = NO_TENANT;
  table.norms[slot] = norm;
  set_flags(table, slot, HAS_RECORD | (into_rows ? IN_ROWS : 0));
  if (tenant != NO_TENANT) join_tenant(table, slot, tenant);
  // (The earlier payload, still in place, names the tenant the slot left.)
  forget_tenant_if_empty(table, left, table.records[slot].payload.get());
  // Deferred upkeep only drops the earlier payload: the index is rebuilt whole.
  reindex_slot(table.payload_index, slot, upkeep == TenantUpkeep::Keep ? payload.get() : nullptr,
               std::move(index_room));
  table.records[slot].payload = std::move(payload);
  if (!had_record) ++table.record_count;
  if (id == key && !table.foreign_ids.empty()) table.foreign_ids.erase(slot);
  compact_arena_if_wasteful(table);
  return slot;
}

}  // namespace

uint32_t find_slot(const PointTable& table, uint64_t key) {
  if (table.buckets.empty()) return NO_SLOT;
  uint64_t hash = hash_id(key, table.seed);
  const size_t count = table.buckets.size();
  for (size_t b = home_bucket(hash, count);; b = next_bucket(b, count)) {
    uint64_t entry = table.buckets[b];
    if (entry == EMPTY_BUCKET) return NO_SLOT;
    uint32_t slot = static_cast<uint32_t>(entry & SLOT_MASK);
    if ((entry & ~SLOT_MASK) == (hash & ~SLOT_MASK) && table.records[slot].key == key) return slot;
  }
}

void reserve_points(PointTable& table, size_t count) {
  table.headers.reserve(table.headers.size() + count);
  table.records.reserve(table.records.size() + count);
  table.norms.reserve(table.norms.size() + count);
  if (!table.codes.meta_in_padding) table.codes.meta.reserve(table.codes.meta.size() + count);
  table.record_bits.words.reserve((table.headers.size() + count) / 64 + 1);
  table.row_bits.words.reserve((table.headers.size() + count) / 64 + 1);
  grow_buckets_for(table, table.headers.size() + count);
}

uint32_t slot_for_key(PointTable& table, uint64_t key) {
  uint32_t found = find_slot(table, key);
  if (found != NO_SLOT) return found;
  uint32_t slot;
  if (!table.free_slots.empty()) {
    slot = table.free_slots.back();
    table.free_slots.pop_back();
  } else {
    if (table.headers.size() >= NO_SLOT - 1) throw std::length_error("more ids than slots");
    reserve_slot(table);
    grow_buckets_for(table, table.headers.size() + 1);
    slot = append_slot(table);
  }
  table.records[slot].key = key;
  place(table.buckets, hash_id(key, table.seed), slot);
  return slot;
}

uint32_t put_point(PointTable& table, uint64_t key, uint64_t id, std::span<const float> vector,
                   float norm, std::unique_ptr<Payload> payload) {
  return store_point(table, key, id, vector.data(), vector.size(), norm, std::move(payload),
                     TenantUpkeep::Keep);
}

uint32_t put_point_without_tenant(PointTable& table, uint64_t key, uint64_t id,
                                  std::span<const float> vector, float norm,
                                  std::unique_ptr<Payload> payload) {
  return store_point(table, key, id, vector.data(), vector.size(), norm, std::move(payload),
                     TenantUpkeep::Defer);
}

uint32_t put_point_raw(PointTable& table, uint64_t key, uint64_t id, const void* components,
                       size_t dim, std::unique_ptr<Payload> payload) {
  return store_point(table, key, id, components, dim, 0.0f, std::move(payload),
                     TenantUpkeep::Defer, CodeUpkeep::Defer);
}

uint8_t* code_place(PointTable& table, uint32_t slot) {
  if (table.codes.stride == 0) return nullptr;
  return const_cast<uint8_t*>(code_of(table.codes, slot));
}

void remove_record(PointTable& table, uint32_t slot) {
  SlotHeader& header = table.headers[slot];
  if (!(header.flags & HAS_RECORD)) return;
  forget_tenant_if_empty(table, leave_tenant(table, slot), table.records[slot].payload.get());
  unindex_slot(table.payload_index, slot);
  table.records[slot].payload.reset();
  if (!(header.flags & IN_ROWS) && header.dim != 0) {
    table.arena.live_floats -= header.dim;
    table.arena.dead_floats += header.dim;
    uncount_arena_length(table.arena, header.dim);
    table.arena.vectors.erase(slot);
  }
  header = SlotHeader{};
  table.norms[slot] = 0.0f;
  clear_code(table.codes, slot);
  set_flags(table, slot, 0);
  --table.record_count;
  if (!table.foreign_ids.empty()) table.foreign_ids.erase(slot);
  compact_arena_if_wasteful(table);
}

void release_slot(PointTable& table, uint32_t slot) {
  // Room first: after the bucket is gone, nothing may fail.
  reserve_one_more(table.free_slots);
  erase_bucket(table, slot);
  table.headers[slot] = SlotHeader{};
  table.records[slot] = SlotRecord{};
  table.free_slots.push_back(slot);
}

std::string check_table(const PointTable& table) {
  const size_t slots = table.headers.size();
  if (table.records.size() != slots || table.norms.size() != slots ||
      table.codes.meta.size() != (table.codes.meta_in_padding ? 0 : slots)) {
    return "per-slot arrays differ in count";
  }
  size_t records = 0, indexed = 0;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    const SlotHeader& header = table.headers[slot];
    if (has_record(table, slot) != ((header.flags & HAS_RECORD) != 0) ||
        in_rows(table, slot) != ((header.flags & IN_ROWS) != 0)) {
      return "a slot's bits disagree with its header";
    }
    if (!(header.flags & HAS_RECORD)) {
      if (header.tenant != NO_TENANT || table.records[slot].payload) return "an empty slot holds data";
      continue;
    }
    ++records;
    if (!has_code(table, slot) && (header.flags & IN_ROWS) && table.codes.stride != 0) {
      std::vector<uint8_t> fresh(table.codes.stride);
      CodeMeta meta;
      if (encode_point_code(row_of(table.rows, slot), header.dim, fresh.data(), meta)) {
        return "a vector that can be coded has no code";
      }
    }
    if (has_code(table, slot)) {
      // A code is made from the vector in the rows, and is that vector's code.
      if (!(header.flags & IN_ROWS) || table.codes.stride == 0) return "a code without a row";
      std::vector<uint8_t> fresh(table.codes.stride);
      CodeMeta meta;
      // The code's bytes up to its meta, when the meta lies in its padding.
      const size_t code_part =
          fresh.size() - (table.codes.meta_in_padding ? sizeof(CodeMeta) : 0);
      if (!encode_point_code(row_of(table.rows, slot), header.dim, fresh.data(), meta) ||
          (meta.norm = table.norms[slot],
           std::memcmp(&meta, &code_meta_of(table.codes, slot), sizeof meta) != 0) ||
          std::memcmp(fresh.data(), code_of(table.codes, slot), code_part) != 0) {
        return "a code differs from its vector's";
      }
    }
    if (header.flags & IN_ROWS) {
      if (header.dim != table.rows.dim || slot / ROW_CHUNK_SLOTS >= table.rows.chunks.size() ||
          !table.rows.chunks[slot / ROW_CHUNK_SLOTS]) {
        return "a row vector without its row";
      }
    } else if (header.dim != 0 && !table.arena.vectors.contains(slot)) {
      return "an arena vector without its place";
    }
    std::string_view text;
    bool named = tenant_of(table.records[slot].payload.get(), text);
    uint32_t code = named ? find_tenant(table, text) : NO_TENANT;
    if (header.tenant != code) return "a slot's tenant code does not match its payload";
    if (code != NO_TENANT) {
      const std::vector<uint32_t>& members = table.tenants.members[code];
      uint32_t position = table.headers[slot].tenant_position;
      if (position >= members.size() || members[position] != slot) return "a member list misses a slot";
    }
  }
  if (records != table.record_count) return "record_count is wrong";
  std::unordered_map<uint32_t, size_t> lengths;
  for (const auto& [slot, place] : table.arena.vectors) ++lengths[table.headers[slot].dim];
  for (const auto& [dim, count] : table.arena.lengths) {
    if (count != 0 && lengths[dim] != count) return "the arena's lengths are miscounted";
  }
  for (const auto& [dim, count] : lengths) {
    const auto counted = table.arena.lengths.find(dim);
    if (counted == table.arena.lengths.end() || counted->second != count) {
      return "the arena's lengths are miscounted";
    }
  }
  if (table.tenants.codes.size() + table.tenants.free_codes.size() != table.tenants.members.size()) {
    return "a tenant code without a list";
  }
  if (table.tenants.free_codes.capacity() < table.tenants.members.size()) {
    return "no room to free every tenant code";
  }
  std::vector<bool> coded(table.tenants.members.size());
  for (const auto& [text, code] : table.tenants.codes) {
    if (code >= coded.size() || coded[code]) return "a tenant code named twice";
    coded[code] = true;
  }
  for (uint32_t code : table.tenants.free_codes) {
    if (code >= coded.size() || coded[code]) return "a free tenant code in use";
    coded[code] = true;
    if (!table.tenants.members[code].empty()) return "a free tenant code with members";
  }
  size_t members = 0;
  for (const auto& list : table.tenants.members) members += list.size();
  for (const auto& [slot, data] : table.arena.vectors) {
    if (slot >= slots || !has_record(table, slot) || (table.headers[slot].flags & IN_ROWS) ||
        data == nullptr) {
      return "an arena entry for a slot that does not use it";
    }
  }
  for (uint64_t entry : table.buckets) {
    if (entry == EMPTY_BUCKET) continue;
    ++indexed;
    uint32_t slot = static_cast<uint32_t>(entry & SLOT_MASK);
    if (slot >= slots || find_slot(table, table.records[slot].key) != slot) return "a bucket is not found";
  }
  if (indexed + table.free_slots.size() != slots) return "the id index and the free slots do not cover the slots";
  for (uint32_t slot : table.free_slots) {
    if (has_record(table, slot)) return "a free slot holds a record";
  }
  size_t tenant_members = 0;
  for (uint32_t slot = 0; slot < slots; ++slot) tenant_members += table.headers[slot].tenant != NO_TENANT;
  if (tenant_members != members) return "member lists hold slots that left";
  std::vector<const Payload*> payloads(slots, nullptr);
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (has_record(table, slot)) payloads[slot] = table.records[slot].payload.get();
  }
  return check_payload_index(table.payload_index, payloads);
}

}  // namespace tarnwick
