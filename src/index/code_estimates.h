// A query made ready for distances estimated from codes, for walks and builds
// that navigate by them and never claim a bound: byte levels, so that the
// kernels multiply a code's bytes by it in half the instructions the 16-bit
// levels of the bounds take. The estimate carries the query's rounding to
// ESTIMATE_LEVEL_MAX levels besides the code's own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

struct EstimateQuery {
  bool usable = false;          // false: the codes cannot stand for this query
  std::vector<int8_t> levels;   // code_stride(dim) entries, zero past dim
  double step = 0.0;            // q_i is about step * levels[i]
  double sum = 0.0;             // the sum of q_i
  double rounding = 0.0;        // ||q - step * levels|| over ||q|| (0 for a zero query)
};

// Prepares `out` for `query`: unusable for a length the codes do not take, or
// a component that is not finite or larger than the codes allow.
void prepare_estimate_query(std::span<const float> query, EstimateQuery& out);

// The dot of the query with a coded point whose code stands for offset +
// scale * code[i] per component, from the levels' dot with the code.
inline double estimated_dot(const EstimateQuery& query, float offset, float scale, int32_t level_dot) {
  return static_cast<double>(offset) * query.sum + static_cast<double>(scale) * query.step * level_dot;
}

}  // namespace tarnwick
