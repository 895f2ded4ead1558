// Which path answers a search or a query (its condition compiled and
// estimated first), and many of them at once on the worker pool.
#include "storage/search.h"

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
};

bool meets_filter(const void* context, uint32_t slot) {
  const FilterTest& test = *static_cast<const FilterTest*>(context);
  return filter_matches(*test.filter, *test.points, slot);
}

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
  FilterTest test{&compiled, nullptr};
  SlotPredicate condition{&test, meets_filter};
  std::vector<uint32_t> candidates;
};

void prepare_request(const ReadView& view, const QueryRequest& request, PreparedRequest& out) {
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
  if ((!out.graph || prefers_exact_scan_of_filter(scope.expected_points(), store_points)) &&
      filter_candidates(out.compiled, view.points, scope.points, out.candidates)) {
    scope.candidates = std::span<const uint32_t>(out.candidates);
    // As many candidates as an exact count of matches: they are the matches.
    scope.candidates_match = estimate.exact && estimate.count == out.candidates.size();
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
  prepare_request(view, request, prepared);
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
  prepare_request(view, request, prepared);
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
