// The graph path of search: a greedy descent to layer 1 and a beam over layer
// 0, both measured by the query's own metric, then the kept points scored.
// A scope (a tenant, a condition) that a scan answers for less is handed to
// the exact scan.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "index/fast_walk.h"
#include "index/layer_search.h"
#include "storage/result_selector.h"
#include "storage/search.h"

namespace tarnwick {

namespace {

// The score a graph result reports, from the distance its walk measured. A
// cosine score is 1 - (1 - similarity) in float32: the exact scan's similarity
// for a similarity of 0.5 or more, within 2^-24 of it below.
float graph_score(Metric metric, float distance, size_t query_dim, uint32_t point_dim) {
  switch (metric) {
    case Metric::DotProduct:
      // The walk measured -dot; a pair of other lengths scores positive zero.
      return point_dim != query_dim ? 0.0f : -distance;
    case Metric::Cosine:
      return 1.0f - distance;
    case Metric::Euclidean:
      return point_dim != query_dim ? MAX_DISTANCE : distance;
  }
  return 0.0f;
}

}  // namespace

namespace {

struct ScopeTest {
  const PointTable* points;
  const SearchScope* scope;
};

// Whether a slot holding a record is in scope (outside of any candidate list,
// which the walk does not consult: the condition decides).
bool in_scope(const void* context, uint32_t slot) {
  const ScopeTest& test = *static_cast<const ScopeTest*>(context);
  if (test.scope->tenant != NO_TENANT && slot_tenant(*test.points, slot) != test.scope->tenant) {
    return false;
  }
  return !test.scope->condition || (*test.scope->condition)(slot);
}

// How many of the fast walk's nearest points, by estimate, are scored
// exactly. Measured on the clustered bench set (100k x 128, ef 32 and 128):
// twice the limit reaches the recall of re-ranking the whole beam, the limit
// alone loses about 0.006 of it.
uint64_t rerank_window(uint64_t limit) {
  return limit <= UINT64_MAX / 2 ? 2 * limit : limit;
}

// The share of the table's records in scope when it is known: every record,
// a tenant's members, or the records a counted condition accepts; 0 when it
// is not (a tenant and a condition together: their overlap is not counted).
double known_scope_share(const SearchScope& scope, const PointTable& points) {
  const size_t records = record_count(points);
  if (records == 0 || scope.candidates) return 0.0;
  size_t in_scope = 0;
  if (!scope.condition) {
    in_scope = scope.points;
  } else if (scope.tenant == NO_TENANT && scope.counted) {
    in_scope = *scope.counted;
  } else {
    return 0.0;
  }
  return static_cast<double>(std::min(in_scope, records)) / static_cast<double>(records);
}

// The fast walk from `entry` (the entry point's slot): navigates by code
// estimates, then scores the nearest of its kept points exactly and ranks
// them as the scan would. A walk that gives up, or keeps fewer than `limit`
// points, is answered by the scan of the scope.
std::vector<ScoredSlotPoint> fast_graph_search_slots(const HnswIndex& graph,
                                                     const PointTable& points,
                                                     std::span<const float> query, uint64_t limit,
                                                     Metric metric, const SearchScope& scope,
                                                     uint64_t beam, uint32_t entry) {
  WalkScratch& scratch = thread_walk_scratch();
  FastWalkQuery walk;
  make_fast_walk_query(query, walk_measure_for(metric), points, scratch.estimate_query, walk);
  if (walk.exact.measure == WalkMeasure::Cosine && walk.exact.norm == 0.0f) {
    return {};  // a zero vector compares with no point under cosine
  }
  float distance = MAX_DISTANCE;
  entry = fast_walk_descend(graph, points, walk, entry, distance, scratch);
  if (walk.estimates != nullptr) {
    // Where the descent ends closer in angle to the query than codes can
    // order (a cloud of near-copies, or points that differ little against a
    // large common offset), estimates would rank the beam at random: it
    // measures exactly instead.
    // A query that points the way of that point up to rounding (a stored
    // vector, or a point of a set so dense that neighbours differ by less)
    // tells no spread: its first neighbour that points another way does.
    // Where every neighbour it can measure is a copy, the beam would be
    // among copies, which codes cannot order either.
    const WalkQuery by_angle = make_walk_query(query, WalkMeasure::Cosine);
    uint32_t probe = entry;
    float angle = measure_slot(by_angle, points, entry);
    bool among_copies = false;
    if (angle <= SAME_WAY_DISTANCE) {
      angle = MAX_DISTANCE;
      for (uint32_t n : layer0_neighbors(graph, entry)) {
        if (n >= slot_count(points) || !has_record(points, n)) continue;
        const float d = measure_slot(by_angle, points, n);
        among_copies |= d <= SAME_WAY_DISTANCE;
        if (d > SAME_WAY_DISTANCE && d < MAX_DISTANCE) {
          probe = n;
          angle = d;
          break;
        }
      }
      among_copies &= angle == MAX_DISTANCE;
    }
    if (among_copies || codes_cannot_order(points, probe, angle, walk.estimates->rounding)) {
      walk.estimates = nullptr;
      distance = measure_slot(walk.exact, points, entry);
    }
  }

  uint64_t ef = std::max<uint64_t>(beam, limit);
  ef = std::min<uint64_t>(ef, slot_count(points) + 1);
  const bool filtered = !scope.whole_table();
  size_t budget = SIZE_MAX;
  if (filtered) {
    // The beam is not widened by the share in scope: once it keeps the
    // re-rank window's worth of points in scope, it reaches somewhat farther
    // than an unfiltered beam of `ef` (fast_walk_base_layer), and keeps the
    // points in scope within that reach.
    ef = std::min<uint64_t>(ef, std::max<uint64_t>(beam, scope.expected_points()));
    budget = scope.expected_points();
  }
  const ScopeTest test{&points, &scope};
  const SlotPredicate keep = filtered ? SlotPredicate{&test, in_scope} : SlotPredicate{};
  std::vector<WalkPair>& nearest = scratch.nearest;
  if (!fast_walk_base_layer(graph, points, walk, entry, distance, ef, keep,
                            static_cast<size_t>(std::min<uint64_t>(rerank_window(limit), ef)),
                            filtered ? known_scope_share(scope, points) : 1.0, budget, scratch,
                            nearest)) {
    return exact_search_slots(points, query, limit, metric, scope);
  }
  const size_t window =
      static_cast<size_t>(std::min<uint64_t>(nearest.size(), rerank_window(limit)));
  std::vector<uint32_t> window_slots;
  window_slots.reserve(window);
  for (size_t i = 0; i < window; ++i) window_slots.push_back(nearest[i].slot);

  SearchScope walked = scope;
  walked.points = window_slots.size();
  walked.candidates = std::span<const uint32_t>(window_slots);
  walked.candidates_match = true;  // the walk kept only points in scope
  std::vector<ScoredSlotPoint> rescored =
      exact_search_slots(points, query, limit, metric, walked);
  if (rescored.size() < limit) return exact_search_slots(points, query, limit, metric, scope);
  return rescored;
}

}  // namespace

std::vector<ScoredSlotPoint> graph_search_slots(const HnswIndex& graph, const PointTable& points,
                                                std::span<const float> query, uint64_t limit,
                                                Metric metric, const SearchScope& scope,
                                                const WalkOptions& options, bool exact_scores) {
  if (limit == 0 || !graph.entry_point) return {};
  const bool filtered = !scope.whole_table();
  const size_t in_scope_points = scope.expected_points();
  if (filtered && (scope.condition
                       ? prefers_exact_scan_of_filter(in_scope_points, record_count(points))
                       : prefers_exact_scan_of_tenant(in_scope_points, record_count(points)))) {
    return exact_search_slots(points, query, limit, metric, scope);
  }
  uint32_t entry = find_slot(points, *graph.entry_point);
  if (entry == NO_SLOT) return {};  // an entry point without a slot has no node either
  bool fast = options.fast;
  if (fast && !rows_have_length(points, query.size())) {
    // No point the graph's rows hold can be compared with the query. Where
    // most points live outside the rows (two lengths both common, so that
    // the rows keep the first one's), they have no codes, but the walk
    // `search` takes measures them: it answers, its kept points scored
    // exactly (the scan of such a store took 9x the fast walk's time, at
    // 20,000 x 64). Otherwise the walk would measure all it reaches in vain:
    // the scan answers.
    if (2 * records_outside_rows(points) <= record_count(points)) {
      return exact_search_slots(points, query, limit, metric, scope);
    }
    fast = false;
  }
  if (fast) {
    const uint64_t beam = options.ef != 0 ? std::min<uint64_t>(options.ef, MAX_EF_SEARCH)
                                          : search_beam(graph);
    return fast_graph_search_slots(graph, points, query, limit, metric, scope, beam, entry);
  }

  WalkScratch& scratch = thread_walk_scratch();
  WalkQuery walk = make_walk_query(query, walk_measure_for(metric));
  attach_code_query(walk, points, scratch.code_query);
  float distance = measure_slot(walk, points, entry);
  for (size_t layer = std::min<uint64_t>(graph.max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    entry = greedy_search_layer(graph, points, walk, entry, distance, layer, scratch);
  }

  // The beam is as wide as the limit asks, but never wider than the store.
  const uint64_t beam = options.ef != 0 ? std::min<uint64_t>(options.ef, MAX_EF_SEARCH)
                                        : search_beam(graph);
  uint64_t ef = std::max<uint64_t>(beam, limit);
  ef = std::min<uint64_t>(ef, slot_count(points) + 1);
  std::vector<WalkPair>& nearest = scratch.nearest;
  if (filtered) {
    if (scope.condition) {
      // A beam keeps only points in scope, but reaches the others as well: it
      // is widened by the share it passes through, so that it reaches about
      // as many points in scope as an unfiltered beam reaches points.
      const double share = static_cast<double>(std::max<size_t>(scope.expected_points(), 1)) /
                           static_cast<double>(std::max<size_t>(record_count(points), 1));
      ef = static_cast<uint64_t>(std::min<double>(static_cast<double>(MAX_EF_SEARCH),
                                                  std::ceil(static_cast<double>(ef) / share)));
    }
    ef = std::min<uint64_t>(ef, std::max<uint64_t>(beam, scope.expected_points()));
    // Past the cost of scanning the scope, the scan is the cheaper answer.
    const ScopeTest test{&points, &scope};
    if (!search_base_layer_filtered(graph, points, walk, entry, distance, ef,
                                    SlotPredicate{&test, in_scope}, scope.expected_points(),
                                    !scope.condition, scratch, nearest)) {
      return exact_search_slots(points, query, limit, metric, scope);
    }
  } else {
    search_base_layer(graph, points, walk, entry, ef, scratch, nearest);
  }

  size_t kept = static_cast<size_t>(std::min<uint64_t>(limit, nearest.size()));
  std::vector<uint32_t> kept_slots;
  kept_slots.reserve(kept);
  std::vector<float> kept_distances;
  kept_distances.reserve(kept);
  const ScopeTest test{&points, &scope};
  for (const WalkPair& pair : nearest) {
    if (kept_slots.size() == kept) break;
    if (!has_record(points, pair.slot)) continue;
    if (filtered && !in_scope(&test, pair.slot)) continue;
    if (options.comparable_only && !comparable_with_query(walk, points, pair.slot)) continue;
    kept_slots.push_back(pair.slot);
    kept_distances.push_back(pair.distance);
  }

  if (exact_scores) {
    // The kept points scored and ranked as the scan would; a walk that could
    // not fill the answer is replaced by the scan, which returns every point
    // in scope that can be compared with the query.
    SearchScope walked = scope;
    walked.points = kept_slots.size();
    walked.candidates = std::span<const uint32_t>(kept_slots);
    walked.candidates_match = true;  // every kept point was tested
    std::vector<ScoredSlotPoint> rescored =
        exact_search_slots(points, query, kept_slots.size(), metric, walked);
    if (rescored.size() < limit) return exact_search_slots(points, query, limit, metric, scope);
    return rescored;
  }

  ResultSelector selector(kept_slots.size(), metric != Metric::Euclidean);
  for (size_t i = 0; i < kept_slots.size(); ++i) {
    selector.offer(graph_score(metric, kept_distances[i], query.size(),
                               slot_dim(points, kept_slots[i])),
                   static_cast<uint32_t>(i));
  }
  std::vector<ScoredSlot> ranked = selector.take_sorted();
  std::vector<ScoredSlotPoint> results;
  results.reserve(ranked.size());
  for (const ScoredSlot& entry_ranked : ranked) {
    results.push_back(ScoredSlotPoint{entry_ranked.score, kept_slots[entry_ranked.seq]});
  }
  return results;
}

std::vector<ScoredPoint> graph_search(const HnswIndex& graph, const PointTable& points,
                                      std::span<const float> query, uint64_t limit,
                                      Metric metric, const SearchScope& scope) {
  std::vector<ScoredSlotPoint> best =
      graph_search_slots(graph, points, query, limit, metric, scope, WalkOptions{}, false);
  std::vector<ScoredPoint> results;
  results.reserve(best.size());
  for (const ScoredSlotPoint& entry : best) {
    results.push_back(ScoredPoint{record_id(points, entry.slot), entry.score});
  }
  return results;
}

}  // namespace tarnwick
