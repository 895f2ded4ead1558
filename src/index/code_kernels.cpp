// The portable reference kernels over codes, and the portable fast dot.
#include "index/code_kernels.h"

#include "index/code_bound_runs.h"

namespace tarnwick {

namespace {

inline int32_t code_dot(const int16_t* levels, const uint8_t* code, size_t stride) {
  int32_t sum = 0;
  for (size_t i = 0; i < stride; ++i) sum += int32_t{levels[i]} * int32_t{code[i]};
  return sum;
}

}  // namespace

void scalar_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                      size_t stride, int32_t* out) {
  for (size_t r = 0; r < count; ++r) out[r] = code_dot(levels, codes[r], stride);
}

void scalar_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                     int32_t* out) {
  for (size_t r = 0; r < count; ++r) out[r] = code_dot(levels, codes + r * stride, stride);
}

void scalar_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                      float* out) {
  // Eight partial sums per row, which a compiler may keep in vector lanes.
  constexpr size_t LANES = 8;
  for (size_t r = 0; r < count; ++r) {
    const float* row = rows[r];
    float partial[LANES] = {};
    size_t i = 0;
    for (; i + LANES <= dim; i += LANES) {
      for (size_t k = 0; k < LANES; ++k) partial[k] += q[i + k] * row[i + k];
    }
    float sum = 0.0f;
    for (; i < dim; ++i) sum += q[i] * row[i];
    for (size_t k = 0; k < LANES; ++k) sum += partial[k];
    out[r] = sum;
  }
}

void scalar_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                        const int32_t* level_dots, size_t count, float query_norm, float* low,
                        float* high) {
  score_bounds_by_kind(score, q, meta, level_dots, count, query_norm, low, high);
}

}  // namespace tarnwick
