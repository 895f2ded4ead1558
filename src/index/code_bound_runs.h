// The bounds of a run of coded points at once, written without branches so
// that each kernel file's compiler turns the loop into vector code for its
// instruction set. Every set computes the same operations in the same order,
// so every set returns the same floats; they are the bounds of code_bounds.h
// (dot_sum_bounds, squared_distance_sum_bounds and what the metrics make of
// them), whose derivation is written there.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "index/code_bounds.h"
#include "index/code_kernels.h"

namespace tarnwick {

// What a run's bounds are of: the metric's score.
enum class BoundedScore : uint8_t { Dot, Cosine, Euclidean };

namespace bound_run_detail {

// As float_at_most and float_at_least of code_bounds.h, by selections only.
// One step toward -inf from a nonzero f moves its bit pattern by -1 when f is
// positive and +1 when negative; from zero it is the smallest subnormal.
inline float at_most(double x) {
  const float f = static_cast<float>(x);
  const int32_t bits = std::bit_cast<int32_t>(f);
  const int32_t moved = bits + (f > 0.0f ? -1 : 1);
  const int32_t below = f == 0.0f ? std::bit_cast<int32_t>(-0x1p-149f) : moved;
  return std::bit_cast<float>(static_cast<double>(f) > x ? below : bits);
}

inline float at_least(double x) {
  const float f = static_cast<float>(x);
  const int32_t bits = std::bit_cast<int32_t>(f);
  const int32_t moved = bits + (f > 0.0f ? 1 : -1);
  const int32_t above = f == 0.0f ? std::bit_cast<int32_t>(0x1p-149f) : moved;
  return std::bit_cast<float>(static_cast<double>(f) < x ? above : bits);
}

}  // namespace bound_run_detail

// low[r], high[r]: bounds of the score of the point with meta[r] and integer
// sum level_dots[r]; -inf and +inf where no bound is proved. The query must be
// usable; cosine needs the query's float norm.
template <BoundedScore Score>
inline void score_bounds_run(const CodeQuery& query, const CodeMeta* __restrict meta,
                             const int32_t* __restrict level_dots, size_t count, float query_norm,
                             float* __restrict low, float* __restrict high) {
  using namespace bound_run_detail;
  // The query's terms in locals, so that the compiler knows no store changes them.
  struct Terms {
    double sum, step, level_term, norm_bound, sum_error, square_low, square_high, inverse_low,
        inverse_high, underflow, gamma_distance, point_norm_factor, point_norm_addend, gamma_dot;
  };
  const Terms q{query.sum,         query.step,           query.level_term,
                query.norm_bound,  query.sum_error,      query.square_low,
                query.square_high, query.inverse_low,    query.inverse_high,
                query.underflow,   query.gamma_distance, query.point_norm_factor,
                query.point_norm_addend, query.gamma_dot};
  for (size_t r = 0; r < count; ++r) {
    const CodeMeta m = meta[r];
    const double offset = m.offset;
    const double scale = m.scale;
    const double residual = m.residual;
    const double norm = m.norm;
    const double offset_part = offset * q.sum;
    const double code_part = (scale * q.step) * static_cast<double>(level_dots[r]);
    const double half_width = scale * q.level_term + q.norm_bound * residual +
                              std::fabs(offset) * q.sum_error;
    const double magnitude = std::fabs(offset_part) + std::fabs(code_part) + half_width;
    const double centre = offset_part + code_part;
    double lo, hi;
    if constexpr (Score == BoundedScore::Euclidean) {
      const double point_square = norm * norm;
      const double point_low = point_square * q.inverse_low - q.underflow;
      const double point_high = point_square * q.inverse_high + 2.0 * q.underflow;
      const double margin = (q.square_high + point_high + 2.0 * magnitude) * 0x1p-48;
      // No clamps at zero here: a negative bound is a true one too (the sum is
      // never negative), and the square-root loop below maps it to zero.
      const double distance_low = q.square_low + point_low - 2.0 * (centre + half_width) - margin;
      const double distance_high = q.square_high + point_high - 2.0 * (centre - half_width) + margin;
      lo = ((1.0 - q.gamma_distance) * distance_low - q.underflow) * (1.0 - 0x1p-50);
      hi = ((1.0 + q.gamma_distance) * distance_high + q.underflow) * (1.0 + 0x1p-50);
    } else {
      const double point_norm_bound = norm * q.point_norm_factor + q.point_norm_addend;
      const double rounding = q.gamma_dot * q.norm_bound * point_norm_bound + q.underflow;
      const double margin = (magnitude + rounding) * 0x1p-49;
      const double reach = half_width + rounding + margin;
      lo = centre - reach;
      hi = centre + reach;
    }
    // Bitwise, not short-circuit: the loop stays free of branches.
    const bool ok = (residual >= 0.0) & (std::fabs(lo) <= 0x1.fffffffffffffp1023) &
                    (std::fabs(hi) <= 0x1.fffffffffffffp1023);
    const float low_f = at_most(lo), high_f = at_least(hi);
    low[r] = ok ? low_f : -INFINITY;
    high[r] = ok ? high_f : INFINITY;
  }
  // Cosine divides the dot bounds by the product of the norms, in a loop of
  // its own, all in float. (GCC 12 leaves it scalar, for its selects; a
  // version with bit masks that it vectorises measured no faster in walks.)
  if constexpr (Score == BoundedScore::Cosine) {
    for (size_t r = 0; r < count; ++r) {
      const float product = query_norm * meta[r].norm;
      const bool ok = (product > 0.0f) & (product <= 3.4028235e38f) & (low[r] > -INFINITY);
      const float divisor = ok ? product : 1.0f;
      const float low_s = low[r] / divisor, high_s = high[r] / divisor;
      low[r] = ok ? low_s : -INFINITY;
      high[r] = ok ? high_s : INFINITY;
    }
  }
  // The Euclidean distance is the square root of the sum (in a loop of its
  // own, which the compiler vectorises apart).
  if constexpr (Score == BoundedScore::Euclidean) {
    for (size_t r = 0; r < count; ++r) {
      const bool ok = low[r] >= 0.0f;
      low[r] = ok ? std::sqrt(ok ? low[r] : 0.0f) : 0.0f;
      high[r] = std::sqrt(high[r]);
    }
  }
}

inline void score_bounds_by_kind(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                                 const int32_t* level_dots, size_t count, float query_norm,
                                 float* low, float* high) {
  switch (score) {
    case BoundedScore::Dot:
      return score_bounds_run<BoundedScore::Dot>(q, meta, level_dots, count, query_norm, low, high);
    case BoundedScore::Cosine:
      return score_bounds_run<BoundedScore::Cosine>(q, meta, level_dots, count, query_norm, low, high);
    case BoundedScore::Euclidean:
      return score_bounds_run<BoundedScore::Euclidean>(q, meta, level_dots, count, query_norm, low,
                                                      high);
  }
}

}  // namespace tarnwick
