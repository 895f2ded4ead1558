// Which path answers a search or a query (its condition compiled and
// estimated first), and many of them at once on the worker pool.
#include "storage/search.h"

#include <bit>
#include <cmath>

#include "table/payload_filter.h"
#include "util/worker_pool.h"

namespace tarnwick {

std::optional<SearchScope> resolve_scope(const PointTable& points,
                                         std::optional<std::string_view> tenant) {
  SearchScope scope;
  if (!tenant) {
    scope.points = record_count(points);
    return scope;
  }
  scope.tenant = find_tenant(points, *tenant);
  if (scope.tenant == NO_TENANT) return std::nullopt;
  scope.points = tenant_members(points, scope.tenant).size();
  return scope;
}

bool prefers_exact_scan_of_tenant(size_t tenant_points, size_t store_points) {
  // A beam through a tenant holding a share s of the points costs about
  // TENANT_WALK_POINTS / s scanned points, an exact scan the tenant's own; the
  // scan wins while tenant_points^2 <= TENANT_WALK_POINTS * store_points.
  return tenant_points <= TENANT_SCAN_MIN ||
         static_cast<double>(tenant_points) * static_cast<double>(tenant_points) <=
             static_cast<double>(TENANT_WALK_POINTS) * static_cast<double>(store_points);
}

size_t filter_scan_most(size_t store_points) {
  return static_cast<size_t>(std::max<double>(
      TENANT_SCAN_MIN, std::sqrt(static_cast<double>(FILTER_WALK_POINTS) * store_points)));
}

bool prefers_exact_scan_of_filter(size_t matching_points, size_t store_points) {
  return matching_points <= filter_scan_most(store_points);
}

std::vector<ScoredPoint> search_view(const ReadView& view, std::span<const float> query,
                                     uint64_t limit, Metric metric, const SearchScope& scope) {
  // The count is of stored points, not of graph nodes.
  if (record_count(view.points) >= HNSW_MIN_POINTS && view.graph.entry_point) {
    return graph_search(view.graph, view.points, query, limit, metric, scope);
  }
  return exact_search(view.points, query, limit, metric, scope);
}

std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant) {
  const ReadView view = read_view(store);
  const std::optional<SearchScope> scope = resolve_scope(view.points, tenant);
  if (!scope) return {};
  return search_view(view, query, limit, metric, *scope);
}

std::vector<std::vector<ScoredPoint>> batch_search_points(
    const Store& store, std::span<const std::span<const float>> queries, uint64_t limit,
    Metric metric, std::optional<std::string_view> tenant) {
  std::shared_ptr<WorkerPool> pool = process_worker_pool();
  std::vector<std::vector<ScoredPoint>> results(queries.size());
  // One view for the whole batch, taken before the pool: the workers take no
  // lock of the store, so a thread that holds one while it waits for the pool
  // never waits for them.
  const ReadView view = read_view(store);
  const std::optional<SearchScope> scope = resolve_scope(view.points, tenant);
  if (!scope) return results;
  auto answer = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      results[i] = search_view(view, queries[i], limit, metric, *scope);
    }
  };
  if (queries.size() <= 1) {
    answer(0, queries.size());
  } else {
    run_parallel(*pool, queries.size(), answer);
  }
  return results;
}

namespace {

QueryAnswer answer_from_slots(const PointTable& points, std::span<const ScoredSlotPoint> best,
                              bool with_payload) {
  QueryAnswer answer;
  answer.points.reserve(best.size());
  for (const ScoredSlotPoint& entry : best) {
    answer.points.push_back(ScoredPoint{record_id(points, entry.slot), entry.score});
  }
  if (with_payload) {
    answer.payloads.reserve(best.size());
    for (const ScoredSlotPoint& entry : best) {
      const Payload* payload = record_payload(points, entry.slot);
      answer.payloads.push_back(payload ? std::optional<Payload>(*payload) : std::nullopt);
    }
  }
  return answer;
}

struct FilterTest {
  const CompiledFilter* filter;
  const PointTable* points;
  const uint64_t* match_bits;  // the matching records by slot, when made
  size_t match_words;
};

bool meets_filter(const void* context, uint32_t slot) {
  const FilterTest& test = *static_cast<const FilterTest*>(context);
  return filter_matches(*test.filter, *test.points, slot);
}

bool in_match_bits(const void* context, uint32_t slot) {
  const FilterTest& test = *static_cast<const FilterTest*>(context);
  return slot / 64 < test.match_words && ((test.match_bits[slot / 64] >> (slot % 64)) & 1);
}

}  // namespace

