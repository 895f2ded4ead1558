// The store state owned by one VectorStorage object: the point table and the
// graph, each behind its own reader-writer lock; the store's changes and
// reads, and the lock discipline that code elsewhere follows through its views.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "index/hnsw.h"
#include "index/metrics.h"
#include "table/payload.h"
#include "table/point_table.h"
#include "util/status.h"

namespace tarnwick {

// The locks are always taken segment first, then index. Only storage names
// them: code elsewhere reads and replaces the content through the views and
// functions below.
struct Store {
  mutable std::shared_mutex segment;
  PointTable points;  // guarded by segment
  mutable std::shared_mutex index;
  HnswIndex graph;    // guarded by index
};

// Shared access to the whole content while the view lives: nothing changes the
// points or the graph meanwhile, though other readers run beside it. Searches
// and saves read through one. No Python code runs, and no thread waits for the
// interpreter lock, while one is held.
struct ReadView {
  std::shared_lock<std::shared_mutex> segment_lock;
  std::shared_lock<std::shared_mutex> index_lock;
  const PointTable& points;
  const HnswIndex& graph;
};
ReadView read_view(const Store& store);

// Exclusive access to the whole content while the view lives: no one else
// reads or changes the store meanwhile, so a change made through it is seen
// whole or not at all, and anything recorded while it is held (a log entry)
// is recorded in the order the changes take effect.
struct WriteView {
  std::unique_lock<std::shared_mutex> segment_lock;
  std::unique_lock<std::shared_mutex> index_lock;
  PointTable& points;
  HnswIndex& graph;
};
WriteView write_view(Store& store);

// Replaces the whole content (points, graph and its parameters) with the given
// one, under exclusive access; the old content is dropped after the locks are
// released.
void replace_content(Store& store, PointTable points, HnswIndex graph);

// The most components a point can hold: a slot records its vector's length in 32 bits.
inline constexpr uint64_t MAX_DIMENSION = UINT32_MAX;

// Inserts the point or replaces the one stored under point_id, whole. A null
// payload means the point has none. A vector longer than MAX_DIMENSION is
// refused with InvalidArgument before anything is locked or changed.
Status upsert(Store& store, uint64_t point_id, std::span<const float> vector,
              std::unique_ptr<Payload> payload);

// Stores every point in order, as that many upserts one after another would:
// a later entry for the same id replaces an earlier one whole. A null payload
// means the point has none; the payloads are taken over. The points are linked
// into the graph in parallel on the process's worker pool. A vector longer than
// MAX_DIMENSION refuses the whole batch with InvalidArgument before anything is
// locked or changed.
Status upsert_batch(Store& store, std::span<const uint64_t> point_ids,
                    std::span<const std::span<const float>> vectors,
                    std::span<std::unique_ptr<Payload>> payloads);

// Batches smaller than twice this are linked on the calling thread, and so are
// the first this many points of a graph.
inline constexpr size_t PARALLEL_LINK_MIN = 256;

// Deletions of at most one point per this many nodes find the upper lists
// naming each around it; more take a scan of every upper list.
inline constexpr size_t NEARBY_SEARCH_RATIO = 512;

// Removes the points stored under these ids, with their payloads and graph
// nodes, and reconnects the graph around them. Returns how many of the ids
// (each counted once) held a point.
size_t delete_points(Store& store, std::span<const uint64_t> point_ids);

// A copy of one stored point, made under shared access.
struct PointCopy {
  std::vector<float> vector;
  std::optional<Payload> payload;
};

// Copies the point stored under point_id into `out`; false when there is none.
bool get_point(const Store& store, uint64_t point_id, PointCopy& out);

// The number of stored points.
size_t point_count(const Store& store);
bool contains_point(const Store& store, uint64_t point_id);

struct GraphParameters {
  uint64_t m;
  uint64_t ef_construction;
  uint64_t ef_search;
};
GraphParameters graph_parameters(const Store& store);
void set_ef_search(Store& store, uint64_t ef_search);

}  // namespace tarnwick
