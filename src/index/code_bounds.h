// Certified bounds from compact codes: for a query and a point's code, an
// interval that provably holds the float the exact in-order kernels return
// for that pair (the dot sum, the squared-distance sum, and what the metrics
// make of them). Where the error model cannot be proved for a pair no
// interval is claimed and the caller measures exactly.
#pragma once

#include <bit>
#include <cmath>
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

namespace bound_detail {

// The largest float at most x, and the smallest at least x (x finite, within
// the float range): the conversion rounds to nearest, then one step outward
// where it went the wrong way.
inline float float_at_most(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) {
    uint32_t bits = std::bit_cast<uint32_t>(f);
    f = f > 0.0f ? std::bit_cast<float>(bits - 1) : f < 0.0f ? std::bit_cast<float>(bits + 1) : -0x1p-149f;
  }
  return f;
}

inline float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) {
    uint32_t bits = std::bit_cast<uint32_t>(f);
    f = f > 0.0f ? std::bit_cast<float>(bits + 1) : f < 0.0f ? std::bit_cast<float>(bits - 1) : 0x1p-149f;
  }
  return f;
}

// The centre and half-width of the interval of the real q.v (step 2 below),
// and the sum of the magnitudes that entered them (for the margins of step 5).
struct DotInterval {
  double centre;
  double half_width;
  double magnitude;
};

inline DotInterval real_dot_interval(const CodeQuery& query, const CodeMeta& meta,
                                     int32_t level_dot) {
  const double offset = meta.offset;
  const double scale = meta.scale;  // >= 0
  const double offset_part = offset * query.sum;
  const double code_part = (scale * query.step) * static_cast<double>(level_dot);
  const double half_width = scale * query.level_term + query.norm_bound * meta.residual +
                            std::fabs(offset) * query.sum_error;
  return {offset_part + code_part, half_width,
          std::fabs(offset_part) + std::fabs(code_part) + half_width};
}

}  // namespace bound_detail

// The bounds of one point, from its code's meta (its norm is the table's:
// the square root of its in-order squared norm) and the exact integer sum of
// the query's levels times its code. Each returns false when no bound is
// claimed.
//
// Notation: q the query, v a stored point, both of n float32 components;
// u = 2^-24 the unit roundoff of float32; gamma_k = k u / (1 - k u).
//
// 1. What the exact kernels compute. The dot sum s is s_1 = -0.0 + p_1 = p_1
//    (exact), s_k = fl(s_(k-1) + p_k), with p_k = fl(q_k v_k). Round to
//    nearest gives fl(x y) = x y (1 + d) + h with |d| <= u, |h| <= 2^-150 (h is
//    the loss of a product below the normal range, and d h = 0), and
//    fl(a + b) = (a + b)(1 + e), |e| <= u, for every finite a, b (a sum in the
//    subnormal range is exact). While nothing overflows, the standard
//    analysis of a recursive sum (Higham, Accuracy and Stability of Numerical
//    Algorithms, ch. 3) gives |s - sum p_k| <= gamma_(n-1) sum |p_k|, and with
//    |p_k| <= (1 + u)|q_k v_k| + |h_k|:
//        |s - q.v| <= gamma_n sum |q_k v_k| + n 2^-149
//                  <= gamma_n ||q|| ||v|| + n 2^-149        (Cauchy-Schwarz).
//    The squared-distance sum S adds t_k = fl(fl(q_k - v_k)^2), and
//    fl(q_k - v_k) = (q_k - v_k)(1 + a_k), so t_k = (q_k - v_k)^2 (1 + th_3) +
//    h_k with |th_3| <= gamma_3; all terms are nonnegative, so with
//    D = ||q - v||^2:
//        |S - D| <= gamma_(n+2) D + n 2^-149.
//    No overflow: the components of q and of coded points are at most 2^50 in
//    magnitude and n <= 2^16, so every product, partial sum and squared norm
//    stays below 2^118 (prepare_code_query refuses other queries,
//    encode_point_code other points).
//
// 2. The code. A coded point is v = a + b c + r (a the offset, b >= 0 the
//    scale, c in [0, 255]^n the code, r the residual) with ||r|| <= R, the
//    stored residual bound. The query is q = t (h + e): t a power of two, h
//    integer levels with |h_i| <= H, e the level residual, |e_i| <= 1/2; both
//    are exact in double (below). Then, in real arithmetic,
//        q.v = a sum q + b t (h.c) + b t (e.c) + q.r
//    where h.c = I is the exact integer the code kernels return (H is chosen
//    so that 255 n H < 2^31: no partial sum in any order overflows int32),
//    |e.c| <= ||e|| ||c|| <= ||e|| 255 sqrt(n), and |q.r| <= ||q|| R.
//    So q.v lies within W = b L + N R + |a| Es of C = a S + b t I, where S is
//    the computed sum of q (within Es of the true one), L at least
//    t ||e|| 255 sqrt(n) and N at least ||q||.
//
// 3. The point's norm. The table keeps nv = fl(sqrt(Sv)), Sv the in-order
//    float sum of v_k^2. By 1, |Sv - ||v||^2| <= gamma_n ||v||^2 + n 2^-149,
//    and sqrt(Sv) = nv / (1 + d), |d| <= u, so
//        ||v||^2 in [(nv/(1+u))^2 - A) / (1 + gamma_n), ((nv/(1-u))^2 + A) / (1 - gamma_n)]
//    with A = n 2^-149, and ||v|| <= (nv / (1 - u) + sqrt(A)) / sqrt(1 - gamma_n).
//
// 4. The intervals. The dot sum s lies in [C - W - E, C + W + E] with
//    E = gamma_n N ||v||-bound + A. The squared distance D = ||q||^2 - 2 q.v +
//    ||v||^2 lies in [Dlo, Dhi] from the interval of q.v (2) and those of
//    ||q||^2 and ||v||^2 (3), so S lies in [(1 - gamma_(n+2)) max(Dlo, 0) - A,
//    (1 + gamma_(n+2)) Dhi + A].
//
// 5. The bound's own arithmetic is in double, every term rounded outward: a
//    quantity that must be an upper bound is widened by a relative margin
//    that covers the roundings that made it (each at most 2^-53 relative),
//    a lower one narrowed likewise; the evaluation of C and of the final sums
//    is covered by an absolute margin of 2^-49 (2^-48 for distances) times
//    the sum of the magnitudes that entered them, which exceeds the at most
//    12 (24) roundings of 2^-53 of those magnitudes involved. The final
//    interval is rounded outward to floats.
//
// Refused, with no bound: a query or point with a component that is not
// finite or above 2^50 in magnitude, longer than 2^16 components, or nonzero
// with no component of 2^-100 or more (the bound would be all underflow
// term); a cosine whose norm product is zero or not finite. Components in or
// near the subnormal range need no refusal: the h terms of 1 account for
// every product that falls below the normal range, and sums there are exact.

