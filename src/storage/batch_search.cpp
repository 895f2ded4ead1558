#include "storage/batch_search.h"

#include "util/worker_pool.h"

namespace tarnwick {

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
