// The point table: every point in a dense slot, found by id through a seeded
// open-addressing index; what the rest of the core calls to store, find, read
// and scan points. The layout itself is in table/point_layout.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "table/payload.h"
#include "table/point_layout.h"

namespace tarnwick {

inline size_t slot_count(const PointTable& table) { return table.headers.size(); }

inline bool has_record(const PointTable& table, uint32_t slot) {
  return table.record_bits.test(slot);
}

// Whether the slot holds a record whose vector lies in the rows.
inline bool in_rows(const PointTable& table, uint32_t slot) { return table.row_bits.test(slot); }

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

// The number of slots holding a record: the points stored.
inline size_t record_count(const PointTable& table) { return table.record_count; }

// Records whose vectors live outside the rows (another length than the
// rows', which the first vector stored set): they have no codes.
inline size_t records_outside_rows(const PointTable& table) { return table.arena.vectors.size(); }

// Moves the rows to the length of the vectors outside them once those of one
// length far outnumber the rows' own (a first point of another length, a
// test vector, kept or replaced while the real points came): they move into
// the rows and get codes, the rows' records move out. Returns whether it did;
// a table short of memory stays as it is. Invalidates every vector and code
// address read before it.
bool settle_row_length(PointTable& table);

// The payload lists' generation: it changes whenever a payload joins or
// leaves them, so that what is made from them can tell whether it still holds.
inline uint64_t payload_generation(const PointTable& table) {
  return table.payload_index.generation;
}

// The length of the vector in a slot (0 without a record).
inline uint32_t slot_dim(const PointTable& table, uint32_t slot) { return table.headers[slot].dim; }

// The tenant code of the record in a slot, or NO_TENANT.
inline uint32_t slot_tenant(const PointTable& table, uint32_t slot) {
  return table.headers[slot].tenant;
}

// The payload of the record in a slot; null when it has none.
inline const Payload* record_payload(const PointTable& table, uint32_t slot) {
  return table.records[slot].payload.get();
}

// Returns the slot stored under key, or NO_SLOT.
uint32_t find_slot(const PointTable& table, uint64_t key);

// Returns the slot under key, adding an empty one (no record) when there is none.
uint32_t slot_for_key(PointTable& table, uint64_t key);

// Makes room for `count` more ids without rehashing or moving slots.
void reserve_points(PointTable& table, size_t count);

// Stores a record under key, replacing any earlier one whole; `norm` is the
// vector's norm, which cosine distances read. Returns its slot. When an
// allocation fails the table is left as it was (the payload is dropped).
// A record has two ids: its key, under which upsert, get and delete find it,
// and its id, which a search reports. They are the same for every point the
// store was given; only a snapshot can hold a point whose id differs from its
// key, and loading one keeps both as the file has them.
uint32_t put_point(PointTable& table, uint64_t key, uint64_t id, std::span<const float> vector,
                   float norm, std::unique_ptr<Payload> payload);

// Stores a point given to the store: found under its id, and reported as it.
inline uint32_t put_point_by_id(PointTable& table, uint64_t id, std::span<const float> vector,
                                float norm, std::unique_ptr<Payload> payload) {
  return put_point(table, /*key=*/id, /*id=*/id, vector, norm, std::move(payload));
}

// As put_point, but leaves the tenant member lists alone (and the slot's
// tenant code unset) for rebuild_tenants to make them in one pass.
uint32_t put_point_without_tenant(PointTable& table, uint64_t key, uint64_t id,
                                  std::span<const float> vector, float norm,
                                  std::unique_ptr<Payload> payload);

// As put_point_without_tenant, for a decoder: the `dim` components are copied
// from `components` as they lie in memory (which need not be aligned for
// floats), and the norm is left at zero and the code unmade for the caller
// to set.
uint32_t put_point_raw(PointTable& table, uint64_t key, uint64_t id, const void* components,
                       size_t dim, std::unique_ptr<Payload> payload);

// Where the code of a slot whose vector lies in the rows goes, or null when
// the rows' dimension gets no codes.
uint8_t* code_place(PointTable& table, uint32_t slot);

// Makes every tenant member list and the payload indexes from the payloads:
// used after a run of put_point_without_tenant or put_point_raw.
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
  PayloadIndex payload_index;  // made with the lists
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

// Returns the code of a tenant text, or NO_TENANT when no point holds it.
uint32_t find_tenant(const PointTable& table, std::string_view tenant);

// The slots holding a record of the tenant, in no particular order.
inline std::span<const uint32_t> tenant_members(const PointTable& table, uint32_t tenant) {
  return table.tenants.members[tenant];
}

// Scans. A scan reads every record of one vector length in slot order, and
// reads runs of rows whole: ROW_RUN_SLOTS consecutive slots (from a multiple
// of it) whose vectors all lie in the rows are consecutive in memory, at the
// rows' stride, and are handed over as one run without a look at their
// headers. Every other slot holding a record of that length comes alone.

inline constexpr uint32_t ROW_RUN_SLOTS = 64;

// A run of rows: ROW_RUN_SLOTS vectors of the scanned length, back to back.
struct RowRun {
  uint32_t first_slot;
  const float* first_row;  // the row of first_slot; slot first_slot + r is r rows on
  const float* row_norms;  // row_norms[r]: the norm of slot first_slot + r
  // The rows of the ROW_RUN_SLOTS slots after the run, for prefetching (they
  // need not hold records): null when they are not allocated; `next_follows`
  // when they lie right after this run's rows.
  const float* next_rows;
  bool next_follows;
  // The run's codes, back to back `code_stride` bytes apart (their metas by
  // run_code_metas); null when the rows' dimension gets no codes.
  const uint8_t* first_code;
  size_t code_stride;
};

// One slot holding a record of the scanned length.
struct ScanSlot {
  uint32_t slot;
  const float* vector;
  float norm;  // the vector's norm (sqrt of the in-order sum of squares)
  const uint8_t* code;     // null when the point has no code
  const CodeMeta* code_meta;
};

// The ScanSlot of a slot holding a record.
inline ScanSlot scan_slot(const PointTable& table, uint32_t slot) {
  const bool coded = in_rows(table, slot) && table.codes.stride != 0 && has_code(table, slot);
  return ScanSlot{slot, vector_data(table, slot), table.norms[slot],
                  coded ? code_of(table.codes, slot) : nullptr,
                  coded ? &code_meta_of(table.codes, slot) : nullptr};
}

// The bytes of a code in the rows (0 while the rows' dimension gets none).
inline size_t code_bytes(const PointTable& table) { return table.codes.stride; }

// The metas of the ROW_RUN_SLOTS slots of a run from `first`, side by side (a
// meta with a negative residual: that slot has no code): in place when the
// metas are kept by slot, otherwise gathered from the codes' paddings into
// `gathered` (only a scan that reads the codes pays for that).
inline const CodeMeta* run_code_metas(const PointTable& table, uint32_t first,
                                      CodeMeta (&gathered)[ROW_RUN_SLOTS]) {
  const CodeStore& codes = table.codes;
  if (!codes.meta_in_padding) return codes.meta.data() + first;
  for (uint32_t r = 0; r < ROW_RUN_SLOTS; ++r) gathered[r] = code_meta_of(codes, first + r);
  return gathered;
}

// Calls on_run(const RowRun&) and on_slot(const ScanSlot&) for the records of
// length `dim`, in ascending slot order.
template <typename OnRun, typename OnSlot>
void scan_records(const PointTable& table, size_t dim, OnRun&& on_run, OnSlot&& on_slot) {
  static_assert(ROW_CHUNK_SLOTS % ROW_RUN_SLOTS == 0, "a run never spans two chunks of rows");
  const uint32_t slots = static_cast<uint32_t>(slot_count(table));
  const bool runs_possible = dim != 0 && dim == table.rows.dim;
  for (uint32_t first = 0; first < slots; first += ROW_RUN_SLOTS) {
    const size_t word = first / 64;
    if (runs_possible && first + ROW_RUN_SLOTS <= slots &&
        table.record_bits.words[word] == ~uint64_t{0} && table.row_bits.words[word] == ~uint64_t{0}) {
      const uint32_t next = first + ROW_RUN_SLOTS;
      const size_t next_chunk = next / ROW_CHUNK_SLOTS;
      const bool follows = next_chunk == first / ROW_CHUNK_SLOTS;
      const bool allocated = follows || (next_chunk < table.rows.chunks.size() && table.rows.chunks[next_chunk]);
      const bool coded = table.codes.stride != 0;
      on_run(RowRun{first, row_of(table.rows, first), table.norms.data() + first,
                    allocated ? row_of(table.rows, next) : nullptr, follows,
                    coded ? code_of(table.codes, first) : nullptr, table.codes.stride});
      continue;
    }
    const uint32_t end = std::min(slots, first + ROW_RUN_SLOTS);
    for (uint32_t slot = first; slot < end; ++slot) {
      const SlotHeader& header = table.headers[slot];
      if (!(header.flags & HAS_RECORD) || header.dim != dim) continue;
      on_slot(scan_slot(table, slot));
    }
  }
}

// Calls on_slot(const ScanSlot&) for the tenant's records of length `dim`, in
// the order of its member list.
template <typename OnSlot>
void scan_tenant_records(const PointTable& table, uint32_t tenant, size_t dim, OnSlot&& on_slot) {
  for (uint32_t slot : tenant_members(table, tenant)) {
    const SlotHeader& header = table.headers[slot];
    if (!(header.flags & HAS_RECORD) || header.dim != dim) continue;
    on_slot(scan_slot(table, slot));
  }
}

// Checks every internal invariant; returns the first broken one's description,
// or an empty text. For tests.
std::string check_table(const PointTable& table);

}  // namespace tarnwick
