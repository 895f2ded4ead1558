// The graph path of search: a greedy descent to layer 1 and a beam over layer
// 0, both measured by the query's own metric, then the kept points scored.
// A tenant that a scan answers for less is handed to the exact scan.
#include <algorithm>

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

std::vector<ScoredPoint> graph_search(const HnswIndex& graph, const PointTable& points,
                                      std::span<const float> query, uint64_t limit,
                                      Metric metric, const SearchScope& scope) {
  if (limit == 0 || !graph.entry_point) return {};
  const bool tenant = !scope.whole_table();
  if (tenant && prefers_exact_scan_of_tenant(scope.points, record_count(points))) {
    return exact_search(points, query, limit, metric, scope);
  }
  uint32_t entry = find_slot(points, *graph.entry_point);
  if (entry == NO_SLOT) return {};  // an entry point without a slot has no node either

  WalkScratch& scratch = thread_walk_scratch();
  WalkQuery walk = make_walk_query(query, walk_measure_for(metric));
  attach_code_query(walk, points, scratch.code_query);
  float distance = measure_slot(walk, points, entry);
  for (size_t layer = std::min<uint64_t>(graph.max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    entry = greedy_search_layer(graph, points, walk, entry, distance, layer, scratch);
  }

  // The beam is as wide as the limit asks, but never wider than the store.
  uint64_t ef = std::max<uint64_t>(search_beam(graph), limit);
  ef = std::min<uint64_t>(ef, slot_count(points) + 1);
  std::vector<WalkPair>& nearest = scratch.nearest;
  if (tenant) {
    ef = std::min<uint64_t>(ef, std::max<uint64_t>(search_beam(graph), scope.points));
    // Past the cost of scanning the tenant, the scan is the cheaper answer.
    if (!search_base_layer_of_tenant(graph, points, walk, entry, distance, ef, scope.tenant,
                                     scope.points, scratch, nearest)) {
      return exact_search(points, query, limit, metric, scope);
    }
  } else {
    search_base_layer(graph, points, walk, entry, ef, scratch, nearest);
  }

  size_t kept = static_cast<size_t>(std::min<uint64_t>(limit, nearest.size()));
  ResultSelector selector(kept, metric != Metric::Euclidean);
  std::vector<uint32_t> kept_slots;
  kept_slots.reserve(kept);
  for (const WalkPair& pair : nearest) {
    if (kept_slots.size() == kept) break;
    if (!has_record(points, pair.slot)) continue;
    if (tenant && slot_tenant(points, pair.slot) != scope.tenant) continue;
    selector.offer(graph_score(metric, pair.distance, query.size(), slot_dim(points, pair.slot)),
                   static_cast<uint32_t>(kept_slots.size()));
    kept_slots.push_back(pair.slot);
  }
  std::vector<ScoredSlot> ranked = selector.take_sorted();
  std::vector<ScoredPoint> results;
  results.reserve(ranked.size());
  for (const ScoredSlot& entry_ranked : ranked) {
    results.push_back(
        ScoredPoint{record_id(points, kept_slots[entry_ranked.seq]), entry_ranked.score});
  }
  return results;
}

}  // namespace tarnwick
