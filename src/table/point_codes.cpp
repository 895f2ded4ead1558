// Encoding a vector into its compact code and the bound of what the code
// leaves out.
#include "table/point_codes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>  // SSE2: every x86-64 processor has it
#endif

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
  float low = dim == 0 ? 0.0f : components[0], high = low;
  // Whether every magnitude is at most CODE_MAX_MAGNITUDE, written so that a
  // NaN fails it; the verdict is taken once, after the loop.
  bool in_range = true;
  size_t i = 0;
#if defined(__SSE2__)
  if (dim >= 4) {
    const __m128 limit = _mm_set1_ps(CODE_MAX_MAGNITUDE);
    const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 lows = _mm_loadu_ps(components), highs = lows;
    __m128 fits = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (; i + 4 <= dim; i += 4) {
      const __m128 x = _mm_loadu_ps(components + i);
      fits = _mm_and_ps(fits, _mm_cmple_ps(_mm_and_ps(x, abs_mask), limit));
      lows = _mm_min_ps(lows, x);
      highs = _mm_max_ps(highs, x);
    }
    alignas(16) float l[4], h[4];
    _mm_store_ps(l, lows);
    _mm_store_ps(h, highs);
    in_range = _mm_movemask_ps(fits) == 0xf;
    low = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
    high = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
  }
#endif
  for (; i < dim; ++i) {
    const float x = components[i];
    in_range &= std::fabs(x) <= CODE_MAX_MAGNITUDE;
    low = std::min(low, x);
    high = std::max(high, x);
  }
  if (!in_range) return false;
  // A zero vector codes exactly; a nonzero one that small as a whole does not.
  if (std::max(std::fabs(low), std::fabs(high)) < CODE_MIN_MAGNITUDE && (low != 0.0f || high != 0.0f)) {
    return false;
  }
  // -0.0 and +0.0 both code as 0 with offset +0.0.
  const float offset = low == 0.0f ? 0.0f : low;
  const float scale = static_cast<float>((static_cast<double>(high) - offset) / 255.0);
  // The squares are summed in SUM_LANES partial sums, component i into lane
  // i % SUM_LANES, added up pairwise at the end: the same sum whatever the
  // processor (the error bound holds for any order of positive terms), in
  // lanes the compiler can keep in vector registers.
  constexpr size_t SUM_LANES = 8;
  double lanes[SUM_LANES] = {};
  // Levels are the scaled differences rounded; multiplying by the reciprocal
  // of the scale rather than dividing may pick the other level of a near tie,
  // which the residual bound then covers as it covers any level.
  const double to_level = scale > 0.0f ? 1.0 / static_cast<double>(scale) : 0.0;
  auto code_component = [&](size_t i) {
    const double x = components[i];
    // The scaled difference is >= 0, so adding and taking away 2^52 rounds it
    // to the nearest integer, ties to even, as nearbyint does, without a call.
    double level = (x - offset) * to_level + 0x1p52 - 0x1p52;
    level = std::min(std::max(level, 0.0), 255.0);
    code[i] = static_cast<uint8_t>(level);
    const double coded = static_cast<double>(scale) * level;
    const double residual = x - (static_cast<double>(offset) + coded);
    const double bound =
        (std::fabs(residual) + 0x1p-51 * (std::fabs(offset) + coded + std::fabs(x))) *
        (1.0 + 0x1p-50);
    lanes[i % SUM_LANES] += bound * bound;
  };
  i = 0;
#if defined(__SSE2__)
  // The same steps two components at a time (SSE2 is part of every x86-64
  // processor), lanes k and k + 1 of the sums in one register.
  {
    const __m128d offset2 = _mm_set1_pd(offset), scale2 = _mm_set1_pd(scale);
    const __m128d to_level2 = _mm_set1_pd(to_level);
    const __m128d shift = _mm_set1_pd(0x1p52), top = _mm_set1_pd(255.0);
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d offset_size = _mm_set1_pd(std::fabs(static_cast<double>(offset)));
    const __m128d tiny = _mm_set1_pd(0x1p-51), widen = _mm_set1_pd(1.0 + 0x1p-50);
    __m128d sums[SUM_LANES / 2] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(),
                                   _mm_setzero_pd()};
    for (; i + SUM_LANES <= dim; i += SUM_LANES) {
      for (size_t pair = 0; pair < SUM_LANES / 2; ++pair) {
        // Two floats, at any alignment.
        const __m128d x = _mm_cvtps_pd(_mm_castsi128_ps(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(components + i + 2 * pair))));
        __m128d level = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(x, offset2), to_level2), shift);
        level = _mm_sub_pd(level, shift);
        level = _mm_min_pd(_mm_max_pd(level, _mm_setzero_pd()), top);
        const __m128i levels = _mm_cvttpd_epi32(level);
        code[i + 2 * pair] = static_cast<uint8_t>(_mm_cvtsi128_si32(levels));
        code[i + 2 * pair + 1] = static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(levels, 4)));
        const __m128d coded = _mm_mul_pd(scale2, level);
        const __m128d residual = _mm_sub_pd(x, _mm_add_pd(offset2, coded));
        const __m128d sizes = _mm_add_pd(_mm_add_pd(offset_size, coded), _mm_and_pd(x, abs_mask));
        const __m128d bound =
            _mm_mul_pd(_mm_add_pd(_mm_and_pd(residual, abs_mask), _mm_mul_pd(tiny, sizes)), widen);
        sums[pair] = _mm_add_pd(sums[pair], _mm_mul_pd(bound, bound));
      }
    }
    for (size_t pair = 0; pair < SUM_LANES / 2; ++pair) _mm_storeu_pd(lanes + 2 * pair, sums[pair]);
  }
#endif
  for (; i + SUM_LANES <= dim; i += SUM_LANES) {
    for (size_t lane = 0; lane < SUM_LANES; ++lane) code_component(i + lane);
  }
  for (; i < dim; ++i) code_component(i);
  double sum = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) +
               ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
  sum *= 1.0 + static_cast<double>(dim + 2) * 0x1p-52;
  meta.offset = offset;
  meta.scale = scale;
  meta.residual = float_at_least(std::sqrt(sum) * (1.0 + 0x1p-52));
  return true;
}

}  // namespace tarnwick
