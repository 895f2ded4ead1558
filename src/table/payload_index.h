// Payload indexes: for every payload key, the slots holding each value under
// it (posting lists, texts and numbers apart, both kept in value order so that
// a range of values is a range of lists). Derived data kept in step with the
// records by the point table, never saved.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table/payload.h"
#include "table/seeded_hash.h"

namespace tarnwick {

// The exact order of an int64 and a double that is not NaN: -1, 0 or 1 as
// `integer` is below, equal to or above `real`. No value is rounded.
inline int compare_integer_real(int64_t integer, double real) {
  if (real >= 9223372036854775808.0) return -1;   // 2**63: above every int64
  if (real < -9223372036854775808.0) return 1;    // below -2**63
  const double whole = std::trunc(real);          // in [-2**63, 2**63): exact as an int64
  const int64_t whole_integer = static_cast<int64_t>(whole);
  if (integer != whole_integer) return integer < whole_integer ? -1 : 1;
  return real > whole ? -1 : real < whole ? 1 : 0;
}

// A number as a payload holds it; a float is never NaN here.
struct IndexNumber {
  bool is_float = false;
  int64_t integer = 0;
  double real = 0.0;
};

inline int compare_numbers(const IndexNumber& a, const IndexNumber& b) {
  if (!a.is_float && !b.is_float) return a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
  if (a.is_float && b.is_float) return a.real < b.real ? -1 : a.real > b.real ? 1 : 0;
  if (!a.is_float) return compare_integer_real(a.integer, b.real);
  return -compare_integer_real(b.integer, a.real);
}

// Numbers equal as numbers (2, 2.0, -0.0 and 0) share one list.
struct IndexNumberLess {
  bool operator()(const IndexNumber& a, const IndexNumber& b) const { return compare_numbers(a, b) < 0; }
};

using PostingList = std::vector<uint32_t>;  // slots, in no particular order

struct KeyPostings {
  size_t slots = 0;  // records whose payload holds the key
  std::map<std::string, PostingList, std::less<>> texts;          // byte order
  std::map<IndexNumber, PostingList, IndexNumberLess> numbers;    // exact numeric order
  PostingList nans;
  size_t text_slots = 0;
  size_t number_slots = 0;  // NaN excluded
};

// A slot's indexed payload and, for each of its entries, the entry's place in
// its posting list.
struct IndexedSlot {
  const Payload* payload = nullptr;
  std::unique_ptr<uint32_t[]> positions;
};

struct PayloadIndex {
  // Key codes are never withdrawn: a key no record holds keeps empty postings.
  std::unordered_map<std::string, uint32_t, SeededTextHash, std::equal_to<>> key_codes;
  std::vector<KeyPostings> keys;
  std::vector<IndexedSlot> slots;  // by slot; slots past the end are unindexed
  // Lists never stay empty: a value no record holds has no list.
};

// The number a payload value holds, when it is an Integer or a non-NaN Float.
inline bool index_number_of(const PayloadValue& value, IndexNumber& out) {
  if (value.kind == PayloadKind::Integer) {
    out = IndexNumber{false, value.integer, 0.0};
    return true;
  }
  if (value.kind == PayloadKind::Float && !std::isnan(value.number)) {
    out = IndexNumber{true, 0, value.number};
    return true;
  }
  return false;
}

// Returns the key's code, or UINT32_MAX when no record ever held the key.
uint32_t find_index_key(const PayloadIndex& index, std::string_view key);

// The posting list of one value under a key, or null when no record holds it
// (NaN: the key's NaN list).
const PostingList* find_postings(const KeyPostings& postings, const PayloadValue& value);

// Indexing one slot's payload in two steps: reserve_index_room can fail (by
// throwing) and leaves the index's content as it was; reindex_slot then
// drops the slot's earlier payload (if indexed) and indexes `payload` (null:
// none) without failing. `payload` must stay where it is while indexed.
struct IndexRoom {
  std::unique_ptr<uint32_t[]> positions;
};
IndexRoom reserve_index_room(PayloadIndex& index, uint32_t slot, const Payload* payload);
void reindex_slot(PayloadIndex& index, uint32_t slot, const Payload* payload, IndexRoom room) noexcept;

// Drops the slot's payload from the index. Never fails.
void unindex_slot(PayloadIndex& index, uint32_t slot) noexcept;

// Builds the index of the payloads by slot (null: no record or no payload)
// in one pass.
PayloadIndex build_payload_index(std::span<const Payload* const> payloads);

// Checks the index against the payloads by slot; returns the first broken
// invariant's description, or an empty text. For tests.
std::string check_payload_index(const PayloadIndex& index, std::span<const Payload* const> payloads);

}  // namespace tarnwick