// A condition's matching records by slot, made from the payload lists of
// one generation.
struct MatchBitsCache {
  Filter filter;
  uint64_t generation = 0;
  bool made = true;  // false: the lists could not tell the bits within the budget
  std::vector<uint64_t> bits;
  size_t accepted = 0;  // how many bits are set
};

namespace {

// The bits of the condition from the store's last ones when they were made
// for the same condition from the lists as they are; else made (when the
// lists tell them for at most `budget` entries) and kept for the next query.
// Null when not made.
std::shared_ptr<const MatchBitsCache> match_bits_for(const Store& store, const ReadView& view,
                                                     const Filter& filter,
                                                     const CompiledFilter& compiled,
                                                     size_t budget) {
  const uint64_t generation = payload_generation(view.points);
  const bool lasting = matches_follow_lists(filter);
  if (lasting) {
    std::lock_guard lock(store.match_bits_mutex);
    if (store.match_bits && store.match_bits->generation == generation &&
        same_filter(store.match_bits->filter, filter)) {
      return store.match_bits->made ? store.match_bits : nullptr;
    }
  }
  auto made = std::make_shared<MatchBitsCache>();
  // Kept bits serve every later query that asks the same: worth a pass over
  // the lists and words even when this query alone would test fewer points
  // (a condition on a key whose values are all distinct goes through two
  // entries a point).
  if (lasting) budget = std::max(budget, 4 * slot_count(view.points));
  if (!filter_match_bits(compiled, view.points, budget, made->bits)) {
    if (lasting) {
      // Remembered too, so that the next query of the same condition does not
      // go through the lists again only to give up again.
      made->made = false;
      made->filter = filter;
      made->generation = generation;
      std::lock_guard lock(store.match_bits_mutex);
      store.match_bits = made;
    }
    return nullptr;
  }
  for (uint64_t word : made->bits) made->accepted += static_cast<size_t>(std::popcount(word));
  if (lasting) {
    made->filter = filter;
    made->generation = generation;
    std::lock_guard lock(store.match_bits_mutex);
    store.match_bits = made;
  }
  return made;
}

// Posting entries worth going through, per point a fast walk is expected to
// test, to make the matching records' bits: a test that reads the payload
// waits for two or three reads from memory, a bit costs a fraction of one.
constexpr size_t MATCH_BITS_ENTRIES_PER_TEST = 100;
// Points a fast walk tests, per unit of its beam (measured on the clustered
// bench set: about four per unit from ef 32 to 256).
constexpr size_t FAST_WALK_TESTS_PER_BEAM = 4;

// What a request's scope and condition make of a view, whatever the query
// vector: the condition compiled for the table, its matches estimated from
// the payload indexes and, when a scan will answer, the candidates they name.
// Made once for a batch and read by every worker; it refers to itself, so it
// stays where it was made.
struct PreparedRequest {
  PreparedRequest() = default;
  PreparedRequest(const PreparedRequest&) = delete;
  PreparedRequest& operator=(const PreparedRequest&) = delete;

  std::optional<SearchScope> scope;  // absent: no point can answer
  bool graph = false;
  bool exact_scores = false;
  CompiledFilter compiled;
  FilterTest test{&compiled, nullptr, nullptr, 0};
  std::shared_ptr<const MatchBitsCache> match_bits;
  SlotPredicate condition{&test, meets_filter};
  std::vector<uint32_t> candidates;
};

// Makes the condition's bits when the lists tell them within `budget`
// entries (more for a condition that keeps them for later queries), and then
// tests points by them: the scope is counted exactly.
void use_match_bits(const Store& store, const ReadView& view, const Filter& where, size_t budget,
                    PreparedRequest& out) {
  out.match_bits = match_bits_for(store, view, where, out.compiled, budget);
  if (!out.match_bits) return;
  out.test.match_bits = out.match_bits->bits.data();
  out.test.match_words = out.match_bits->bits.size();
  out.condition.test = in_match_bits;
  out.scope->counted = out.match_bits->accepted;
}

// The slots whose bits are set, in order.
void candidates_from_bits(const std::vector<uint64_t>& bits, std::vector<uint32_t>& out) {
  out.clear();
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
      out.push_back(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word))));
    }
  }
}

