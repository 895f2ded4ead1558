// Payload filters: a parsed `where` condition as plain nodes, its evaluation
// against a slot's payload, and its compilation against the table's payload
// indexes into a match estimate and candidate slots.
//
// The rules, applied to the value a point's payload holds under the key:
//   - Integers and floats compare as the numbers they are, exactly: an int64
//     and a double are never rounded into each other's type (2**63-1 is less
//     than 9223372036854775808.0; 2**53+1 is greater than 9007199254740992.0;
//     -0.0 equals 0.0 and 0).
//   - Texts (Keyword and Text alike) compare by equality and by code-point
//     order, which is the order of their UTF-8 bytes.
//   - A text never equals a number; ordering a text against a number is false.
//   - NaN equals nothing and orders against nothing, on either side; so it
//     matches only $ne and $nin.
//   - A missing key fails every condition except $ne, $nin and $exists:false.
//   - $eq/$ne, $in/$nin are each other's negation ($in: equal to one value of
//     the list); $exists tests the key's presence whatever its value; $not is
//     plain negation (so $not of a condition matches points without the key).
//   - An And or Or of no children is never parsed; an empty filter (no
//     nodes) matches every point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table/payload.h"
#include "table/point_layout.h"

namespace tarnwick {

enum class FilterOp : uint8_t { And, Or, Not, Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists };

inline bool is_leaf(FilterOp op) { return op != FilterOp::And && op != FilterOp::Or && op != FilterOp::Not; }

// One node of a filter. Nodes lie in prefix order: a node's subtree is the
// `subtree` nodes starting at itself, its children follow it one subtree after
// another (Not has exactly one child).
struct FilterNode {
  FilterOp op = FilterOp::And;
  bool exists = true;    // Exists: whether the key must be present
  uint32_t subtree = 1;  // nodes in this subtree, this one included
  std::string key;       // leaves
  // Leaves other than Exists: values[first_value, first_value + value_count)
  // of the filter (one value except for In and Nin).
  uint32_t first_value = 0;
  uint32_t value_count = 0;
};

// A parsed filter. Values have the kinds a payload's values have (texts of at
// most KEYWORD_MAX_BYTES bytes as Keyword, longer ones as Text).
struct Filter {
  std::vector<FilterNode> nodes;  // empty: matches every point
  std::vector<PayloadValue> values;
};

inline constexpr size_t FILTER_MAX_DEPTH = 32;
inline constexpr size_t FILTER_MAX_NODES = 10000;

// Whether `value` (null: the key is missing) satisfies the leaf `node` of
// `filter`. The reference evaluation of the rules above: it reads no index.
bool leaf_matches(const Filter& filter, const FilterNode& node, const PayloadValue* value);

// Whether a payload (null: none) satisfies the filter, by the rules above.
bool payload_matches(const Filter& filter, const Payload* payload);

// A filter made ready for one table under one read view: keys resolved
// against the payload indexes, In/Nin value lists sorted for binary search.
// Valid while the table does not change.
struct CompiledNode {
  FilterOp op = FilterOp::And;
  bool exists = true;
  uint32_t subtree = 1;
  uint32_t key = UINT32_MAX;  // the key's code in the payload indexes; UINT32_MAX: no point has it
  std::string key_text;
  // Leaves: the values, numbers (exactly ordered, without NaN) and texts
  // (byte ordered) apart, sorted, duplicates removed; `has_nan` when a value
  // was NaN.
  std::vector<IndexNumber> numbers;
  std::vector<std::string> texts;
  bool has_nan = false;
};

struct CompiledFilter {
  std::vector<CompiledNode> nodes;  // as the filter's; empty: matches every point
};

// Compiles the filter for the table; called under a read view of the table.
CompiledFilter compile_filter(const Filter& filter, const PointTable& table);

// Whether the record in `slot` (which must hold one) satisfies the filter.
bool filter_matches(const CompiledFilter& filter, const PointTable& table, uint32_t slot);

// How many records match: `count` is exact when `exact`, else an upper bound.
struct FilterEstimate {
  size_t count = 0;
  bool exact = false;
};

// Estimates the number of matching records from the payload indexes.
// Counting a range stops once it reaches `enough`: a count at or above
// `enough` may be an upper bound only. Costs at most a few index lookups per
// node plus the distinct values a range spans (up to `enough`).
FilterEstimate estimate_matches(const CompiledFilter& filter, const PointTable& table,
                                size_t enough = SIZE_MAX);

// Fills `out` with candidate slots, ascending and each once: a superset of
// the matching records (each to be tested with filter_matches), taken from
// the posting lists and value ranges (And: its smallest indexable child; Or:
// the union when every child is indexable; Not: only over $ne, $nin or
// $exists:false, as the condition it negates). Returns false, leaving `out`
// empty, when the indexes cannot narrow the filter or the candidates would
// exceed `limit`: then every record must be tested.
bool filter_candidates(const CompiledFilter& filter, const PointTable& table, size_t limit,
                       std::vector<uint32_t>& out);

// Whether two filters are the same condition, node for node and value for
// value (bit for bit: a NaN equals itself here).
bool same_filter(const Filter& a, const Filter& b);

// Whether the filter's matches follow from the posting lists alone: no node
// matches points by their lacking something ($ne, $nin, $exists: false,
// $not), so that the matches change only when the lists do.
bool matches_follow_lists(const Filter& filter);

// Sets `bits` (one per slot, bit s of word s / 64) to exactly the records
// that match the filter, from the payload indexes alone: a walk then tests a
// point with one bit. Returns false, leaving `bits` empty, once the posting
// entries and words it would go through pass `budget`.
bool filter_match_bits(const CompiledFilter& filter, const PointTable& table, size_t budget,
                       std::vector<uint64_t>& bits);

}  // namespace tarnwick
