// Search: the best points for a query, one query or many at once. A search
// resolves which points it may return (its scope) once, then takes one of two
// paths: the exact scan of every point in scope, or a walk through the graph
// for a store large enough to have one. Both paths rank alike and leave out the
// same points: those in scope only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "index/metrics.h"
#include "storage/store.h"
#include "table/point_table.h"

namespace tarnwick {

// One point of a search's answer: the id it reports and its score under the
// query's metric (similarity for cosine and dot, distance for Euclidean).
struct ScoredPoint {
  uint64_t id;
  float score;
};

// The best `limit` points for the query, best first; with a tenant, of that
// tenant's points only. Never fails: points that cannot be compared with the
// query are left out. Takes a ReadView for the length of the search.
std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant);

// Answers every query exactly as search_points does, with the same limit,
// metric and tenant; result i belongs to query i. The first call in a process
// builds the worker pool, however many queries it has. Batches of 0 or 1 query
// run on the calling thread; larger ones are split into contiguous parts, each
// answered in ascending order on one worker, while the caller waits.
std::vector<std::vector<ScoredPoint>> batch_search_points(
    const Store& store, std::span<const std::span<const float>> queries, uint64_t limit,
    Metric metric, std::optional<std::string_view> tenant);

// ---- Queries: searches with a payload condition and options ----

struct Filter;  // a payload condition, compiled (table/payload_filter.h)

// What a query asks beside its vector.
struct QueryRequest {
  uint64_t limit = 10;
  Metric metric = Metric::Cosine;
  std::optional<std::string_view> tenant;
  const Filter* where = nullptr;  // null: no condition
  uint64_t ef = 0;                // the beam for this query; 0: the store's
  bool early_stop = false;
  bool with_payload = false;
};

// A query's answer: the points, best first, and with_payload a copy of each
// one's payload (nullopt: it has none).
struct QueryAnswer {
  std::vector<ScoredPoint> points;
  std::vector<std::optional<Payload>> payloads;
};

// The best `limit` points in scope (the tenant's, meeting the condition),
// best first. Without a condition, early stop or beam it answers exactly as
// search_points does. With a condition or early stop, every point is scored
// as the exact scan scores it, and the answer holds min(limit, points in
// scope comparable with the query) points. Takes a ReadView for the length of
// the query; payloads are copied under it.
QueryAnswer query_points(const Store& store, std::span<const float> query,
                         const QueryRequest& request);

// Answers every query as query_points does, on the worker pool as
// batch_search_points does.
std::vector<QueryAnswer> batch_query_points(const Store& store,
                                            std::span<const std::span<const float>> queries,
                                            const QueryRequest& request);

// ---- The parts of a search, for code that holds a view already ----

// The points a search may return, resolved against the table once: every
// point, the members of one tenant, and of those only the ones a further
// condition (a filter on payload values) accepts. Both paths honour it.
struct SearchScope {
  uint32_t tenant = NO_TENANT;  // NO_TENANT: every point
  size_t points = 0;            // how many points the scope can hold at most
  // A condition every returned point meets, tested on slots holding a record;
  // null: none. `expected` is how many points it is estimated to accept.
  const SlotPredicate* condition = nullptr;
  size_t expected = 0;
  // How many records of the table the condition accepts, when counted
  // exactly (from its matching bits, or an estimate that is exact).
  std::optional<size_t> counted;
  // When set, the only slots that can be returned (the condition and the
  // tenant still apply to each): from a payload index, or a walk's kept points.
  std::optional<std::span<const uint32_t>> candidates;
  // Whether every candidate holding a record meets the condition, so that a
  // scan need not test it.
  bool candidates_match = false;
  bool whole_table() const { return tenant == NO_TENANT && !condition && !candidates; }
  // How many points the scope is expected to hold.
  size_t expected_points() const { return condition ? std::min(expected, points) : points; }
};

// The scope of a search for `tenant` (none: every point); nullopt when the
// tenant names no point, so that there is nothing to return.
std::optional<SearchScope> resolve_scope(const PointTable& points,
                                         std::optional<std::string_view> tenant);

// From this many points on, a store with an entry point is searched through its graph.
inline constexpr size_t HNSW_MIN_POINTS = 500;

// search_points on a view the caller holds: chooses the path and answers.
std::vector<ScoredPoint> search_view(const ReadView& view, std::span<const float> query,
                                     uint64_t limit, Metric metric, const SearchScope& scope);

// The exact scan: scores every point in scope whose vector can be compared with
// the query (of its length; under cosine, neither of them zero) and keeps the
// best `limit`. Equal scores rank by slot.
std::vector<ScoredPoint> exact_search(const PointTable& points, std::span<const float> query,
                                      uint64_t limit, Metric metric, const SearchScope& scope);

// How a walk runs beside the store's defaults.
struct WalkOptions {
  uint64_t ef = 0;  // the beam for this search; 0: the store's
  // The fast walk: navigates by code estimates, stops once the best
  // unexpanded point is farther than the worst kept, and scores a short list
  // of the nearest exactly at the end.
  bool fast = false;
  // Leave out points that cannot be compared with the query (the walk's
  // answer may then hold fewer than `limit`).
  bool comparable_only = false;
};

// The walk through the graph, measured by the query's own metric: a greedy
// descent to layer 1 and a beam over layer 0. With a tenant or a condition it
// passes through other points but returns only those in scope, and scans the
// scope exactly instead when that costs less or the walk gives up. The graph
// must have an entry point.
std::vector<ScoredPoint> graph_search(const HnswIndex& graph, const PointTable& points,
                                      std::span<const float> query, uint64_t limit,
                                      Metric metric, const SearchScope& scope);

// One point of an answer by slot: its score and the slot holding it.
struct ScoredSlotPoint {
  float score;
  uint32_t slot;
};

// exact_search by slot.
std::vector<ScoredSlotPoint> exact_search_slots(const PointTable& points,
                                                std::span<const float> query, uint64_t limit,
                                                Metric metric, const SearchScope& scope);

// graph_search by slot, with the walk's options. With `exact_scores`, the
// kept points are scored as the exact scan scores them and ranked by those
// scores; and a walk that keeps fewer than `limit` points is answered by the
// exact scan, so that the answer holds min(limit, points in scope comparable
// with the query) points.
std::vector<ScoredSlotPoint> graph_search_slots(const HnswIndex& graph, const PointTable& points,
                                                std::span<const float> query, uint64_t limit,
                                                Metric metric, const SearchScope& scope,
                                                const WalkOptions& options, bool exact_scores);

// Tenants of at most this many points are always scanned exactly: the scan
// costs about what one unfiltered graph search does.
inline constexpr size_t TENANT_SCAN_MIN = 2000;
// The cost of one unfiltered graph search in scanned points: measured, a beam
// of 32 over 128-dimensional points measures about 2,100 of them, and each
// costs about 2.5 times a point of the sequential scan.
inline constexpr size_t TENANT_WALK_POINTS = 5000;

// Whether a tenant of this size is answered by scanning its points.
bool prefers_exact_scan_of_tenant(size_t tenant_points, size_t store_points);

// The same for the points a condition accepts (with or without a tenant), by
// the same rule: a filtered walk's beam is widened by the share it passes
// through, and a scan tests the condition on each point unless the payload
// indexes name the matches exactly.
inline constexpr size_t FILTER_WALK_POINTS = 5000;
bool prefers_exact_scan_of_filter(size_t matching_points, size_t store_points);
// The most matching points prefers_exact_scan_of_filter scans in a store of this size.
size_t filter_scan_most(size_t store_points);

}  // namespace tarnwick
