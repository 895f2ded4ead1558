// The store state owned by one VectorStorage object: the point table and the
// graph, each behind its own reader-writer lock, always taken segment first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>
#include <vector>

#include "index/hnsw.h"
#include "index/metrics.h"
#include "table/payload.h"
#include "table/point_table.h"
#include "util/status.h"

namespace tarnwick {

struct Store {
  mutable std::shared_mutex segment;
  PointTable points;  // guarded by segment
  mutable std::shared_mutex index;
  HnswIndex graph;    // guarded by index
};

struct ScoredPoint {
  uint64_t id;
  float score;
};

// From this many points on, a store with an entry point is searched through its graph.
inline constexpr size_t HNSW_MIN_POINTS = 500;

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

// The best `limit` points for the query, best first. Never fails: points that
// cannot be compared with the query are left out.
std::vector<ScoredPoint> search_points(const Store& store, std::span<const float> query,
                                       uint64_t limit, Metric metric,
                                       std::optional<std::string_view> tenant);

// Scores every point (of the tenant, when given) and keeps the best `limit`.
// The caller holds shared access to segment.
std::vector<ScoredPoint> exact_search(const PointTable& points, std::span<const float> query,
                                      uint64_t limit, Metric metric,
                                      std::optional<std::string_view> tenant);

// The walk through the graph, measured by the query's own metric; with a tenant
// it passes through other tenants' points but returns only the tenant's own,
// and scans a small tenant exactly instead. The caller holds shared access to
// both locks and has checked that the graph has an entry point.
std::vector<ScoredPoint> graph_search(const HnswIndex& graph, const PointTable& points,
                                      std::span<const float> query, uint64_t limit,
                                      Metric metric, std::optional<std::string_view> tenant);

// Tenants of at most this many points are always scanned exactly: the scan
// costs about what one unfiltered graph search does.
inline constexpr size_t TENANT_SCAN_MIN = 2000;
// The cost of one unfiltered graph search in scanned points: measured, a beam
// of 32 over 128-dimensional points measures about 2,100 of them, and each
// costs about 2.5 times a point of the sequential scan.
inline constexpr size_t TENANT_WALK_POINTS = 5000;

// Whether a tenant of this size is answered by scanning its points.
bool prefers_exact_scan_of_tenant(size_t tenant_points, size_t store_points);

}  // namespace tarnwick
