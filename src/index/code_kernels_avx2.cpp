// AVX2 kernels over codes (exact integer sums: 16-bit query levels times the
// code bytes, pairs added in 32 bits) and the fast float dot with fused
// multiply-adds. Only this file is built with these instructions.
#include "index/code_kernels.h"
#include "index/code_bound_runs.h"

#if defined(TARNWICK_HAVE_AVX2)
#include <immintrin.h>

namespace tarnwick {

namespace {

#define TARNWICK_INLINE [[gnu::always_inline]] inline

// The eight 32-bit lanes of four accumulators summed: lane k of the result is
// the sum of accumulator k (k < 4).
TARNWICK_INLINE __m128i sum_four(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  __m256i h01 = _mm256_hadd_epi32(a0, a1);
  __m256i h23 = _mm256_hadd_epi32(a2, a3);
  __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

TARNWICK_INLINE __m256i code_terms(const uint8_t* code, const int16_t* levels, size_t i) {
  __m256i c = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(code + i)));
  __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels + i));
  return _mm256_madd_epi16(c, l);
}

// Four codes at a time; the sums are exact whatever their order.
template <typename CodeAt>
TARNWICK_INLINE void code_dots_by_four(const int16_t* levels, CodeAt code_at, size_t count,
                                       size_t stride, int32_t* out) {
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const uint8_t* c0 = code_at(r);
    const uint8_t* c1 = code_at(r + 1);
    const uint8_t* c2 = code_at(r + 2);
    const uint8_t* c3 = code_at(r + 3);
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < stride; i += 16) {
      a0 = _mm256_add_epi32(a0, code_terms(c0, levels, i));
      a1 = _mm256_add_epi32(a1, code_terms(c1, levels, i));
      a2 = _mm256_add_epi32(a2, code_terms(c2, levels, i));
      a3 = _mm256_add_epi32(a3, code_terms(c3, levels, i));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + r), sum_four(a0, a1, a2, a3));
  }
  for (; r < count; ++r) {
    const uint8_t* c = code_at(r);
    __m256i a = _mm256_setzero_si256();
    for (size_t i = 0; i < stride; i += 16) a = _mm256_add_epi32(a, code_terms(c, levels, i));
    __m256i z = _mm256_setzero_si256();
    out[r] = _mm_cvtsi128_si32(sum_four(a, z, z, z));
  }
}

TARNWICK_INLINE float sum_lanes(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

}  // namespace

void avx2_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                    size_t stride, int32_t* out) {
  code_dots_by_four(levels, [codes](size_t r) { return codes[r]; }, count, stride, out);
}

void avx2_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                   int32_t* out) {
  code_dots_by_four(levels, [codes, stride](size_t r) { return codes + r * stride; }, count,
                    stride, out);
}

void avx2_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                    float* out) {
  for (size_t r = 0; r < count; ++r) {
    const float* row = rows[r];
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t i = 0;
    for (; i + 32 <= dim; i += 32) {
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(row + i), a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8), _mm256_loadu_ps(row + i + 8), a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 16), _mm256_loadu_ps(row + i + 16), a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 24), _mm256_loadu_ps(row + i + 24), a3);
    }
    for (; i + 8 <= dim; i += 8) {
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(row + i), a0);
    }
    float sum = sum_lanes(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
    for (; i < dim; ++i) sum += q[i] * row[i];
    out[r] = sum;
  }
}

void avx2_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                        const int32_t* level_dots, size_t count, float query_norm, float* low,
                        float* high) {
  score_bounds_by_kind(score, q, meta, level_dots, count, query_norm, low, high);
}

}  // namespace tarnwick
#endif
