// Preparing a query for the bounds of index/code_bounds.h (where the proof
// is written down).
#include "index/code_bounds.h"

#include <algorithm>
#include <cmath>

namespace tarnwick {

namespace {

constexpr double UNIT_ROUNDOFF = 0x1p-24;

// gamma_k for float32, rounded upward.
double gamma_upper(double k) { return k * UNIT_ROUNDOFF / (1.0 - k * UNIT_ROUNDOFF) * (1.0 + 0x1p-50); }

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
    if (magnitude > largest) largest = magnitude;
  }
  // A query that small as a whole gets no useful bound (a zero one is fine).
  if (largest != 0.0 && largest < CODE_MIN_MAGNITUDE) return;
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

}  // namespace tarnwick
