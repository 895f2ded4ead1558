// Making a walk's query and measuring points with it: exact distances by the
// scan kernels, a build's estimates from codes, and the per-thread scratch
// and read counts the walks keep.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "index/layer_search.h"
#include "index/walk_memory.h"

namespace tarnwick {

using namespace walk_detail;

namespace {

inline float finish_distance(const WalkQuery& query, float sum, float point_norm) {
  switch (query.measure) {
    case WalkMeasure::Cosine:
      return 1.0f - cosine_from_norms(sum, query.norm, point_norm);
    case WalkMeasure::Euclidean:
      return std::sqrt(sum);
    case WalkMeasure::NegatedDot:
      return -sum;
  }
  return MAX_DISTANCE;
}

}  // namespace

WalkMeasure walk_measure_for(Metric metric) {
  switch (metric) {
    case Metric::Cosine:
      return WalkMeasure::Cosine;
    case Metric::Euclidean:
      return WalkMeasure::Euclidean;
    case Metric::DotProduct:
      return WalkMeasure::NegatedDot;
  }
  return WalkMeasure::Cosine;
}

bool bounds_enabled() {
  static const bool enabled = [] {
    const char* setting = std::getenv("TARNWICK_BOUNDS");
    return setting == nullptr || (std::strcmp(setting, "off") != 0 && std::strcmp(setting, "0") != 0);
  }();
  return enabled;
}

void attach_code_query(WalkQuery& query, const PointTable& points, CodeQuery& storage) {
  query.codes = nullptr;
  if (!bounds_enabled() || points.codes.stride == 0 || query.vector.size() != points.rows.dim) {
    return;
  }
  prepare_code_query(query.vector, storage);
  if (!storage.usable) return;
  query.codes = &storage;
  query.code_dots = scan_kernels().code_dots;
  query.score_bounds = scan_kernels().score_bounds;
}

WalkReads& thread_walk_reads() {
  thread_local WalkReads reads;
  return reads;
}

WalkQuery make_walk_query(std::span<const float> vector, WalkMeasure measure) {
  const ScanKernels& kernels = scan_kernels();
  WalkQuery query;
  query.vector = vector;
  query.measure = measure;
  query.kernel = measure == WalkMeasure::Euclidean ? kernels.squared_distance : kernels.dot;
  query.small_kernel =
      measure == WalkMeasure::Euclidean ? kernels.small_squared_distance : kernels.small_dot;
  query.tiny_kernel =
      measure == WalkMeasure::Euclidean ? kernels.tiny_squared_distance : kernels.tiny_dot;
  if (measure == WalkMeasure::Cosine) query.norm = std::sqrt(squared_norm(vector));
  // (q[i] - 0) squared is q[i] squared, summed in the same order.
  if (measure == WalkMeasure::Euclidean) query.zero_distance = std::sqrt(squared_norm(vector));
  if (measure == WalkMeasure::NegatedDot) query.zero_distance = 0.0f;
  return query;
}

WalkQuery stored_walk_query(const PointTable& points, uint32_t slot) {
  // Made for every point the neighbour selection keeps: the kernels are looked
  // up once.
  static const ScanKernels& kernels = scan_kernels();
  WalkQuery query;
  query.vector = in_rows(points, slot) ? std::span<const float>(row_of(points.rows, slot), points.rows.dim)
                                       : point_vector(points, slot);
  query.norm = points.norms[slot];
  query.measure = WalkMeasure::Cosine;
  query.kernel = kernels.dot;
  query.small_kernel = kernels.small_dot;
  query.tiny_kernel = kernels.tiny_dot;
  // Only builds measure from a stored point, and no caller sees a build's
  // distances: the fast dot serves (searches score exactly).
  query.fast_dots = kernels.fast_dots;
  return query;
}

namespace {

// A build's distances to coded points, estimated from their codes: a code
// stands for offset + scale * code[i] per component and the prepared query
// for step * levels[i], so the dot is offset * sum(q) + scale * step *
// (levels . code) up to the quantisation error of both sides, and the cosine
// distance follows from the points' norms. A quarter of the bytes of a row
// are read. Points without a code are measured from their vectors.
void measure_slots_from_codes(const WalkQuery& query, const PointTable& points,
                              std::span<const uint32_t> slots, float* out) {
  constexpr size_t BATCH = 32;
  const CodeQuery& coded = *query.build_codes;
  const CodeDotKernel code_dots = scan_kernels().code_dots;
  WalkQuery from_vectors = query;
  from_vectors.build_codes = nullptr;
  const uint8_t* codes[BATCH];
  size_t places[BATCH];
  int32_t dots[BATCH];
  size_t filled = 0;
  auto finish = [&] {
    code_dots(coded.levels.data(), codes, filled, points.codes.stride, dots);
    for (size_t r = 0; r < filled; ++r) {
      const CodeMeta& meta = code_meta_of(points.codes, slots[places[r]]);
      const double dot = static_cast<double>(meta.offset) * coded.sum +
                         static_cast<double>(meta.scale) * coded.step * dots[r];
      const double norms = static_cast<double>(query.norm) * meta.norm;
      out[places[r]] = norms > 0.0 ? static_cast<float>(1.0 - dot / norms) : MAX_DISTANCE;
    }
    filled = 0;
  };
  for (size_t i = 0; i < slots.size(); ++i) {
    const uint32_t slot = slots[i];
    if (!in_rows(points, slot) || !has_code(points, slot)) {
      measure_slots(from_vectors, points, slots.subspan(i, 1), out + i);
      continue;
    }
    codes[filled] = code_of(points.codes, slot);
    places[filled] = i;
    if (++filled == BATCH) finish();
  }
  if (filled > 0) finish();
  thread_walk_reads().coded += slots.size();
}

}  // namespace

// How many estimate errors apart two distances must be for codes to order them.
constexpr double CODED_DISTANCE_MARGIN = 16.0;

bool codes_cannot_order(const PointTable& points, uint32_t slot, float distance,
                        double query_rounding) {
  if (!in_rows(points, slot) || !has_code(points, slot) || points.rows.dim == 0) return false;
  const CodeMeta& meta = code_meta_of(points.codes, slot);
  if (!(meta.norm > 0.0f)) return false;
  const double error = (static_cast<double>(meta.residual) / meta.norm + query_rounding) /
                       std::sqrt(static_cast<double>(points.rows.dim));
  return static_cast<double>(distance) < CODED_DISTANCE_MARGIN * error;
}

void attach_build_codes(WalkQuery& query, const PointTable& points, CodeQuery& storage) {
  query.build_codes = nullptr;
  if (query.measure != WalkMeasure::Cosine || points.codes.stride == 0 ||
      query.vector.size() != points.rows.dim) {
    return;
  }
  prepare_code_query(query.vector, storage);
  if (storage.usable) query.build_codes = &storage;
}

void measure_slots(const WalkQuery& query, const PointTable& points,
                   std::span<const uint32_t> slots, float* out) {
  if (query.build_codes != nullptr) {
    measure_slots_from_codes(query, points, slots, out);
    return;
  }
  const float* rows[SCAN_BLOCK];
  size_t places[SCAN_BLOCK];
  float sums[SCAN_BLOCK];
  size_t filled = 0;
  const size_t dim = query.vector.size();
  const bool cosine = query.measure == WalkMeasure::Cosine;

  // A call costs about as much as its block whatever part of it is filled,
  // so a short batch takes the smallest kernels that cover it: the wide one
  // for more than three quarters of its rows, else 16 rows at a time and 8
  // for a remainder of at most 8.
  auto score_block = [&] {
    if (query.fast_dots != nullptr) {
      query.fast_dots(query.vector.data(), rows, filled, dim, sums);
    } else if (filled > SCAN_BLOCK - TINY_SCAN_BLOCK) {
      for (size_t r = filled; r < SCAN_BLOCK; ++r) rows[r] = rows[0];
      query.kernel(query.vector.data(), rows, dim, sums);
    } else {
      for (size_t start = 0; start < filled;) {
        const bool tiny = filled - start <= TINY_SCAN_BLOCK;
        const size_t block = tiny ? TINY_SCAN_BLOCK : SMALL_SCAN_BLOCK;
        for (size_t r = filled; r < start + block; ++r) rows[r] = rows[0];
        (tiny ? query.tiny_kernel : query.small_kernel)(query.vector.data(), rows + start, dim,
                                                        sums + start);
        start += block;
      }
    }
    for (size_t r = 0; r < filled; ++r) {
      out[places[r]] = finish_distance(query, sums[r], points.norms[slots[places[r]]]);
    }
    filled = 0;
  };

  const bool query_in_rows = dim == points.rows.dim && dim != 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    const uint32_t slot = slots[i];
    // The usual point lies in the rows, and the query has their length: its
    // header need not be read.
    const bool usual = query_in_rows && in_rows(points, slot);
    // A pair of other lengths, or a zero norm under cosine, cannot be compared.
    if ((!usual && points.headers[slot].dim != dim) ||
        (cosine && (points.norms[slot] == 0.0f || query.norm == 0.0f))) {
      out[i] = MAX_DISTANCE;
      continue;
    }
    rows[filled] = usual ? row_of(points.rows, slot) : vector_data(points, slot);
    places[filled] = i;
    if (++filled == SCAN_BLOCK) score_block();
  }
  if (filled > 0) score_block();
  thread_walk_reads().full += slots.size();
}

float measure_slot(const WalkQuery& query, const PointTable& points, uint32_t slot) {
  if (!has_record(points, slot)) return MAX_DISTANCE;
  float distance;
  measure_slots(query, points, std::span<const uint32_t>(&slot, 1), &distance);
  return distance;
}

WalkScratch& thread_walk_scratch() {
  thread_local WalkScratch scratch;
  return scratch;
}

}  // namespace tarnwick
