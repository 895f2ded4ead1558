// Which path answers a search, and many searches at once on the worker pool.
#include "storage/search.h"

#include "util/worker_pool.h"

namespace tarnwick {

std::optional<SearchScope> resolve_scope(const PointTable& points,
                                         std::optional<std::string_view> tenant) {
  if (!tenant) return SearchScope{NO_TENANT, record_count(points)};
  const uint32_t code = find_tenant(points, *tenant);
  if (code == NO_TENANT) return std::nullopt;
  return SearchScope{code, tenant_members(points, code).size()};
}

bool prefers_exact_scan_of_tenant(size_t tenant_points, size_t store_points) {
  // A beam through a tenant holding a share s of the points costs about
  // TENANT_WALK_POINTS / s scanned points, an exact scan the tenant's own; the
  // scan wins while tenant_points^2 <= TENANT_WALK_POINTS * store_points.
  return tenant_points <= TENANT_SCAN_MIN ||
         static_cast<double>(tenant_points) * static_cast<double>(tenant_points) <=
             static_cast<double>(TENANT_WALK_POINTS) * static_cast<double>(store_points);
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
  auto answer = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      results[i] = search_points(store, queries[i], limit, metric, tenant);
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
