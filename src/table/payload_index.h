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
  union {
    int64_t integer = 0;
    double real;
  };
  static IndexNumber of_integer(int64_t value) {
    IndexNumber number;
    number.integer = value;
    return number;
  }
  static IndexNumber of_real(double value) {
    IndexNumber number;
    number.is_float = true;
    number.real = value;
    return number;
  }
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

// Slots, in no particular order: a vector of uint32_t that keeps up to two
// in place, as most lists of a key with many distinct values hold one.
class PostingList {
 public:
  PostingList() = default;
  PostingList(PostingList&& other) noexcept { take(other); }
  PostingList& operator=(PostingList&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~PostingList() { release(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }
  uint32_t operator[](size_t i) const { return data()[i]; }
  uint32_t& operator[](size_t i) { return data()[i]; }
  uint32_t back() const { return data()[size_ - 1]; }
  void pop_back() { --size_; }
  // Within the capacity only: never allocates.
  void push_back(uint32_t slot) { data()[size_++] = slot; }
  // Makes room for `count` slots in all (may throw; then nothing changed).
  void reserve(size_t count) { if (count > capacity_) move_to(count); }
  void shrink_to_fit() { if (capacity_ > IN_PLACE && size_ < capacity_) move_to(size_); }

 private:
  static constexpr uint32_t IN_PLACE = 2;
  const uint32_t* data() const { return capacity_ > IN_PLACE ? heap_ : in_place_; }
  uint32_t* data() { return capacity_ > IN_PLACE ? heap_ : in_place_; }
  void release() {
    if (capacity_ > IN_PLACE) delete[] heap_;
    capacity_ = IN_PLACE;
    size_ = 0;
  }
  void take(PostingList& other) {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (capacity_ > IN_PLACE) {
      heap_ = other.heap_;
    } else {
      in_place_[0] = other.in_place_[0];
      in_place_[1] = other.in_place_[1];
    }
    other.capacity_ = IN_PLACE;
    other.size_ = 0;
  }
  void move_to(size_t count) {
    if (count <= IN_PLACE) {
      if (capacity_ <= IN_PLACE) return;
      uint32_t* heap = heap_;
      for (uint32_t i = 0; i < size_; ++i) in_place_[i] = heap[i];
      delete[] heap;
      capacity_ = IN_PLACE;
      return;
    }
    uint32_t* fresh = new uint32_t[count];
    const uint32_t* old = data();
    for (uint32_t i = 0; i < size_; ++i) fresh[i] = old[i];
    if (capacity_ > IN_PLACE) delete[] heap_;
    heap_ = fresh;
    capacity_ = static_cast<uint32_t>(count);
  }

  uint32_t size_ = 0;
  uint32_t capacity_ = IN_PLACE;
  union {
    uint32_t in_place_[IN_PLACE] = {0, 0};
    uint32_t* heap_;
  };
};

// A text list's value, read in the payload of one of the records holding it:
// the index keeps no copy of the bytes (a document's text would otherwise be
// held twice). When that record lets go of the value while others still hold
// it, the view moves to another holder's bytes; equal bytes, so the list keeps
// its place in the map.
struct IndexText {
  mutable std::string_view bytes;
};

struct IndexTextLess {
  using is_transparent = void;
  bool operator()(const IndexText& a, const IndexText& b) const { return a.bytes < b.bytes; }
  bool operator()(const IndexText& a, std::string_view b) const { return a.bytes < b; }
  bool operator()(std::string_view a, const IndexText& b) const { return a < b.bytes; }
};

struct KeyPostings {
  size_t slots = 0;  // records whose payload holds the key
  std::map<IndexText, PostingList, IndexTextLess> texts;          // byte order
  std::map<IndexNumber, PostingList, IndexNumberLess> numbers;    // exact numeric order
  PostingList nans;
  size_t text_slots = 0;
  size_t number_slots = 0;  // NaN excluded
};

// A slot's indexed payload and, for each of its entries, the entry's place in
// its posting list.
// Payloads of at most two entries keep the places in the slot itself.
struct IndexedSlot {
  const Payload* payload = nullptr;
  std::unique_ptr<uint32_t[]> positions_apart;  // more than two entries
  uint32_t positions_in_place[2] = {0, 0};
  uint32_t* positions() { return positions_apart ? positions_apart.get() : positions_in_place; }
  const uint32_t* positions() const { return positions_apart ? positions_apart.get() : positions_in_place; }
};

// A number no other state of any payload index had: each change of the
// lists takes a new one, so that something made from the lists can tell it
// is still theirs.
uint64_t next_index_generation();

struct PayloadIndex {
  uint64_t generation = next_index_generation();
  // A key no record holds any more is forgotten: its code goes to
  // `free_key_codes` (kept with room for every code, so that freeing one never
  // allocates) and serves the next new key; its postings stay, empty.
  std::unordered_map<std::string, uint32_t, SeededTextHash, std::equal_to<>> key_codes;
  std::vector<KeyPostings> keys;
  std::vector<uint32_t> free_key_codes;
  std::vector<IndexedSlot> slots;  // by slot; slots past the end are unindexed
  // Lists never stay empty: a value no record holds has no list.
};

// The number a payload value holds, when it is an Integer or a non-NaN Float.
inline bool index_number_of(const PayloadValue& value, IndexNumber& out) {
  if (value.kind == PayloadKind::Integer) {
    out = IndexNumber::of_integer(value.integer);
    return true;
  }
  if (value.kind == PayloadKind::Float && !std::isnan(value.number)) {
    out = IndexNumber::of_real(value.number);
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
// none) without failing. `payload` must stay where it is, unchanged, while
// indexed (the text lists read their values in it), and the earlier one until
// reindex_slot returns.
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
