#include "index/code_estimates.h"

#include <algorithm>
#include <cmath>

#include "index/code_kernels.h"
#include "table/point_codes.h"

namespace tarnwick {

void prepare_estimate_query(std::span<const float> query, EstimateQuery& out) {
  const size_t n = query.size();
  out.usable = false;
  if (n == 0 || n > CODE_MAX_DIM) return;
  double largest = 0.0, sum = 0.0;
  for (float x : query) {
    const double magnitude = std::fabs(x);
    if (!(magnitude <= CODE_MAX_MAGNITUDE)) return;  // also NaN
    largest = std::max(largest, magnitude);
    sum += x;
  }
  out.levels.assign(code_stride(n), 0);
  out.step = largest > 0.0 ? largest / ESTIMATE_LEVEL_MAX : 1.0;
  double squares = 0.0, lost = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double level = std::nearbyint(query[i] / out.step);
    out.levels[i] = static_cast<int8_t>(std::clamp(level, -double{ESTIMATE_LEVEL_MAX}, double{ESTIMATE_LEVEL_MAX}));
    const double off = query[i] - out.step * out.levels[i];
    squares += static_cast<double>(query[i]) * query[i];
    lost += off * off;
  }
  out.sum = sum;
  out.rounding = squares > 0.0 ? std::sqrt(lost / squares) : 0.0;
  out.usable = true;
}

}  // namespace tarnwick
