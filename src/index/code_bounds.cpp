// The proof and the arithmetic of the bounds from codes.
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
// finite, above 2^50 or nonzero below 2^-100 in magnitude, or longer than
// 2^16 components; a cosine whose norm product is zero or not finite.
#include "index/code_bounds.h"

#include <algorithm>
#include <cmath>

namespace tarnwick {

namespace {

constexpr double UNIT_ROUNDOFF = 0x1p-24;

// The largest float at most x, and the smallest at least x (x finite).
float float_at_most(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -INFINITY);
  return f;
}

float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, INFINITY);
  return f;
}

// gamma_k for float32, rounded upward.
double gamma_upper(double k) { return k * UNIT_ROUNDOFF / (1.0 - k * UNIT_ROUNDOFF) * (1.0 + 0x1p-50); }

// The centre and half-width of the interval of the real q.v, and the sum of
// the magnitudes that entered them (for the evaluation margins).
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

}  // namespace

void prepare_code_query(std::span<const float> query, CodeQuery& out) {
  const size_t n = query.size();
  out.usable = false;
  out.dim = n;
  if (n == 0 || n > CODE_MAX_DIM) return;
  double largest = 0.0;
  for (float x : query) {
    const float magnitude = std::fabs(x);
    if (!(magnitude <= CODE_MAX_MAGNITUDE)) return;  // also NaN
    if (magnitude != 0.0f && magnitude < CODE_MIN_MAGNITUDE) return;
    if (magnitude > largest) largest = magnitude;
  }
  const double count = static_cast<double>(n);
  // 255 n H < 2^31: no sum of level-times-code terms leaves int32.
  const double most_level = std::min(32767.0, std::floor(2147483647.0 / (255.0 * count)));
  // The step: the smallest power of two with largest <= step * H (exact products).
  double step = 1.0;
  if (largest > 0.0) {
    step = std::ldexp(1.0, std::ilogb(largest / most_level));
    while (step * most_level < largest) step *= 2.0;
    while (step * 0.5 * most_level >= largest) step *= 0.5;
  }
  out.levels.assign(code_stride(n), 0);
  // q_i / step is exact (a power of two) and so is its distance e_i to the
  // nearest integer; q_i^2 is exact in double (48 significant bits).
  double sum = 0.0, absolute_sum = 0.0, squares = 0.0, level_squares = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double x = query[i];
    const double scaled = x / step;
    const double level = std::nearbyint(scaled);
    out.levels[i] = static_cast<int16_t>(level);
    const double e = scaled - level;
    sum += x;
    absolute_sum += std::fabs(x);
    squares += x * x;
    level_squares += e * e;
  }
  // A double sum of n terms is within (n - 1) 2^-53 (1 + ...) of its value
  // relative to the sum of magnitudes; n 2^-52 covers that and the rounding
  // of the margin itself.
  const double sum_margin = count * 0x1p-52;
  out.step = step;
  out.sum = sum;
  out.sum_error = absolute_sum * (1.0 + sum_margin) * sum_margin * (1.0 + 0x1p-50);
  out.square_low = squares * (1.0 - sum_margin);
  out.square_high = squares * (1.0 + sum_margin);
  out.norm_bound = std::sqrt(out.square_high) * (1.0 + 0x1p-50);
  const double level_norm = std::sqrt(level_squares * (1.0 + sum_margin)) * (1.0 + 0x1p-50);
  out.level_term = step * level_norm * (255.0 * std::sqrt(count)) * (1.0 + 0x1p-48);
  out.gamma_dot = gamma_upper(count);
  out.gamma_distance = gamma_upper(count + 2.0);
  out.underflow = count * 0x1p-149;
  out.point_norm_factor =
      1.0 / ((1.0 - UNIT_ROUNDOFF) * std::sqrt(1.0 - out.gamma_dot)) * (1.0 + 0x1p-48);
  out.point_norm_addend = std::sqrt(out.underflow) / std::sqrt(1.0 - out.gamma_dot) * (1.0 + 0x1p-48);
  out.inverse_low = 1.0 / ((1.0 + UNIT_ROUNDOFF) * (1.0 + UNIT_ROUNDOFF) * (1.0 + out.gamma_dot)) *
                    (1.0 - 0x1p-48);
  out.inverse_high = 1.0 / ((1.0 - UNIT_ROUNDOFF) * (1.0 - UNIT_ROUNDOFF) * (1.0 - out.gamma_dot)) *
                     (1.0 + 0x1p-48);
  out.usable = true;
}

bool dot_sum_bounds(const CodeQuery& query, const CodeMeta& meta, float point_norm,
                    int32_t level_dot, FloatInterval& out) {
  if (!query.usable || !(meta.residual >= 0.0f)) return false;
  const DotInterval dot = real_dot_interval(query, meta, level_dot);
  const double point_norm_bound =
      static_cast<double>(point_norm) * query.point_norm_factor + query.point_norm_addend;
  const double rounding = query.gamma_dot * query.norm_bound * point_norm_bound + query.underflow;
  const double margin = (dot.magnitude + rounding) * 0x1p-49;
  const double reach = dot.half_width + rounding + margin;
  const double low = dot.centre - reach;
  const double high = dot.centre + reach;
  if (!std::isfinite(low) || !std::isfinite(high)) return false;
  out = {float_at_most(low), float_at_least(high)};
  return true;
}

bool squared_distance_sum_bounds(const CodeQuery& query, const CodeMeta& meta, float point_norm,
                                 int32_t level_dot, FloatInterval& out) {
  if (!query.usable || !(meta.residual >= 0.0f)) return false;
  const DotInterval dot = real_dot_interval(query, meta, level_dot);
  const double norm = point_norm;
  const double point_square = norm * norm;  // exact: 48 significant bits
  const double point_low = point_square * query.inverse_low - query.underflow;
  const double point_high = point_square * query.inverse_high + 2.0 * query.underflow;
  const double margin =
      (query.square_high + point_high + 2.0 * dot.magnitude) * 0x1p-48;
  double distance_low = query.square_low + point_low - 2.0 * (dot.centre + dot.half_width) - margin;
  const double distance_high =
      query.square_high + point_high - 2.0 * (dot.centre - dot.half_width) + margin;
  if (distance_low < 0.0) distance_low = 0.0;
  double low = ((1.0 - query.gamma_distance) * distance_low - query.underflow) * (1.0 - 0x1p-50);
  const double high = ((1.0 + query.gamma_distance) * distance_high + query.underflow) * (1.0 + 0x1p-50);
  if (low < 0.0) low = 0.0;
  if (!std::isfinite(low) || !std::isfinite(high)) return false;
  out = {float_at_most(low), float_at_least(high)};
  return true;
}

FloatInterval euclidean_distance_bounds(FloatInterval squared) {
  return {std::sqrt(squared.low), std::sqrt(squared.high)};
}

}  // namespace tarnwick
