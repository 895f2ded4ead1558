// Checks of payload filters: the comparison rules on their edges, and, over
// random payloads changed by puts and removals and random filters, the
// compiled evaluation, the match estimates and the candidate slots against
// the reference evaluation.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "table/payload_filter.h"
#include "table/point_table.h"
#include "check.h"

using namespace tarnwick;

namespace {

constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int64_t INT_MAX64 = std::numeric_limits<int64_t>::max();
constexpr int64_t INT_MIN64 = std::numeric_limits<int64_t>::min();

PayloadValue integer(int64_t v) { return PayloadValue::from_integer(v); }
PayloadValue real(double v) { return PayloadValue::from_float(v); }
PayloadValue text(std::string v) { return PayloadValue::from_text(std::move(v)); }

// A filter of one leaf on key "k".
Filter leaf(FilterOp op, std::vector<PayloadValue> values, bool exists = true) {
  Filter filter;
  FilterNode& node = filter.nodes.emplace_back();
  node.op = op;
  node.key = std::string(1, 'k');  // (a literal here trips a false -Wrestrict in GCC 12)
  node.exists = exists;
  node.value_count = static_cast<uint32_t>(values.size());
  filter.values = std::move(values);
  return filter;
}

std::unique_ptr<Payload> payload_of(std::vector<PayloadEntry> entries) {
  return std::make_unique<Payload>(make_payload(std::move(entries)));
}

// Checks everything a table can say about the filter against the reference.
void check_against_reference(const Filter& filter, const PointTable& table, const char* what) {
  const CompiledFilter compiled = compile_filter(filter, table);
  std::vector<uint32_t> matching;
  bool agree = true;
  for (uint32_t slot = 0; slot < slot_count(table); ++slot) {
    if (!has_record(table, slot)) continue;
    const bool expected = payload_matches(filter, record_payload(table, slot));
    agree = agree && filter_matches(compiled, table, slot) == expected;
    if (expected) matching.push_back(slot);
  }
  if (!agree) std::printf("compiled evaluation differs: %s\n", what);
  CHECK(agree);
  for (size_t enough : {size_t{1}, size_t{7}, SIZE_MAX}) {
    const FilterEstimate estimate = estimate_matches(compiled, table, enough);
    const bool sound = estimate.exact ? estimate.count == matching.size() : estimate.count >= matching.size();
    if (!sound) std::printf("estimate %zu (exact %d) for %zu matches: %s\n", estimate.count, estimate.exact, matching.size(), what);
    CHECK(sound);
  }
  // The matching records' bits: exactly the matches whenever made; made
  // always with room enough, never past a budget too small for them.
  for (size_t budget : {size_t{0}, size_t{5}, SIZE_MAX}) {
    std::vector<uint64_t> bits;
    if (!filter_match_bits(compiled, table, budget, bits)) {
      CHECK(budget != SIZE_MAX && bits.empty());
      continue;
    }
    bool exact = bits.size() == slot_count(table) / 64 + 1;
    for (uint32_t slot = 0; exact && slot < slot_count(table); ++slot) {
      const bool set = (bits[slot / 64] >> (slot % 64)) & 1;
      exact = set == std::binary_search(matching.begin(), matching.end(), slot);
    }
    if (!exact) std::printf("bits differ from the matches: %s\n", what);
    CHECK(exact);
  }
  CHECK(same_filter(filter, filter));
  for (size_t limit : {size_t{0}, size_t{3}, record_count(table)}) {
    std::vector<uint32_t> candidates;
    if (!filter_candidates(compiled, table, limit, candidates)) {
      CHECK(candidates.empty());
      continue;
    }
    const bool ordered = std::adjacent_find(candidates.begin(), candidates.end(),
                                            [](uint32_t a, uint32_t b) { return a >= b; }) == candidates.end();
    const bool superset = std::includes(candidates.begin(), candidates.end(), matching.begin(), matching.end());
    if (!ordered || !superset || candidates.size() > limit) std::printf("bad candidates: %s\n", what);
    CHECK(ordered && superset && candidates.size() <= limit);
  }
}

// ---- the rules on their edges ----

struct EdgeCase {
  const char* what;
  std::vector<PayloadEntry> stored;  // under "k" when present
  FilterOp op;
  std::vector<PayloadValue> wanted;
  bool expected;
};

void test_edges() {
  const std::string long_a(KEYWORD_MAX_BYTES + 1, 'a');
  const std::vector<EdgeCase> cases = {
      {"2**63-1 < 2**63 as a float", {{"k", integer(INT_MAX64)}}, FilterOp::Lt, {real(9223372036854775808.0)}, true},
      {"2**63-1 != 2**63 as a float", {{"k", integer(INT_MAX64)}}, FilterOp::Eq, {real(9223372036854775808.0)}, false},
      {"2**63 float > 2**63-1", {{"k", real(9223372036854775808.0)}}, FilterOp::Gt, {integer(INT_MAX64)}, true},
      {"2**53+1 > 2**53 as a float", {{"k", integer((int64_t{1} << 53) + 1)}}, FilterOp::Gt, {real(9007199254740992.0)}, true},
      {"2**53+1 != 2**53 as a float", {{"k", integer((int64_t{1} << 53) + 1)}}, FilterOp::Ne, {real(9007199254740992.0)}, true},
      {"2**53 == 2**53 as a float", {{"k", integer(int64_t{1} << 53)}}, FilterOp::Eq, {real(9007199254740992.0)}, true},
      {"-2**63 == -2**63 as a float", {{"k", integer(INT_MIN64)}}, FilterOp::Eq, {real(-9223372036854775808.0)}, true},
      {"-2**63 > -inf", {{"k", integer(INT_MIN64)}}, FilterOp::Gt, {real(-INF)}, true},
      {"2**63-1 < inf", {{"k", integer(INT_MAX64)}}, FilterOp::Lt, {real(INF)}, true},
      {"-1 > -1.5", {{"k", integer(-1)}}, FilterOp::Gt, {real(-1.5)}, true},
      {"-2 < -1.5", {{"k", integer(-2)}}, FilterOp::Lt, {real(-1.5)}, true},
      {"1 < 1 + ulp", {{"k", integer(1)}}, FilterOp::Lt, {real(1.0000000000000002)}, true},
      {"1 <= 1.0", {{"k", integer(1)}}, FilterOp::Lte, {real(1.0)}, true},
      {"-0.0 == 0", {{"k", real(-0.0)}}, FilterOp::Eq, {integer(0)}, true},
      {"0 == -0.0", {{"k", integer(0)}}, FilterOp::Eq, {real(-0.0)}, true},
      {"-0.0 in [0.0]", {{"k", real(-0.0)}}, FilterOp::In, {real(0.0)}, true},
      {"-0.0 not < 0", {{"k", real(-0.0)}}, FilterOp::Lt, {integer(0)}, false},
      {"NaN == NaN", {{"k", real(NAN_VALUE)}}, FilterOp::Eq, {real(NAN_VALUE)}, false},
      {"NaN != NaN", {{"k", real(NAN_VALUE)}}, FilterOp::Ne, {real(NAN_VALUE)}, true},
      {"NaN != 1", {{"k", real(NAN_VALUE)}}, FilterOp::Ne, {integer(1)}, true},
      {"NaN not in [NaN, 1]", {{"k", real(NAN_VALUE)}}, FilterOp::Nin, {real(NAN_VALUE), integer(1)}, true},
      {"NaN in [NaN]", {{"k", real(NAN_VALUE)}}, FilterOp::In, {real(NAN_VALUE)}, false},
      {"NaN >= -inf", {{"k", real(NAN_VALUE)}}, FilterOp::Gte, {real(-INF)}, false},
      {"1 < NaN", {{"k", integer(1)}}, FilterOp::Lt, {real(NAN_VALUE)}, false},
      {"1 != NaN", {{"k", integer(1)}}, FilterOp::Ne, {real(NAN_VALUE)}, true},
      {"NaN exists", {{"k", real(NAN_VALUE)}}, FilterOp::Exists, {}, true},
      {"text '1' != 1", {{"k", text("1")}}, FilterOp::Eq, {integer(1)}, false},
      {"text '1' ne 1", {{"k", text("1")}}, FilterOp::Ne, {integer(1)}, true},
      {"text not > number", {{"k", text("9")}}, FilterOp::Gt, {integer(1)}, false},
      {"text not <= number", {{"k", text("1")}}, FilterOp::Lte, {real(INF)}, false},
      {"number not < text", {{"k", integer(1)}}, FilterOp::Lt, {text("z")}, false},
      {"number not in [text]", {{"k", integer(1)}}, FilterOp::In, {text("1")}, false},
      {"a < b", {{"k", text("a")}}, FilterOp::Lt, {text("b")}, true},
      {"'' < 'a'", {{"k", text("")}}, FilterOp::Lt, {text("a")}, true},
      {"z < e-acute (byte order)", {{"k", text("z")}}, FilterOp::Lt, {text("\xc3\xa9")}, true},
      {"U+FFFF < U+10000", {{"k", text("\xef\xbf\xbf")}}, FilterOp::Lt, {text("\xf0\x90\x80\x80")}, true},
      {"long text equality", {{"k", text(long_a)}}, FilterOp::Eq, {text(long_a)}, true},
      {"long text > keyword prefix", {{"k", text(long_a)}}, FilterOp::Gt, {text("a")}, true},
      {"missing: eq", {{"other", integer(1)}}, FilterOp::Eq, {integer(1)}, false},
      {"missing: ne", {{"other", integer(1)}}, FilterOp::Ne, {integer(1)}, true},
      {"missing: in", {}, FilterOp::In, {integer(1)}, false},
      {"missing: nin", {}, FilterOp::Nin, {integer(1)}, true},
      {"missing: gt", {}, FilterOp::Gt, {real(-INF)}, false},
      {"missing: lte", {{"other", integer(1)}}, FilterOp::Lte, {real(INF)}, false},
      {"missing: exists", {}, FilterOp::Exists, {}, false},
  };
  for (const EdgeCase& edge : cases) {
    for (bool exists : {true, false}) {
      if (!exists && edge.op != FilterOp::Exists) continue;
      const Filter filter = leaf(edge.op, edge.wanted, exists);
      const bool expected = edge.op == FilterOp::Exists && !exists ? !edge.expected : edge.expected;
      std::unique_ptr<Payload> payload = edge.stored.empty() ? nullptr : payload_of(edge.stored);
      const bool got = payload_matches(filter, payload.get());
      if (got != expected) std::printf("edge case fails: %s\n", edge.what);
      CHECK(got == expected);
      // The same through a table whose other points hold the other edge values.
      PointTable table;
      const float v[2] = {1.0f, 2.0f};
      put_point(table, 0, 0, v, 1.0f, std::move(payload));
      for (size_t i = 0; i < cases.size(); ++i) {
        if (!cases[i].stored.empty()) put_point(table, i + 1, i + 1, v, 1.0f, payload_of(cases[i].stored));
      }
      CHECK(filter_matches(compile_filter(filter, table), table, find_slot(table, 0)) == expected);
      check_against_reference(filter, table, edge.what);
    }
  }
}

// ---- random payloads and filters ----

const char* const KEYS[] = {"a", "b", "c", "tenant_id"};
size_t next_own_key = 0;

PayloadValue random_value(std::mt19937_64& rng) {
  static const std::vector<PayloadValue> pool = {
      integer(0), integer(1), integer(-1), integer(2), integer(INT_MAX64), integer(INT_MIN64),
      integer((int64_t{1} << 53) + 1), real(0.0), real(-0.0), real(1.0), real(1.5), real(2.0),
      real(9007199254740992.0), real(9223372036854775808.0), real(-9223372036854775808.0),
      real(NAN_VALUE), real(INF), real(-INF), text(""), text("a"), text("b"), text("1"),
      text("\xc3\xa9"), text(std::string(KEYWORD_MAX_BYTES + 3, 'b')),
  };
  if (rng() % 4 == 0) return integer(static_cast<int64_t>(rng() % 9) - 4);
  return pool[rng() % pool.size()];
}

std::unique_ptr<Payload> random_payload(std::mt19937_64& rng) {
  if (rng() % 8 == 0) return nullptr;
  std::vector<PayloadEntry> entries;
  for (const char* key : KEYS) {
    if (rng() % 3 != 0) entries.push_back({key, random_value(rng)});
  }
  // Keys of one record each, new every time: each is forgotten once its
  // record leaves.
  if (rng() % 2 == 0) entries.push_back({"own" + std::to_string(next_own_key++), random_value(rng)});
  return payload_of(std::move(entries));
}

// Appends a random subtree to the filter.
void random_node(std::mt19937_64& rng, Filter& filter, int depth) {
  const size_t at = filter.nodes.size();
  filter.nodes.emplace_back();
  const int pick = static_cast<int>(rng() % (depth >= 3 ? 9 : 12));
  const FilterOp leaves[] = {FilterOp::Eq, FilterOp::Ne, FilterOp::Gt, FilterOp::Gte, FilterOp::Lt,
                             FilterOp::Lte, FilterOp::In, FilterOp::Nin, FilterOp::Exists};
  if (pick >= 9) {
    const FilterOp op = pick == 9 ? FilterOp::And : pick == 10 ? FilterOp::Or : FilterOp::Not;
    const size_t children = op == FilterOp::Not ? 1 : 1 + rng() % 3;
    for (size_t c = 0; c < children; ++c) random_node(rng, filter, depth + 1);
    filter.nodes[at].op = op;
  } else {
    FilterNode& node = filter.nodes[at];
    node.op = leaves[pick];
    // An own key held now, held before (forgotten) or never held.
    node.key = rng() % 10 == 0 ? "absent"
               : rng() % 6 == 0 ? "own" + std::to_string(next_own_key + 2 - rng() % 40)
                                : KEYS[rng() % 4];
    node.exists = rng() % 2 == 0;
    node.first_value = static_cast<uint32_t>(filter.values.size());
    const size_t count = node.op == FilterOp::Exists ? 0 : node.op == FilterOp::In || node.op == FilterOp::Nin ? 1 + rng() % 4 : 1;
    for (size_t v = 0; v < count; ++v) filter.values.push_back(random_value(rng));
    node.value_count = static_cast<uint32_t>(count);
  }
  filter.nodes[at].subtree = static_cast<uint32_t>(filter.nodes.size() - at);
}

void test_random_filters() {
  std::mt19937_64 rng(17);
  PointTable table;
  const float v[3] = {1.0f, 0.5f, 0.25f};
  size_t most_held = 0;
  for (int round = 0; round < 40; ++round) {
    // Puts, replacements and removals keep the indexes in step...
    for (int change = 0; change < 25; ++change) {
      const uint64_t key = rng() % 120;
      if (rng() % 4 == 0) {
        const uint32_t slot = find_slot(table, key);
        if (slot != NO_SLOT) {
          remove_record(table, slot);
          if (rng() % 2) release_slot(table, slot);
        }
      } else {
        put_point(table, key, key, v, 1.0f, random_payload(rng));
      }
      std::set<std::string> held;
      for (uint32_t slot = 0; slot < slot_count(table); ++slot) {
        if (!has_record(table, slot) || record_payload(table, slot) == nullptr) continue;
        for (const PayloadEntry& entry : record_payload(table, slot)->entries) held.insert(entry.key);
      }
      most_held = std::max(most_held, held.size());
    }
    // ... and so does making them again in one pass, as a load does.
    if (round % 10 == 9) {
      PointTable loaded;
      for (uint32_t slot = 0; slot < slot_count(table); ++slot) {
        if (!has_record(table, slot)) continue;
        const Payload* payload = record_payload(table, slot);
        put_point_without_tenant(loaded, slot_key(table, slot), slot_key(table, slot), v, 1.0f,
                                 payload ? std::make_unique<Payload>(*payload) : nullptr);
      }
      rebuild_tenants(loaded);
      table = std::move(loaded);
    }
    const std::string problem = check_table(table);
    if (!problem.empty()) std::printf("round %d: %s\n", round, problem.c_str());
    CHECK(problem.empty());
    // Keys nobody holds are forgotten and their codes reused: never more
    // codes than keys were ever held at once, but for a replacing payload's
    // own (made before the ones it replaces go).
    CHECK(table.payload_index.keys.size() <= most_held + 5);
    for (int f = 0; f < 60; ++f) {
      Filter filter;
      random_node(rng, filter, 0);
      check_against_reference(filter, table, "random filter");
    }
  }
  check_against_reference(Filter{}, table, "the empty filter");
}

// Single leaves whose values some points hold are narrowed by the indexes.
void test_indexable_leaves() {
  PointTable table;
  const float v[2] = {1.0f, 2.0f};
  for (uint64_t key = 0; key < 200; ++key) {
    put_point(table, key, key, v, 1.0f,
              payload_of({{"year", integer(2000 + static_cast<int64_t>(key % 25))},
                          {"kind", text(key % 10 == 0 ? "rare" : "common")},
                          {"score", real(static_cast<double>(key) / 8.0)}}));
  }
  struct Indexable {
    Filter filter;
    size_t matches;
  };
  std::vector<Indexable> cases;
  auto add = [&](const char* key, FilterOp op, std::vector<PayloadValue> values, size_t matches) {
    Filter f = leaf(op, std::move(values));
    f.nodes[0].key = key;
    cases.push_back({std::move(f), matches});
  };
  add("kind", FilterOp::Eq, {text("rare")}, 20);
  add("year", FilterOp::Eq, {real(2003.0)}, 8);
  add("year", FilterOp::In, {integer(2003), integer(2004), real(2004.0)}, 16);
  add("year", FilterOp::Gte, {real(2022.5)}, 16);
  add("score", FilterOp::Lt, {integer(2)}, 16);
  add("score", FilterOp::Exists, {}, 200);
  add("kind", FilterOp::Ne, {text("rare")}, 20);  // under a $not: the rare ones
  // $not over $ne is narrowed as the equality it negates.
  Filter& negated = cases.back().filter;
  negated.nodes.insert(negated.nodes.begin(), FilterNode{FilterOp::Not, true, 2, "", 0, 0});
  for (const Indexable& c : cases) {
    const CompiledFilter compiled = compile_filter(c.filter, table);
    const FilterEstimate estimate = estimate_matches(compiled, table);
    CHECK(estimate.exact && estimate.count == c.matches);
    std::vector<uint32_t> candidates;
    CHECK(filter_candidates(compiled, table, c.matches, candidates) && candidates.size() == c.matches);
    CHECK(c.matches == 0 || !filter_candidates(compiled, table, c.matches - 1, candidates));
    check_against_reference(c.filter, table, "an indexable leaf");
  }
}

}  // namespace

int main() {
  test_edges();
  test_random_filters();
  test_indexable_leaves();
  return tarnwick_test::finish_checks();
}
