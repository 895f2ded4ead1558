// Payload filters: the reference evaluation, the compiled one, and what the
// payload indexes tell about a filter before any record is read.
#include "table/payload_filter.h"

#include <algorithm>
#include <cstring>

#include "table/point_table.h"

namespace tarnwick {

namespace {

constexpr int INCOMPARABLE = 2;

// The order of a stored value against a filter value: -1, 0 or 1, or
// INCOMPARABLE (a text against a number, or NaN on either side).
int compare_values(const PayloadValue& stored, const PayloadValue& wanted) {
  if (stored.is_text() != wanted.is_text()) return INCOMPARABLE;
  if (stored.is_text()) {
    const int order = std::string_view(stored.text).compare(wanted.text);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
  IndexNumber a, b;
  if (!index_number_of(stored, a) || !index_number_of(wanted, b)) return INCOMPARABLE;
  return compare_numbers(a, b);
}

bool order_holds(FilterOp op, int order) {
  switch (op) {
    case FilterOp::Gt: return order == 1;
    case FilterOp::Gte: return order == 1 || order == 0;
    case FilterOp::Lt: return order == -1;
    case FilterOp::Lte: return order == -1 || order == 0;
    default: return false;
  }
}

// Evaluates the subtree at `at`; leaf(node) decides the leaves.
template <typename Node, typename Leaf>
bool evaluate(const std::vector<Node>& nodes, size_t at, const Leaf& leaf) {
  const Node& node = nodes[at];
  const size_t end = at + node.subtree;
  switch (node.op) {
    case FilterOp::And:
      for (size_t child = at + 1; child < end; child += nodes[child].subtree) {
        if (!evaluate(nodes, child, leaf)) return false;
      }
      return true;
    case FilterOp::Or:
      for (size_t child = at + 1; child < end; child += nodes[child].subtree) {
        if (evaluate(nodes, child, leaf)) return true;
      }
      return false;
    case FilterOp::Not:
      return !evaluate(nodes, at + 1, leaf);
    default:
      return leaf(node);
  }
}

bool text_listed(const CompiledNode& node, std::string_view text) {
  return std::binary_search(node.texts.begin(), node.texts.end(), text, std::less<>());
}

bool number_listed(const CompiledNode& node, const IndexNumber& number) {
  return std::binary_search(node.numbers.begin(), node.numbers.end(), number, IndexNumberLess());
}

// Whether the value equals one of the leaf's values.
bool value_listed(const CompiledNode& node, const PayloadValue& value) {
  if (value.is_text()) return text_listed(node, value.text);
  IndexNumber number;
  return index_number_of(value, number) && number_listed(node, number);
}

bool compiled_leaf_matches(const CompiledNode& node, const PayloadValue* value) {
  switch (node.op) {
    case FilterOp::Exists: return (value != nullptr) == node.exists;
    case FilterOp::Eq:
    case FilterOp::In: return value != nullptr && value_listed(node, *value);
    case FilterOp::Ne:
    case FilterOp::Nin: return value == nullptr || !value_listed(node, *value);
    default: break;
  }
  if (value == nullptr) return false;
  int order = INCOMPARABLE;
  if (value->is_text()) {
    if (!node.texts.empty()) {
      const int c = std::string_view(value->text).compare(node.texts[0]);
      order = c < 0 ? -1 : c > 0 ? 1 : 0;
    }
  } else {
    IndexNumber number;
    if (!node.numbers.empty() && index_number_of(*value, number)) order = compare_numbers(number, node.numbers[0]);
  }
  return order_holds(node.op, order);
}

// Whether a record without the key satisfies the leaf.
bool missing_matches(const CompiledNode& node) {
  return node.op == FilterOp::Ne || node.op == FilterOp::Nin || (node.op == FilterOp::Exists && !node.exists);
}

const KeyPostings* postings_of(const CompiledNode& node, const PointTable& table) {
  return node.key == UINT32_MAX ? nullptr : &table.payload_index.keys[node.key];
}

// Calls on_list(const PostingList&) for the lists of the values a leaf with
// equality (Eq, In) names.
template <typename OnList>
void for_listed_values(const CompiledNode& node, const KeyPostings& postings, OnList&& on_list) {
  for (const std::string& text : node.texts) {
    auto it = postings.texts.find(text);
    if (it != postings.texts.end()) on_list(it->second);
  }
  for (const IndexNumber& number : node.numbers) {
    auto it = postings.numbers.find(number);
    if (it != postings.numbers.end()) on_list(it->second);
  }
}

// The lists a range leaf spans, [first, last), and the ones it leaves out on
// the other side of its bound, of one map (texts or numbers).
template <typename Map, typename Bound>
struct RangeSpan {
  typename Map::const_iterator first, last, out_first, out_last;
};

template <typename Map, typename Bound>
RangeSpan<Map, Bound> range_span(const Map& map, FilterOp op, const Bound& bound) {
  RangeSpan<Map, Bound> span;
  switch (op) {
    case FilterOp::Gt: span.first = map.upper_bound(bound), span.last = map.end(); break;
    case FilterOp::Gte: span.first = map.lower_bound(bound), span.last = map.end(); break;
    case FilterOp::Lt: span.first = map.begin(), span.last = map.lower_bound(bound); break;
    default: span.first = map.begin(), span.last = map.upper_bound(bound); break;
  }
  const bool upward = op == FilterOp::Gt || op == FilterOp::Gte;
  span.out_first = upward ? map.begin() : span.last;
  span.out_last = upward ? span.first : map.end();
  return span;
}

// Counts the slots of the lists in a span: stops at `enough` (an upper bound,
// `total` minus nothing) unless the lists left out run out first, which makes
// the count exact as `total` minus them. Visits at most twice the smaller side.
template <typename Span>
FilterEstimate count_span(const Span& span, size_t total, size_t enough) {
  size_t inside = 0, outside = 0;
  auto in = span.first, out = span.out_first;
  while (true) {
    if (in == span.last) return {inside, true};
    if (out == span.out_last) return {total - outside, true};
    inside += in->second.size();
    outside += out->second.size();
    ++in, ++out;
    if (inside >= enough) return {total - std::min(outside, total), false};
  }
}

FilterEstimate range_estimate(const CompiledNode& node, const KeyPostings& postings, size_t enough) {
  if (!node.texts.empty()) {
    auto span = range_span<decltype(postings.texts), std::string>(postings.texts, node.op, node.texts[0]);
    return count_span(span, postings.text_slots, enough);
  }
  if (!node.numbers.empty()) {
    auto span = range_span<decltype(postings.numbers), IndexNumber>(postings.numbers, node.op, node.numbers[0]);
    return count_span(span, postings.number_slots, enough);
  }
  return {0, true};  // NaN orders against nothing
}

// Calls take(const PostingList&) on each list a leaf names, until it returns
// false: every list of the key for $exists, the lists of the values named for
// $eq, $in, $ne and $nin (those it excludes, for the last two), the lists its
// bound spans for a range. Returns false when `take` stopped it.
template <typename Take>
bool for_each_leaf_list(const CompiledNode& node, const KeyPostings& postings, Take&& take) {
  bool going = true;
  auto each = [&](const PostingList& list) { going = going && take(list); };
  switch (node.op) {
    case FilterOp::Exists:
      for (auto it = postings.texts.begin(); going && it != postings.texts.end(); ++it) each(it->second);
      for (auto it = postings.numbers.begin(); going && it != postings.numbers.end(); ++it) each(it->second);
      each(postings.nans);
      break;
    case FilterOp::Eq:
    case FilterOp::In:
    case FilterOp::Ne:
    case FilterOp::Nin:
      for_listed_values(node, postings, each);
      break;
    default:
      if (!node.texts.empty()) {
        auto span = range_span<decltype(postings.texts), std::string>(postings.texts, node.op, node.texts[0]);
        for (auto it = span.first; going && it != span.last; ++it) each(it->second);
      } else if (!node.numbers.empty()) {
        auto span = range_span<decltype(postings.numbers), IndexNumber>(postings.numbers, node.op, node.numbers[0]);
        for (auto it = span.first; going && it != span.last; ++it) each(it->second);
      }
      break;
  }
  return going;
}

FilterEstimate estimate_node(const CompiledFilter& filter, const PointTable& table, size_t at, size_t enough) {
  const CompiledNode& node = filter.nodes[at];
  const size_t records = record_count(table);
  const size_t end = at + node.subtree;
  switch (node.op) {
    case FilterOp::And: {
      // The fewest matches of any child bound the And's; exact with one child.
      FilterEstimate best{records, true};
      size_t children = 0;
      for (size_t child = at + 1; child < end; child += filter.nodes[child].subtree, ++children) {
        FilterEstimate e = estimate_node(filter, table, child, enough);
        if (e.exact && e.count == 0) return e;
        if (children == 0 || e.count < best.count) best = e;
      }
      best.exact = best.exact && children == 1;
      return best;
    }
    case FilterOp::Or: {
      FilterEstimate sum{0, true};
      size_t children = 0;
      for (size_t child = at + 1; child < end; child += filter.nodes[child].subtree, ++children) {
        FilterEstimate e = estimate_node(filter, table, child, enough);
        sum.count += e.count;
        sum.exact = sum.exact && e.exact;
      }
      // A sum of exact counts is exact only when no record can be counted twice.
      sum.exact = sum.exact && (children <= 1 || sum.count == 0);
      sum.count = std::min(sum.count, records);
      return sum;
    }
    case FilterOp::Not: {
      FilterEstimate e = estimate_node(filter, table, at + 1, enough);
      return e.exact ? FilterEstimate{records - e.count, true} : FilterEstimate{records, false};
    }
    default: break;
  }
  const KeyPostings* postings = postings_of(node, table);
  if (postings == nullptr) return {missing_matches(node) ? records : 0, true};
  switch (node.op) {
    case FilterOp::Exists:
      return {node.exists ? postings->slots : records - postings->slots, true};
    case FilterOp::Eq:
    case FilterOp::In:
    case FilterOp::Ne:
    case FilterOp::Nin: {
      size_t listed = 0;
      for_listed_values(node, *postings, [&](const PostingList& list) { listed += list.size(); });
      const bool equal = node.op == FilterOp::Eq || node.op == FilterOp::In;
      return {equal ? listed : records - listed, true};
    }
    default:
      return range_estimate(node, *postings, enough);
  }
}

// Appends the leaf's candidates; false when its lists cannot narrow it or
// would pass `limit`.
bool leaf_candidates(const CompiledNode& node, const PointTable& table, size_t limit, std::vector<uint32_t>& out) {
  const KeyPostings* postings = postings_of(node, table);
  if (missing_matches(node)) return false;
  if (postings == nullptr) return true;
  if (node.op == FilterOp::Exists && postings->slots > limit) return false;
  const size_t start = out.size();
  const bool within = for_each_leaf_list(node, *postings, [&](const PostingList& list) {
    if (out.size() - start + list.size() > limit) return false;
    out.insert(out.end(), list.begin(), list.end());
    return true;
  });
  if (!within) out.resize(start);
  return within;
}

bool node_candidates(const CompiledFilter& filter, const PointTable& table, size_t at, size_t limit,
                     std::vector<uint32_t>& out) {
  const CompiledNode& node = filter.nodes[at];
  const size_t end = at + node.subtree;
  switch (node.op) {
    case FilterOp::And: {
      // The children from the fewest estimated matches: the first that the
      // indexes can narrow gives a superset of the And's matches.
      std::vector<std::pair<size_t, size_t>> order;  // (estimate, child)
      for (size_t child = at + 1; child < end; child += filter.nodes[child].subtree) {
        order.emplace_back(estimate_node(filter, table, child, limit + 1).count, child);
      }
      std::sort(order.begin(), order.end());
      for (const auto& [estimate, child] : order) {
        if (estimate > limit) break;
        if (node_candidates(filter, table, child, limit, out)) return true;
      }
      return false;
    }
    case FilterOp::Or: {
      const size_t start = out.size();
      for (size_t child = at + 1; child < end; child += filter.nodes[child].subtree) {
        if (!node_candidates(filter, table, child, limit, out)) {
          out.resize(start);
          return false;
        }
        if (out.size() - start > limit) {
          std::sort(out.begin() + start, out.end());
          out.erase(std::unique(out.begin() + start, out.end()), out.end());
          if (out.size() - start > limit) {
            out.resize(start);
            return false;
          }
        }
      }
      return true;
    }
    case FilterOp::Not: {
      // The negation of $ne, $nin or $exists:false is a leaf the lists narrow.
      const CompiledNode& child = filter.nodes[at + 1];
      if (!missing_matches(child)) return false;
      CompiledNode negated = child;
      negated.op = child.op == FilterOp::Ne ? FilterOp::Eq : child.op == FilterOp::Nin ? FilterOp::In : FilterOp::Exists;
      negated.exists = true;
      return leaf_candidates(negated, table, limit, out);
    }
    default:
      return leaf_candidates(node, table, limit, out);
  }
}

// The records a node matches, as bits by slot (`words` words), from the
// lists alone; false once the lists and words it went through pass `budget`.
class MatchBits {
 public:
  MatchBits(const CompiledFilter& filter, const PointTable& table, size_t budget)
      : filter_(filter), table_(table), budget_(budget), words_(slot_count(table) / 64 + 1) {}

  bool node(size_t at, std::vector<uint64_t>& out) {
    const CompiledNode& node = filter_.nodes[at];
    const size_t end = at + node.subtree;
    if (!spend(words_)) return false;
    switch (node.op) {
      case FilterOp::And:
      case FilterOp::Or: {
        const bool all = node.op == FilterOp::And;
        out.assign(words_, 0);
        std::vector<uint64_t> child_bits;
        bool first = true;
        for (size_t child = at + 1; child < end; child += filter_.nodes[child].subtree) {
          if (!this->node(child, child_bits)) return false;
          for (size_t w = 0; w < words_; ++w) {
            out[w] = first ? child_bits[w] : all ? out[w] & child_bits[w] : out[w] | child_bits[w];
          }
          first = false;
        }
        return true;
      }
      case FilterOp::Not:
        if (!this->node(at + 1, out)) return false;
        complement(out);
        return true;
      default:
        return leaf(node, out);
    }
  }

 private:
  bool spend(size_t work) {
    if (work > budget_) return false;
    budget_ -= work;
    return true;
  }

  // Records outside `bits` (which holds records only).
  void complement(std::vector<uint64_t>& bits) const {
    const std::vector<uint64_t>& records = table_.record_bits.words;
    for (size_t w = 0; w < words_; ++w) bits[w] = (w < records.size() ? records[w] : 0) & ~bits[w];
  }

  bool leaf(const CompiledNode& node, std::vector<uint64_t>& out) {
    out.assign(words_, 0);
    const KeyPostings* postings = postings_of(node, table_);
    const bool within = postings == nullptr || for_each_leaf_list(node, *postings, [&](const PostingList& list) {
      if (!spend(list.size() + 1)) return false;
      for (uint32_t slot : list) out[slot / 64] |= uint64_t{1} << (slot % 64);
      return true;
    });
    // $ne, $nin and $exists:false match every record the equal (present)
    // case does not, those without the key included.
    if (within && missing_matches(node)) complement(out);
    return within;
  }

  const CompiledFilter& filter_;
  const PointTable& table_;
  size_t budget_;
  size_t words_;
};

}  // namespace

bool leaf_matches(const Filter& filter, const FilterNode& node, const PayloadValue* value) {
  if (node.op == FilterOp::Exists) return (value != nullptr) == node.exists;
  bool equal = false;
  if (value != nullptr) {
    for (uint32_t v = node.first_value; v < node.first_value + node.value_count; ++v) {
      equal = equal || compare_values(*value, filter.values[v]) == 0;
    }
  }
  switch (node.op) {
    case FilterOp::Eq:
    case FilterOp::In: return equal;
    case FilterOp::Ne:
    case FilterOp::Nin: return !equal;
    default:
      return value != nullptr && order_holds(node.op, compare_values(*value, filter.values[node.first_value]));
  }
}

bool payload_matches(const Filter& filter, const Payload* payload) {
  if (filter.nodes.empty()) return true;
  return evaluate(filter.nodes, 0, [&](const FilterNode& node) {
    const PayloadValue* value = payload ? find_value(*payload, node.key) : nullptr;
    return leaf_matches(filter, node, value);
  });
}

CompiledFilter compile_filter(const Filter& filter, const PointTable& table) {
  CompiledFilter compiled;
  compiled.nodes.reserve(filter.nodes.size());
  for (const FilterNode& node : filter.nodes) {
    CompiledNode& out = compiled.nodes.emplace_back();
    out.op = node.op;
    out.exists = node.exists;
    out.subtree = node.subtree;
    if (!is_leaf(node.op)) continue;
    out.key = find_index_key(table.payload_index, node.key);
    out.key_text = node.key;
    for (uint32_t v = node.first_value; v < node.first_value + node.value_count; ++v) {
      const PayloadValue& value = filter.values[v];
      IndexNumber number;
      if (value.is_text()) {
        out.texts.push_back(value.text);
      } else if (index_number_of(value, number)) {
        out.numbers.push_back(number);
      } else {
        out.has_nan = true;
      }
    }
    std::sort(out.texts.begin(), out.texts.end());
    out.texts.erase(std::unique(out.texts.begin(), out.texts.end()), out.texts.end());
    std::sort(out.numbers.begin(), out.numbers.end(), IndexNumberLess());
    out.numbers.erase(std::unique(out.numbers.begin(), out.numbers.end(),
                                  [](const IndexNumber& a, const IndexNumber& b) { return compare_numbers(a, b) == 0; }),
                      out.numbers.end());
  }
  return compiled;
}

bool filter_matches(const CompiledFilter& filter, const PointTable& table, uint32_t slot) {
  if (filter.nodes.empty()) return true;
  const Payload* payload = record_payload(table, slot);
  return evaluate(filter.nodes, 0, [&](const CompiledNode& node) {
    const PayloadValue* value =
        node.key == UINT32_MAX || payload == nullptr ? nullptr : find_value(*payload, node.key_text);
    return compiled_leaf_matches(node, value);
  });
}

FilterEstimate estimate_matches(const CompiledFilter& filter, const PointTable& table, size_t enough) {
  if (filter.nodes.empty()) return {record_count(table), true};
  return estimate_node(filter, table, 0, enough);
}

bool filter_candidates(const CompiledFilter& filter, const PointTable& table, size_t limit,
                       std::vector<uint32_t>& out) {
  out.clear();
  if (filter.nodes.empty() || !node_candidates(filter, table, 0, limit, out)) {
    out.clear();
    return false;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  if (out.size() > limit) {
    out.clear();
    return false;
  }
  return true;
}

bool filter_match_bits(const CompiledFilter& filter, const PointTable& table, size_t budget,
                       std::vector<uint64_t>& bits) {
  if (filter.nodes.empty()) {
    bits = table.record_bits.words;
    bits.resize(slot_count(table) / 64 + 1, 0);
    return true;
  }
  MatchBits match(filter, table, budget);
  if (!match.node(0, bits)) {
    bits.clear();
    return false;
  }
  return true;
}

bool same_filter(const Filter& a, const Filter& b) {
  auto same_node = [](const FilterNode& x, const FilterNode& y) {
    return x.op == y.op && x.exists == y.exists && x.subtree == y.subtree && x.key == y.key &&
           x.first_value == y.first_value && x.value_count == y.value_count;
  };
  auto same_value = [](const PayloadValue& x, const PayloadValue& y) {
    if (x.kind != y.kind || x.text != y.text) return false;
    return x.kind == PayloadKind::Float ? std::memcmp(&x.number, &y.number, sizeof x.number) == 0
                                        : x.is_text() || x.integer == y.integer;
  };
  return std::equal(a.nodes.begin(), a.nodes.end(), b.nodes.begin(), b.nodes.end(), same_node) &&
         std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(), same_value);
}

bool matches_follow_lists(const Filter& filter) {
  return std::none_of(filter.nodes.begin(), filter.nodes.end(), [](const FilterNode& node) {
    return node.op == FilterOp::Not || node.op == FilterOp::Ne || node.op == FilterOp::Nin ||
           (node.op == FilterOp::Exists && !node.exists);
  });
}

}  // namespace tarnwick
