// Encoding a vector into its compact code and the bound of what the code
// leaves out.
#include "table/point_codes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace tarnwick {

void CodeChunkDelete::operator()(uint8_t* data) const {
  ::operator delete[](data, std::align_val_t{64});
}

CodeChunk allocate_code_chunk(size_t slots, size_t stride) {
  const size_t bytes = slots * stride;
  CodeChunk chunk(static_cast<uint8_t*>(::operator new[](bytes, std::align_val_t{64})));
  std::memset(chunk.get(), 0, bytes);
  return chunk;
}

namespace {

// The smallest float at least x (x finite, within the float range).
float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, INFINITY);
  return f;
}

}  // namespace

// The residual bound. With a = offset, b = scale and c the code, the residual
// is r_i = v_i - (a + b c_i) in real arithmetic. It is evaluated in double:
// b c_i is exact (24 by 8 bits), a + b c_i and the difference with v_i are
// each rounded once, so the computed r'_i is within 2^-52 (|a| + |b c_i| +
// |v_i|) of r_i (two roundings of quantities bounded by that sum, each at
// most 2^-53 of it). Each |r_i| is therefore at most e_i = |r'_i| + 2^-51
// (|a| + |b c_i| + |v_i|), which is rounded upward by the factor (1 + 2^-50)
// that covers its own two roundings. The sum of the e_i^2 in double is
// within (n + 1) 2^-53 of its value (n products and n - 1 additions, each
// relative error at most 2^-53, of positive terms), so it is widened by
// (1 + (n + 2) 2^-52); the square root is rounded once more (factor
// 1 + 2^-52); the result is rounded upward to a float. No step can overflow
// or underflow to zero unnoticed: components are at most 2^50 in magnitude,
// and a component far below the normal range only adds a bound larger than
// itself.
bool encode_point_code(const float* components, size_t dim, uint8_t* code, CodeMeta& meta) {
  const size_t stride = code_stride(dim);
  std::memset(code, 0, stride);
  meta = CodeMeta{};
  if (dim > CODE_MAX_DIM) return false;
  float low = 0.0f, high = 0.0f;
  for (size_t i = 0; i < dim; ++i) {
    const float x = components[i];
    const float magnitude = std::fabs(x);
    // Written so that a NaN fails the first test.
    if (!(magnitude <= CODE_MAX_MAGNITUDE)) return false;
    if (i == 0 || x < low) low = x;
    if (i == 0 || x > high) high = x;
  }
  // A zero vector codes exactly; a nonzero one that small as a whole does not.
  if (std::max(std::fabs(low), std::fabs(high)) < CODE_MIN_MAGNITUDE && (low != 0.0f || high != 0.0f)) {
    return false;
  }
  // -0.0 and +0.0 both code as 0 with offset +0.0.
  const float offset = low == 0.0f ? 0.0f : low;
  const float scale = static_cast<float>((static_cast<double>(high) - offset) / 255.0);
  double sum = 0.0;
  for (size_t i = 0; i < dim; ++i) {
    const double x = components[i];
    double level = scale > 0.0f ? std::nearbyint((x - offset) / scale) : 0.0;
    if (level < 0.0) level = 0.0;
    if (level > 255.0) level = 255.0;
    code[i] = static_cast<uint8_t>(level);
    const double coded = static_cast<double>(scale) * level;
    const double residual = x - (static_cast<double>(offset) + coded);
    const double bound =
        (std::fabs(residual) + 0x1p-51 * (std::fabs(offset) + coded + std::fabs(x))) *
        (1.0 + 0x1p-50);
    sum += bound * bound;
  }
  sum *= 1.0 + static_cast<double>(dim + 2) * 0x1p-52;
  meta.offset = offset;
  meta.scale = scale;
  meta.residual = float_at_least(std::sqrt(sum) * (1.0 + 0x1p-52));
  return true;
}

}  // namespace tarnwick