void prepare_request(const Store& store, const ReadView& view, const QueryRequest& request,
                     PreparedRequest& out) {
  out.scope = resolve_scope(view.points, request.tenant);
  if (!out.scope) return;
  out.exact_scores = request.where != nullptr || request.early_stop;
  out.graph = record_count(view.points) >= HNSW_MIN_POINTS && view.graph.entry_point;
  out.test.points = &view.points;
  if (request.where == nullptr) return;
  SearchScope& scope = *out.scope;
  out.compiled = compile_filter(*request.where, view.points);
  const size_t store_points = record_count(view.points);
  // The estimate need only tell a scan from a walk, and bound the walk.
  const size_t scan_most = filter_scan_most(store_points);
  const FilterEstimate estimate = estimate_matches(out.compiled, view.points, scan_most + 1);
  if (estimate.exact && estimate.count == 0) {
    out.scope.reset();
    return;
  }
  scope.condition = &out.condition;
  // Past what a scan answers, the count may have stopped short: a walk is
  // then bounded by the scope alone.
  scope.expected = estimate.count > scan_most ? scope.points : estimate.count;
  if (estimate.exact && estimate.count <= scan_most) scope.counted = estimate.count;
  if (!estimate.exact && out.graph &&
      !prefers_exact_scan_of_filter(scope.expected_points(), store_points)) {
    // The lists gave a bound only (an $and of two broad conditions may meet
    // in a few points, or none): a walk told of a scope far larger than it is
    // would measure much of the store before giving up for the scan. The
    // matches' bits tell it exactly, for a pass over the lists.
    use_match_bits(store, view, *request.where, 0, out);
    if (out.match_bits) {
      const size_t matches = out.match_bits->accepted;
      if (matches == 0) {
        out.scope.reset();
        return;
      }
      scope.expected = matches;
      // (Within a tenant, the matches are candidates only when they are no
      // more than its members: the scan then goes through them and tests the
      // tenant, rather than through the members without testing the bits.)
      if (prefers_exact_scan_of_filter(matches, store_points) && matches <= scope.points) {
        candidates_from_bits(out.match_bits->bits, out.candidates);
        scope.candidates = std::span<const uint32_t>(out.candidates);
        scope.candidates_match = true;
        return;
      }
    }
  }
  if (out.match_bits) return;  // the walk tests bits
  if ((!out.graph || prefers_exact_scan_of_filter(scope.expected_points(), store_points)) &&
      filter_candidates(out.compiled, view.points, scope.points, out.candidates)) {
    scope.candidates = std::span<const uint32_t>(out.candidates);
    // As many candidates as an exact count of matches: they are the matches.
    scope.candidates_match = estimate.exact && estimate.count == out.candidates.size();
  } else if (out.graph && request.early_stop) {
    // The fast walk tests each point it keeps: when the payload indexes can
    // tell every match for less than those tests cost, it tests bits. The
    // cost is one query's, in a batch too: bits count the scope, which sets
    // the walk's reach, so a query answers alike alone and in any batch.
    const uint64_t beam = std::max<uint64_t>(
        request.ef != 0 ? request.ef : search_beam(view.graph), request.limit);
    const size_t tests = static_cast<size_t>(std::min<uint64_t>(beam, MAX_EF_SEARCH)) *
                         FAST_WALK_TESTS_PER_BEAM;
    use_match_bits(store, view, *request.where, tests * MATCH_BITS_ENTRIES_PER_TEST, out);
  }
}

QueryAnswer answer_prepared(const ReadView& view, std::span<const float> query,
                            const QueryRequest& request, const PreparedRequest& prepared) {
  if (!prepared.scope) return {};
  std::vector<ScoredSlotPoint> best;
  if (prepared.graph) {
    const WalkOptions options{request.ef, request.early_stop, true};
    best = graph_search_slots(view.graph, view.points, query, request.limit, request.metric,
                              *prepared.scope, options, prepared.exact_scores);
  } else {
    best = exact_search_slots(view.points, query, request.limit, request.metric,
                              *prepared.scope);
  }
  return answer_from_slots(view.points, best, request.with_payload);
}

}  // namespace

QueryAnswer query_points(const Store& store, std::span<const float> query,
                         const QueryRequest& request) {
  const ReadView view = read_view(store);
  PreparedRequest prepared;
  prepare_request(store, view, request, prepared);
  return answer_prepared(view, query, request, prepared);
}

std::vector<QueryAnswer> batch_query_points(const Store& store,
                                            std::span<const std::span<const float>> queries,
                                            const QueryRequest& request) {
  std::shared_ptr<WorkerPool> pool = process_worker_pool();
  std::vector<QueryAnswer> results(queries.size());
  const ReadView view = read_view(store);  // for the whole batch, as in batch_search_points
  // The condition is compiled and estimated once; the workers only read it.
  PreparedRequest prepared;
  prepare_request(store, view, request, prepared);
  auto answer = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      results[i] = answer_prepared(view, queries[i], request, prepared);
    }
  };
  if (queries.size() <= 1) {
    answer(0, queries.size());
  } else {
    run_parallel(*pool, queries.size(), answer);
  }
  return results;
}

}  // namespace tarnwick
