#include "storage/store.h"

#include <mutex>

namespace tarnwick {

void upsert(Store& store, uint64_t point_id, std::span<const float> vector,
            std::unique_ptr<Payload> payload) {
  std::unique_lock segment_lock(store.segment);
  put_point(store.points, point_id, point_id, vector, std::move(payload));
  std::unique_lock index_lock(store.index);
}

std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant) {
  std::shared_lock segment_lock(store.segment);
  std::shared_lock index_lock(store.index);
  return exact_search(store.points, query, limit, metric, tenant);
}

}  // namespace tarnwick
