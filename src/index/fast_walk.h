// The fast walk: a descent and an early-stopping beam over layer 0 that
// navigate by distances estimated from the points' codes, so that a step reads
// a point's code and meta instead of its row. Points without a code are
// measured exactly on the way. Its distances are estimates: the caller scores
// the points it keeps exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "index/code_estimates.h"
#include "index/hnsw.h"
#include "index/layer_search.h"
#include "table/point_table.h"

namespace tarnwick {

// A query made ready for the fast walk. `estimates` is null when the codes
// cannot serve it (no codes for the rows' length, another length, a query the
// codes cannot represent): the walk then measures every point exactly.
struct FastWalkQuery {
  WalkQuery exact;
  const EstimateQuery* estimates = nullptr;
  EstimateDotKernel estimate_dots = nullptr;
  double square_norm = 0.0;  // the query's squared norm, for Euclidean estimates
};

// Prepares `out` for `vector`; `storage` holds the prepared codes query and
// must outlive the walks.
void make_fast_walk_query(std::span<const float> vector, WalkMeasure measure,
                          const PointTable& points, EstimateQuery& storage, FastWalkQuery& out);

// Whether a stored point (a slot holding a record) and the query can be
// compared: the same length and, under cosine, neither of them zero.
bool comparable_with_query(const WalkQuery& query, const PointTable& points, uint32_t slot);

// Whether the rows (where every point of the table's usual length lies, and
// so nearly every point the graph links) hold vectors of this length.
bool rows_have_length(const PointTable& points, size_t dim);

// Where the fast walk's beam starts: the graph's entry point, moved down the
// upper layers greedily by estimated distances. Returns the slot, with its
// estimated distance in `distance`.
uint32_t fast_walk_descend(const HnswIndex& graph, const PointTable& points,
                           const FastWalkQuery& query, uint32_t entry, float& distance,
                           WalkScratch& scratch);

// The early-stopping beam over layer 0 by estimated distances: it passes
// through every point but keeps in `nearest` only those `keep` accepts (every
// record when `keep.test` is null) that can be compared with the query: the
// nearest `ef` of them unfiltered, the nearest `wanted` (at most `ef`)
// filtered. Unfiltered, it stops once the next point to expand is farther
// than the worst of `ef` kept ones. Filtered, it is bounded by the nearest
// points it reached, in scope or not, as an unfiltered beam is, but only
// once it keeps `wanted` points, and over a reach wider
// than `ef` as far as the points out of scope push its targets out:
// `scope_share` is the share of the table's records in scope when known
// (0 when not: the widest reach). Leaves `nearest` by ascending estimate,
// equal ones in the order reached. Returns false, with `nearest`
// unspecified, as soon as it has reached more than `budget` points.
bool fast_walk_base_layer(const HnswIndex& graph, const PointTable& points,
                          const FastWalkQuery& query, uint32_t entry, float entry_distance,
                          size_t ef, SlotPredicate keep, size_t wanted, double scope_share,
                          size_t budget, WalkScratch& scratch, std::vector<WalkPair>& nearest);

}  // namespace tarnwick
