// Certified bounds from compact codes: for a query and a point's code, an
// interval that provably holds the float the exact in-order kernels return
// for that pair (the dot sum, the squared-distance sum, and what the metrics
// make of them). Where the error model cannot be proved for a pair no
// interval is claimed and the caller measures exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "table/point_codes.h"

namespace tarnwick {

// A query made ready for bounds: its components as 16-bit levels times a
// power of two, and the sums the bounds need, each held as a double with its
// own error accounted for (see code_bounds.cpp).
struct CodeQuery {
  bool usable = false;         // false: no bound is ever claimed for this query
  size_t dim = 0;
  std::vector<int16_t> levels;  // code_stride(dim) entries, zero past dim
  double step = 0.0;            // q_i = step * (levels[i] + e_i), |e_i| <= 1/2
  double sum = 0.0;             // sum of q_i, within sum_error of it
  double sum_error = 0.0;
  double norm_bound = 0.0;      // at least ||q||
  double level_term = 0.0;      // at least step * ||e|| * 255 sqrt(n)
  double square_low = 0.0;      // ||q||^2 lies in [square_low, square_high]
  double square_high = 0.0;
  double gamma_dot = 0.0;       // gamma_n
  double gamma_distance = 0.0;  // gamma_{n+2}
  double underflow = 0.0;       // n 2^-149: what products falling below the normal range may lose
  double point_norm_factor = 0.0;  // ||v|| <= point_norm * factor + addend
  double point_norm_addend = 0.0;
  double inverse_low = 0.0;     // for ||v||^2 from the point's float norm
  double inverse_high = 0.0;
};

// Prepares `out` for the query (its storage is reused between calls).
void prepare_code_query(std::span<const float> query, CodeQuery& out);

// An interval of floats.
struct FloatInterval {
  float low;
  float high;
};

// The bounds of one point, from its code's meta, its stored float norm (the
// square root of its in-order squared norm) and the exact integer sum of the
// query's levels times its code. Each returns false when no bound is claimed.
//
// The in-order dot sum of query and point, as the exact kernels return it.
bool dot_sum_bounds(const CodeQuery& query, const CodeMeta& meta, float point_norm,
                    int32_t level_dot, FloatInterval& out);
// The in-order sum of squared differences, as the exact kernels return it.
bool squared_distance_sum_bounds(const CodeQuery& query, const CodeMeta& meta, float point_norm,
                                 int32_t level_dot, FloatInterval& out);

// What the metrics make of those sums, by the same float operations, which
// are monotone: a sum within [low, high] gives a result within the results
// of low and high.
//
// cosine similarity dot / (query_norm * point_norm); false when that product
// is zero or not finite.
inline bool cosine_similarity_bounds(FloatInterval dot, float query_norm, float point_norm,
                                     FloatInterval& out) {
  const float product = query_norm * point_norm;
  if (!(product > 0.0f) || !(product <= 3.4028235e38f)) return false;
  out = {dot.low / product, dot.high / product};
  return true;
}

// cosine distance 1 - similarity.
inline FloatInterval cosine_distance_bounds(FloatInterval similarity) {
  return {1.0f - similarity.high, 1.0f - similarity.low};
}

// Euclidean distance, the square root of the squared-distance sum.
FloatInterval euclidean_distance_bounds(FloatInterval squared);

}  // namespace tarnwick
