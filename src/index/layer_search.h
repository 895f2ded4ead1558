// The walks over one graph layer: the greedy walk of the upper layers, the
// base-layer beam of search (unfiltered, and keeping only the points a
// condition accepts, such as one tenant's), and the
// beam that insertion runs at every layer it links. Every walk measures with
// the distance its query carries, so a search walks by its own metric.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

#include "index/code_bounds.h"
#include "index/code_estimates.h"
#include "index/hnsw.h"
#include "index/metrics.h"
#include "index/scan_kernels.h"
#include "table/point_table.h"

namespace tarnwick {

// How a walk measures the distance from its query to a stored vector. A pair
// that cannot be compared is always MAX_DISTANCE.
enum class WalkMeasure : uint8_t {
  Cosine,      // cosine_distance
  Euclidean,   // euclidean_distance
  NegatedDot,  // -dot_score, so that a larger product is nearer
};

WalkMeasure walk_measure_for(Metric metric);

struct WalkQuery {
  std::span<const float> vector;
  float norm = 0.0f;  // square root of the in-order squared norm
  WalkMeasure measure = WalkMeasure::Cosine;
  // The distance a zero vector of the query's length measures: the query's
  // norm (Euclidean), zero (negated dot); NaN, equal to nothing, by cosine.
  float zero_distance = std::numeric_limits<float>::quiet_NaN();
  BlockKernel kernel = nullptr;        // SCAN_BLOCK rows
  BlockKernel small_kernel = nullptr;  // SMALL_SCAN_BLOCK rows
  BlockKernel tiny_kernel = nullptr;   // TINY_SCAN_BLOCK rows
  // With a code query, a walk rejects a point without reading its vector
  // when the code's bounds prove the exact comparison would reject it.
  const CodeQuery* codes = nullptr;
  CodeDotKernel code_dots = nullptr;
  ScoreBoundsKernel score_bounds = nullptr;
  // Builds measure with a fast dot that is not the in-order sum (no caller
  // sees a build's distances); null for every walk whose distances count.
  FastDotKernel fast_dots = nullptr;
  // Builds may also measure a coded point from its code alone (an estimate
  // within the quantisation error, from a quarter of the bytes); null for
  // every walk whose distances count.
  const CodeQuery* build_codes = nullptr;
};

WalkQuery make_walk_query(std::span<const float> vector, WalkMeasure measure);

// Whether a walk passes by the point in `slot`, measured at `distance`: keeps
// it as a result but never moves to it, and a beam expands it only after
// every point it can measure. That is a zero vector walked by Euclidean
// distance or the inner product. The graph, linked by
// cosine distance, cannot place such a point (it is at the greatest distance
// from every other), so its links lead anywhere, mostly to its own copies: a
// walk that moved into them was held there, every neighbour a copy at the
// same distance, and answered with zero vectors while the true neighbours lay
// nearer. Cosine walks measure such points at MAX_DISTANCE and pass them by
// anyway.
inline bool passes_by(const WalkQuery& query, const PointTable& points, uint32_t slot, float distance) {
  return distance == query.zero_distance && points.norms[slot] == 0.0f;
}

// Whether walks and scans decide from bounds: on unless TARNWICK_BOUNDS is
// "off" or "0" (read once; for tests and benchmarks, which compare the two).
bool bounds_enabled();

// Lets the walks of `query` decide from bounds when they are enabled and
// the table's codes fit the query; `storage` holds the prepared query and
// must outlive the walks.
void attach_code_query(WalkQuery& query, const PointTable& points, CodeQuery& storage);

// Counts of what walks on this thread did, for benchmarks: points measured
// from their vectors, points rejected from their codes, and base-layer
// expansions.
struct WalkReads {
  uint64_t full = 0;
  uint64_t coded = 0;
  uint64_t expansions = 0;
};
WalkReads& thread_walk_reads();
// A query that is the vector stored in a slot, reusing the norm the table
// keeps for it; for builds, which measure with the fast dot.
WalkQuery stored_walk_query(const PointTable& points, uint32_t slot);
// Lets a build's query measure coded points from their codes, when the
// table's codes fit it; `storage` holds the prepared query and must outlive
// the walks.
void attach_build_codes(WalkQuery& query, const PointTable& points, CodeQuery& storage);

// out[i] = distance to the record in slots[i]. Every slot must hold a record.
void measure_slots(const WalkQuery& query, const PointTable& points,
                   std::span<const uint32_t> slots, float* out);
// The distance to one slot; MAX_DISTANCE when it holds no record.
float measure_slot(const WalkQuery& query, const PointTable& points, uint32_t slot);

// One point reached by a beam: its distance and the order in which it was
// reached, which decides between equal distances.
struct WalkPair {
  float distance;
  uint32_t seq;
  uint32_t slot;
};

// A pair whose place in that order is one integer (walk_detail::order_bits),
// for heaps that compare nothing else.
struct KeyedPair {
  uint64_t key;
  float distance;
  uint32_t slot;
};

// The locks that guard neighbour lists while insertions run in parallel. A
// list is read and written only under the stripe of its node; a thread holds
// at most one stripe at a time, and takes `global` (entry point and top level)
// never while holding a stripe.
struct NodeLocks {
  static constexpr size_t STRIPES = 4096;
  std::array<std::mutex, STRIPES> stripes;
  std::mutex global;
  std::mutex& of(uint32_t slot) { return stripes[slot % STRIPES]; }
  // Nodes no node of lower rank could take into the spanning tree while
  // linking ran in parallel; attached below the root once it is over.
  std::mutex unattached_mutex;
  std::vector<uint32_t> unattached;  // guarded by unattached_mutex
};

// Per-thread scratch of the walks, indexed by point-table slot and reused by
// every walk on the thread; nothing in it is sized by point ids.
struct WalkScratch {
  // One bit per slot, set when the walk reached it: small enough to stay in
  // the first-level cache of a store of a hundred thousand points. The words
  // a walk set are listed, so that the next walk clears only those.
  std::vector<uint64_t> visited;
  std::vector<uint32_t> visited_words;
  std::vector<uint32_t> batch_slots;
  std::vector<float> batch_distances;
  std::vector<WalkPair> candidates;
  std::vector<WalkPair> nearest;
  std::vector<KeyedPair> keyed_candidates;  // the default beam's heaps
  std::vector<KeyedPair> keyed_nearest;
  std::vector<uint32_t> chosen;
  std::vector<float> chosen_distances;
  std::vector<uint32_t> list_copy;  // a list read under its lock
  CodeQuery code_query;             // the prepared query of a search's walks
  EstimateQuery estimate_query;     // the same for walks by estimates
  std::vector<const uint8_t*> code_pointers;
  std::vector<int32_t> level_dots;
  std::vector<CodeMeta> code_metas;
  std::vector<float> bound_lows;
  std::vector<float> bound_highs;
  // This thread's counts, found once (a thread-local lookup from a shared
  // object is a call): a scratch serves the thread that made it.
  WalkReads* reads = &thread_walk_reads();
};

WalkScratch& thread_walk_scratch();

// Moves from `entry` to the closest neighbour at `level` while that strictly
// lowers the distance; `distance` holds the distance of `entry` on the way in
// and of the returned slot on the way out. Neighbours without a record are
// skipped. Ties keep the earlier neighbour in list order.
// With `locks`, lists are read under their nodes' locks (insertions may be
// changing them meanwhile).
uint32_t greedy_search_layer(const HnswIndex& graph, const PointTable& points,
                             const WalkQuery& query, uint32_t entry, float& distance,
                             size_t level, WalkScratch& scratch, NodeLocks* locks = nullptr);

// The beam over layer 0 from `entry`, bounded by `ef`: every reached point
// enters while it beats the worst kept (as it stood when its parent was
// expanded) or fewer than `ef` are kept, and every point that entered is
// expanded. Leaves in `nearest` at most max(ef, 1) pairs by ascending distance,
// equal distances in the order reached; nothing when `entry` has no record.
void search_base_layer(const HnswIndex& graph, const PointTable& points,
                       const WalkQuery& query, uint32_t entry, size_t ef,
                       WalkScratch& scratch, std::vector<WalkPair>& nearest);

// Which points a filtered beam keeps: a test over slots holding a record,
// called through one pointer so that any condition fits.
struct SlotPredicate {
  const void* context = nullptr;
  bool (*test)(const void* context, uint32_t slot) = nullptr;
  bool operator()(uint32_t slot) const { return test(context, slot); }
};

// The beam over layer 0 that keeps only the points `keep` accepts: it passes
// through every other point, stopping once the next point to expand is
// farther than the worst of `ef` kept ones with `stop_early`, and otherwise
// expanding every point that entered, as search_base_layer does. Returns
// false, with `nearest` unspecified, as soon as it has measured more than
// `budget` points. With a `keep` that accepts every record, no budget and
// `stop_early`, this is the usual early-stopping beam.
bool search_base_layer_filtered(const HnswIndex& graph, const PointTable& points,
                                const WalkQuery& query, uint32_t entry, float entry_distance,
                                size_t ef, SlotPredicate keep, size_t budget, bool stop_early,
                                WalkScratch& scratch, std::vector<WalkPair>& nearest);

// The filtered beam restricted to one tenant's points.
bool search_base_layer_of_tenant(const HnswIndex& graph, const PointTable& points,
                                 const WalkQuery& query, uint32_t entry, float entry_distance,
                                 size_t ef, uint32_t tenant, size_t budget,
                                 WalkScratch& scratch, std::vector<WalkPair>& nearest);

// Cosine distances no larger than this are taken as pointing the same way:
// copies of one vector (or copies up to rounding) measure this close.
inline constexpr float SAME_WAY_DISTANCE = 0x1p-20f;

// Whether code estimates can order points at a cosine distance of about
// `distance` from the coded point in `slot` (false when it has no code): its
// residual spread over its components, against its norm, is about the error
// of one estimate, and pairs within a few times that are ordered by noise. A
// query that is itself rounded to levels (a search's estimates) adds its own
// `query_rounding` (the rounding's norm against the query's).
bool codes_cannot_order(const PointTable& points, uint32_t slot, float distance,
                        double query_rounding = 0.0);

// The beam insertion runs at one layer from several entries, with the usual
// stop: the best `ef` points with a record other than `self`, by ascending
// distance; it also ends once `ef` kept points are within SAME_WAY_DISTANCE.
// With `locks`, lists are read under their nodes' locks.
void search_layer_for_insert(const HnswIndex& graph, const PointTable& points,
                             const WalkQuery& query, std::span<const WalkPair> entries,
                             size_t ef, size_t layer, uint32_t self, WalkScratch& scratch,
                             std::vector<WalkPair>& nearest, NodeLocks* locks = nullptr);

}  // namespace tarnwick
