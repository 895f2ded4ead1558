// AVX-512 kernels over codes with the VNNI dot instructions (16-bit query
// levels times the code bytes, exact 32-bit sums) and the fast float dot with
// fused multiply-adds. Only this file is built with these instructions.
#include "index/code_kernels.h"
#include "index/code_bound_runs.h"

#if defined(TARNWICK_HAVE_AVX512)
// GCC 12 takes the deliberately undefined inputs of some intrinsics for
// uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace tarnwick {

namespace {

#define TARNWICK_INLINE [[gnu::always_inline]] inline

TARNWICK_INLINE __m512i add_code_terms(__m512i acc, const uint8_t* code, const int16_t* levels,
                                       size_t i) {
  __m512i c = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(code + i)));
  return _mm512_dpwssd_epi32(acc, c, _mm512_loadu_si512(levels + i));
}

// Lane k of the result is the sum of the sixteen lanes of accumulator k.
TARNWICK_INLINE __m128i sum_four(__m512i a0, __m512i a1, __m512i a2, __m512i a3) {
  // Halves added until each accumulator is four lanes, then the 128-bit AVX2 way.
  auto fold = [](__m512i a) {
    __m256i h = _mm256_add_epi32(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1));
    return h;
  };
  __m256i h01 = _mm256_hadd_epi32(fold(a0), fold(a1));
  __m256i h23 = _mm256_hadd_epi32(fold(a2), fold(a3));
  __m256i h = _mm256_hadd_epi32(h01, h23);
  return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

template <typename CodeAt>
TARNWICK_INLINE void code_dots_by_four(const int16_t* levels, CodeAt code_at, size_t count,
                                       size_t stride, int32_t* out) {
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const uint8_t* c0 = code_at(r);
    const uint8_t* c1 = code_at(r + 1);
    const uint8_t* c2 = code_at(r + 2);
    const uint8_t* c3 = code_at(r + 3);
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < stride; i += 32) {
      a0 = add_code_terms(a0, c0, levels, i);
      a1 = add_code_terms(a1, c1, levels, i);
      a2 = add_code_terms(a2, c2, levels, i);
      a3 = add_code_terms(a3, c3, levels, i);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + r), sum_four(a0, a1, a2, a3));
  }
  for (; r < count; ++r) {
    const uint8_t* c = code_at(r);
    __m512i a = _mm512_setzero_si512();
    for (size_t i = 0; i < stride; i += 32) a = add_code_terms(a, c, levels, i);
    out[r] = _mm512_reduce_add_epi32(a);
  }
}

}  // namespace

void avx512_code_dots(const int16_t* levels, const uint8_t* const* codes, size_t count,
                      size_t stride, int32_t* out) {
  code_dots_by_four(levels, [codes](size_t r) { return codes[r]; }, count, stride, out);
}

void avx512_code_run(const int16_t* levels, const uint8_t* codes, size_t count, size_t stride,
                     int32_t* out) {
  code_dots_by_four(levels, [codes, stride](size_t r) { return codes + r * stride; }, count,
                    stride, out);
}

void avx512_fast_dots(const float* q, const float* const* rows, size_t count, size_t dim,
                      float* out) {
  for (size_t r = 0; r < count; ++r) {
    const float* row = rows[r];
    __m512 a0 = _mm512_setzero_ps(), a1 = a0;
    size_t i = 0;
    for (; i + 32 <= dim; i += 32) {
      a0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + i), _mm512_loadu_ps(row + i), a0);
      a1 = _mm512_fmadd_ps(_mm512_loadu_ps(q + i + 16), _mm512_loadu_ps(row + i + 16), a1);
    }
    if (i < dim) {
      // The rest, up to 31 components, through masked loads.
      const size_t left = dim - i;
      const __mmask16 m0 = left >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << left) - 1);
      a0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m0, q + i), _mm512_maskz_loadu_ps(m0, row + i), a0);
      if (left > 16) {
        const __mmask16 m1 = static_cast<__mmask16>((1u << (left - 16)) - 1);
        a1 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m1, q + i + 16),
                             _mm512_maskz_loadu_ps(m1, row + i + 16), a1);
      }
    }
    out[r] = _mm512_reduce_add_ps(_mm512_add_ps(a0, a1));
  }
}

void avx512_score_bounds(BoundedScore score, const CodeQuery& q, const CodeMeta* meta,
                        const int32_t* level_dots, size_t count, float query_norm, float* low,
                        float* high) {
  score_bounds_by_kind(score, q, meta, level_dots, count, query_norm, low, high);
}

}  // namespace tarnwick
#endif
