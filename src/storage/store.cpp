#include "storage/store.h"

#include <mutex>
#include <string>

#include "index/graph_insert.h"

namespace tarnwick {

Status upsert(Store& store, uint64_t point_id, std::span<const float> vector,
              std::unique_ptr<Payload> payload) {
  if (vector.size() > MAX_DIMENSION) {
    return Status::InvalidArgument("vector of " + std::to_string(vector.size()) +
                                   " components is longer than a point can hold (" +
                                   std::to_string(MAX_DIMENSION) + ")");
  }
  std::unique_lock segment_lock(store.segment);
  uint32_t slot = put_point(store.points, point_id, point_id, vector, vector_norm(vector), std::move(payload));
  std::unique_lock index_lock(store.index);
  insert_node(store.graph, store.points, slot, point_id, draw_level(store.graph.m));
  return Status::Ok();
}

std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  // The count is of stored points, not of graph nodes.
  if (store.points.record_count >= HNSW_MIN_POINTS && store.graph.entry_point) {
    return graph_search(store.graph, store.points, query, limit, metric, tenant);
  }
  return exact_search(store.points, query, limit, metric, tenant);
}

}  // namespace tarnwick
