// Many queries against one store at once, answered in parallel on the
// process's worker pool.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/metrics.h"
#include "storage/store.h"

namespace tarnwick {

// Answers every query exactly as search_points does, with the same limit,
// metric and tenant; result i belongs to query i. The first call in a process
// builds the worker pool, however many queries it has. Batches of 0 or 1 query
// run on the calling thread; larger ones are split into contiguous parts, each
// answered in ascending order on one worker, while the caller waits.
std::vector<std::vector<ScoredPoint>> batch_search_points(
    const Store& store, std::span<const std::span<const float>> queries, uint64_t limit,
    Metric metric, std::optional<std::string_view> tenant);

}  // namespace tarnwick
