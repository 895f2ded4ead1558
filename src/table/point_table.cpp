#include "table/point_table.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>


namespace tarnwick {

ArenaChunk::ArenaChunk(size_t floats) : bytes_(floats * sizeof(float)) {
  // The chunk will be filled soon: mapping it populated costs one call instead
  // of a page fault for every page.
  void* place = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (place == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<float*>(place);
}

ArenaChunk::ArenaChunk(ArenaChunk&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

ArenaChunk& ArenaChunk::operator=(ArenaChunk&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, bytes_);
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

ArenaChunk::~ArenaChunk() {
  if (data_ != nullptr) ::munmap(data_, bytes_);
}

namespace {

constexpr size_t ARENA_CHUNK_FLOATS = size_t{1} << 18;  // 1 MiB of components

constexpr uint64_t SLOT_MASK = 0xFFFFFFFFULL;

uint64_t bucket_entry(uint64_t hash, uint32_t slot) { return (hash & ~SLOT_MASK) | slot; }

// Places a slot in the first free bucket of its probe sequence.
void place(std::vector<uint64_t>& buckets, uint64_t hash, uint32_t slot) {
  size_t mask = buckets.size() - 1;
  size_t b = hash & mask;
  while (buckets[b] != EMPTY_BUCKET) b = (b + 1) & mask;
  buckets[b] = bucket_entry(hash, slot);
}

void rehash(PointTable& table, size_t bucket_count) {
  table.buckets.assign(bucket_count, EMPTY_BUCKET);
  for (uint32_t slot = 0; slot < table.slots.size(); ++slot) {
    place(table.buckets, hash_id(table.slots[slot].key, table.seed), slot);
  }
}

// Keeps the load factor at most 3/4.
void grow_buckets_for(PointTable& table, size_t ids) {
  size_t needed = std::max<size_t>(16, table.buckets.size());
  while (ids * 4 > needed * 3) needed *= 2;
  if (needed != table.buckets.size()) rehash(table, needed);
}

float* arena_allocate(VectorArena& arena, size_t dim) {
  if (dim == 0) return nullptr;
  if (dim > arena.free_in_last) {
    size_t size = std::max(dim, ARENA_CHUNK_FLOATS);
    arena.chunks.emplace_back(size);
    arena.next = arena.chunks.back().data();
    arena.free_in_last = size;
  }
  float* place = arena.next;
  arena.next += dim;
  arena.free_in_last -= dim;
  arena.live_floats += dim;
  return place;
}

// Rewrites every live vector into fresh chunks once replaced vectors waste more
// space than the live ones use.
void compact_if_wasteful(PointTable& table) {
  VectorArena& arena = table.arena;
  if (arena.dead_floats < ARENA_CHUNK_FLOATS || arena.dead_floats < arena.live_floats) return;
  VectorArena fresh;
  for (PointSlot& slot : table.slots) {
    if (slot.dim == 0) continue;
    float* place = arena_allocate(fresh, slot.dim);
    std::memcpy(place, slot.data, slot.dim * sizeof(float));
    slot.data = place;
  }
  table.arena = std::move(fresh);
}

uint32_t intern_tenant(TenantTable& tenants, std::string_view text) {
  auto it = tenants.codes.find(text);
  if (it != tenants.codes.end()) return it->second;
  uint32_t code = static_cast<uint32_t>(tenants.members.size());
  tenants.codes.emplace(std::string(text), code);
  tenants.members.emplace_back();
  return code;
}

void add_member(std::vector<uint32_t>& members, uint32_t slot) {
  if (members.empty() || members.back() < slot) {
    members.push_back(slot);
    return;
  }
  members.insert(std::lower_bound(members.begin(), members.end(), slot), slot);
}

void remove_member(std::vector<uint32_t>& members, uint32_t slot) {
  auto it = std::lower_bound(members.begin(), members.end(), slot);
  if (it != members.end() && *it == slot) members.erase(it);
}

// Removes the bucket holding `slot` and shifts later entries of its probe run
// back, so that every remaining key is still found from its home bucket.
void erase_bucket(PointTable& table, uint32_t slot) {
  std::vector<uint64_t>& buckets = table.buckets;
  const size_t mask = buckets.size() - 1;
  size_t hole = hash_id(table.slots[slot].key, table.seed) & mask;
  while ((buckets[hole] & SLOT_MASK) != slot) hole = (hole + 1) & mask;
  for (size_t next = (hole + 1) & mask; buckets[next] != EMPTY_BUCKET; next = (next + 1) & mask) {
    uint32_t moved = static_cast<uint32_t>(buckets[next] & SLOT_MASK);
    size_t home = hash_id(table.slots[moved].key, table.seed) & mask;
    // The entry may move into the hole unless its home lies cyclically in (hole, next].
    bool home_after_hole = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (home_after_hole) continue;
    buckets[hole] = buckets[next];
    hole = next;
  }
  buckets[hole] = EMPTY_BUCKET;
}

}  // namespace

uint32_t find_slot(const PointTable& table, uint64_t key) {
  if (table.buckets.empty()) return NO_SLOT;
  uint64_t hash = hash_id(key, table.seed);
  size_t mask = table.buckets.size() - 1;
  for (size_t b = hash & mask;; b = (b + 1) & mask) {
    uint64_t entry = table.buckets[b];
    if (entry == EMPTY_BUCKET) return NO_SLOT;
    uint32_t slot = static_cast<uint32_t>(entry & SLOT_MASK);
    if ((entry & ~SLOT_MASK) == (hash & ~SLOT_MASK) && table.slots[slot].key == key) return slot;
  }
}

void reserve_points(PointTable& table, size_t count) {
  table.slots.reserve(table.slots.size() + count);
  grow_buckets_for(table, table.slots.size() + count);
}

uint32_t slot_for_key(PointTable& table, uint64_t key) {
  uint32_t found = find_slot(table, key);
  if (found != NO_SLOT) return found;
  uint32_t slot;
  if (!table.free_slots.empty()) {
    slot = table.free_slots.back();
    table.free_slots.pop_back();
  } else {
    if (table.slots.size() >= NO_SLOT - 1) std::abort();  // more ids than slot numbers
    grow_buckets_for(table, table.slots.size() + 1);
    slot = static_cast<uint32_t>(table.slots.size());
    table.slots.push_back(PointSlot{});
  }
  table.slots[slot].key = key;
  place(table.buckets, hash_id(key, table.seed), slot);
  return slot;
}

uint32_t put_point(PointTable& table, uint64_t key, uint64_t id, std::span<const float> vector,
                   float norm, std::unique_ptr<Payload> payload) {
  uint32_t slot_number = slot_for_key(table, key);
  PointSlot& slot = table.slots[slot_number];

  if (slot.dim == vector.size() && slot.dim != 0) {
    std::memcpy(const_cast<float*>(slot.data), vector.data(), vector.size_bytes());
  } else {
    table.arena.dead_floats += slot.dim;
    table.arena.live_floats -= slot.dim;
    float* place = arena_allocate(table.arena, vector.size());
    if (!vector.empty()) std::memcpy(place, vector.data(), vector.size_bytes());
    slot.data = place;
    slot.dim = static_cast<uint32_t>(vector.size());
  }
  slot.norm = norm;

  uint32_t tenant = NO_TENANT;
  std::string_view tenant_text;
  if (tenant_of(payload.get(), tenant_text)) tenant = intern_tenant(table.tenants, tenant_text);
  bool was_member = slot.has_record && slot.tenant != NO_TENANT;
  if (!was_member || slot.tenant != tenant) {
    if (was_member) remove_member(table.tenants.members[slot.tenant], slot_number);
    if (tenant != NO_TENANT) add_member(table.tenants.members[tenant], slot_number);
  }
  slot.tenant = tenant;
  slot.payload = std::move(payload);

  if (!slot.has_record) {
    slot.has_record = true;
    ++table.record_count;
  }
  if (id != key) {
    table.foreign_ids[slot_number] = id;
  } else if (!table.foreign_ids.empty()) {
    table.foreign_ids.erase(slot_number);
  }
  compact_if_wasteful(table);
  return slot_number;
}

void remove_record(PointTable& table, uint32_t slot_number) {
  PointSlot& slot = table.slots[slot_number];
  if (!slot.has_record) return;
  if (slot.tenant != NO_TENANT) remove_member(table.tenants.members[slot.tenant], slot_number);
  slot.tenant = NO_TENANT;
  slot.payload.reset();
  table.arena.dead_floats += slot.dim;
  table.arena.live_floats -= slot.dim;
  slot.data = nullptr;
  slot.dim = 0;
  slot.norm = 0.0f;
  slot.has_record = false;
  --table.record_count;
  if (!table.foreign_ids.empty()) table.foreign_ids.erase(slot_number);
  compact_if_wasteful(table);
}

void release_slot(PointTable& table, uint32_t slot) {
  erase_bucket(table, slot);
  table.slots[slot] = PointSlot{};
  table.free_slots.push_back(slot);
}

uint32_t find_tenant(const PointTable& table, std::string_view tenant) {
  auto it = table.tenants.codes.find(tenant);
  return it == table.tenants.codes.end() ? NO_TENANT : it->second;
}

}  // namespace tarnwick