// The in-order dot sum of query and point, as the exact kernels return it.
inline bool dot_sum_bounds(const CodeQuery& query, const CodeMeta& meta, int32_t level_dot,
                           FloatInterval& out) {
  using namespace bound_detail;
  if (!query.usable || !(meta.residual >= 0.0f)) return false;
  const DotInterval dot = real_dot_interval(query, meta, level_dot);
  const double point_norm_bound =
      static_cast<double>(meta.norm) * query.point_norm_factor + query.point_norm_addend;
  const double rounding = query.gamma_dot * query.norm_bound * point_norm_bound + query.underflow;
  const double margin = (dot.magnitude + rounding) * 0x1p-49;
  const double reach = dot.half_width + rounding + margin;
  const double low = dot.centre - reach;
  const double high = dot.centre + reach;
  if (!std::isfinite(low) || !std::isfinite(high)) return false;
  out = {float_at_most(low), float_at_least(high)};
  return true;
}

// The in-order sum of squared differences, as the exact kernels return it.
inline bool squared_distance_sum_bounds(const CodeQuery& query, const CodeMeta& meta,
                                        int32_t level_dot, FloatInterval& out) {
  using namespace bound_detail;
  if (!query.usable || !(meta.residual >= 0.0f)) return false;
  const DotInterval dot = real_dot_interval(query, meta, level_dot);
  const double norm = meta.norm;
  const double point_square = norm * norm;  // exact: 48 significant bits
  const double point_low = point_square * query.inverse_low - query.underflow;
  const double point_high = point_square * query.inverse_high + 2.0 * query.underflow;
  const double margin = (query.square_high + point_high + 2.0 * dot.magnitude) * 0x1p-48;
  double distance_low = query.square_low + point_low - 2.0 * (dot.centre + dot.half_width) - margin;
  const double distance_high =
      query.square_high + point_high - 2.0 * (dot.centre - dot.half_width) + margin;
  if (distance_low < 0.0) distance_low = 0.0;
  double low = ((1.0 - query.gamma_distance) * distance_low - query.underflow) * (1.0 - 0x1p-50);
  const double high =
      ((1.0 + query.gamma_distance) * distance_high + query.underflow) * (1.0 + 0x1p-50);
  if (low < 0.0) low = 0.0;
  if (!std::isfinite(low) || !std::isfinite(high)) return false;
  out = {float_at_most(low), float_at_least(high)};
  return true;
}

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
inline FloatInterval euclidean_distance_bounds(FloatInterval squared) {
  return {std::sqrt(squared.low), std::sqrt(squared.high)};
}

}  // namespace tarnwick
