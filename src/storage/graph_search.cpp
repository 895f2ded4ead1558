// The graph path of search: a greedy descent to layer 1 and a beam over layer
// 0, both measured by the query's own metric, then the kept points scored.
#include <algorithm>

#include "index/layer_search.h"
#include "storage/result_selector.h"
#include "storage/store.h"

namespace tarnwick {

namespace {

// The score a graph result reports, from the distance its walk measured.
float graph_score(Metric metric, float distance, size_t query_dim, const SlotHeader& point) {
  switch (metric) {
    case Metric::DotProduct:
      // The walk measured -dot; a pair of other lengths scores positive zero.
      return point.dim != query_dim ? 0.0f : -distance;
    case Metric::Cosine:
      return 1.0f - distance;
    case Metric::Euclidean:
      return point.dim != query_dim ? MAX_DISTANCE : distance;
  }
  return 0.0f;
}

}  // namespace

bool prefers_exact_scan_of_tenant(size_t tenant_points, size_t store_points) {
  // A beam through a tenant holding a share s of the points costs about
  // TENANT_WALK_POINTS / s scanned points, an exact scan the tenant's own; the
  // scan wins while tenant_points^2 <= TENANT_WALK_POINTS * store_points.
  return tenant_points <= TENANT_SCAN_MIN ||
         static_cast<double>(tenant_points) * static_cast<double>(tenant_points) <=
             static_cast<double>(TENANT_WALK_POINTS) * static_cast<double>(store_points);
}

std::vector<ScoredPoint> graph_search(const HnswIndex& graph, const PointTable& points,
                                      std::span<const float> query, uint64_t limit,
                                      Metric metric, std::optional<std::string_view> tenant) {
  if (limit == 0 || !graph.entry_point) return {};
  uint32_t tenant_code = NO_TENANT;
  size_t tenant_points = 0;
  if (tenant) {
    tenant_code = find_tenant(points, *tenant);
    if (tenant_code == NO_TENANT) return {};
    tenant_points = tenant_members(points, tenant_code).size();
    if (prefers_exact_scan_of_tenant(tenant_points, points.record_count)) {
      return exact_search(points, query, limit, metric, tenant);
    }
  }
  uint32_t entry = find_slot(points, *graph.entry_point);
  if (entry == NO_SLOT) return {};  // an entry point without a slot has no node either

  WalkScratch& scratch = thread_walk_scratch();
  WalkQuery walk = make_walk_query(query, walk_measure_for(metric));
  float distance = measure_slot(walk, points, entry);
  for (size_t layer = std::min<uint64_t>(graph.max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    entry = greedy_search_layer(graph, points, walk, entry, distance, layer, scratch);
  }

  // The beam is as wide as the limit asks, but never wider than the store.
  uint64_t ef = std::max<uint64_t>(search_beam(graph), limit);
  ef = std::min<uint64_t>(ef, slot_count(points) + 1);
  std::vector<WalkPair>& nearest = scratch.nearest;
  if (tenant) {
    ef = std::min<uint64_t>(ef, std::max<uint64_t>(search_beam(graph), tenant_points));
    // Past the cost of scanning the tenant, the scan is the cheaper answer.
    if (!search_base_layer_of_tenant(graph, points, walk, entry, distance, ef, tenant_code,
                                     tenant_points, scratch, nearest)) {
      return exact_search(points, query, limit, metric, tenant);
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
    const SlotHeader& point = points.headers[pair.slot];
    if (!has_record(points, pair.slot)) continue;
    if (tenant && point.tenant != tenant_code) continue;
    selector.offer(graph_score(metric, pair.distance, query.size(), point),
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
