// AVX-512 block kernels: sixteen points per register, each lane adding its own
// point's terms in index order. Only separate multiplies and adds are used (no
// fused multiply-add).
#include "index/scan_kernels.h"

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

template <bool SquaredDistance>
TARNWICK_INLINE __m512 term(__m512 query, __m512 x) {
  if constexpr (SquaredDistance) {
    __m512 d = _mm512_sub_ps(query, x);
    return _mm512_mul_ps(d, d);
  } else {
    return _mm512_mul_ps(query, x);
  }
}

// Components [k, k+8) of rows a and b, or of their first `count` components
// when count < 8 (the rest read as zero, nothing past them is touched).
template <bool Partial>
TARNWICK_INLINE __m512 load_pair(const float* a, const float* b, size_t k, __mmask8 mask) {
  if constexpr (Partial) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_maskz_loadu_ps(mask, a + k)),
                              _mm256_maskz_loadu_ps(mask, b + k), 1);
  } else {
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a + k)),
                              _mm256_loadu_ps(b + k), 1);
  }
}

// Adds the terms of components [k, k+count) of sixteen rows to acc (lane r:
// row r), one component after another; count is 8 unless Partial.
template <bool SquaredDistance, bool Partial>
TARNWICK_INLINE __m512 add_eight(__m512 acc, const float* q, const float* const* rows, size_t k,
                                 size_t count) {
  const __mmask8 mask = Partial ? static_cast<__mmask8>((1u << count) - 1) : 0xFF;
  const __m512 query = Partial ? _mm512_broadcast_f32x8(_mm256_maskz_loadu_ps(mask, q + k))
                               : _mm512_broadcast_f32x8(_mm256_loadu_ps(q + k));
  // Register p holds rows p and p+4 (p < 4), or p+4 and p+8: after the
  // transpose, lane r of every column belongs to row r.
  __m512 t[8];
#pragma GCC unroll 8
  for (int p = 0; p < 8; ++p) {
    int first = p < 4 ? p : p + 4;
    t[p] = term<SquaredDistance>(query, load_pair<Partial>(rows[first], rows[first + 4], k, mask));
  }
  // 4x4 transposes inside each 128-bit lane, then 128-bit lanes regrouped.
  __m512 x[4], y[4];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    __m512* in = t + 4 * h;
    __m512 a = _mm512_shuffle_ps(in[0], in[1], _MM_SHUFFLE(1, 0, 1, 0));
    __m512 b = _mm512_shuffle_ps(in[0], in[1], _MM_SHUFFLE(3, 2, 3, 2));
    __m512 c = _mm512_shuffle_ps(in[2], in[3], _MM_SHUFFLE(1, 0, 1, 0));
    __m512 d = _mm512_shuffle_ps(in[2], in[3], _MM_SHUFFLE(3, 2, 3, 2));
    __m512* out = h == 0 ? x : y;
    out[0] = _mm512_shuffle_ps(a, c, _MM_SHUFFLE(2, 0, 2, 0));
    out[1] = _mm512_shuffle_ps(a, c, _MM_SHUFFLE(3, 1, 3, 1));
    out[2] = _mm512_shuffle_ps(b, d, _MM_SHUFFLE(2, 0, 2, 0));
    out[3] = _mm512_shuffle_ps(b, d, _MM_SHUFFLE(3, 1, 3, 1));
  }
  // Column j < 4 sits in the even 128-bit lanes of x[j] and y[j], column j + 4
  // in their odd lanes.
#pragma GCC unroll 8
  for (size_t j = 0; j < 8; ++j) {
    if (Partial && j >= count) break;
    __m512 column = j < 4 ? _mm512_shuffle_f32x4(x[j], y[j], _MM_SHUFFLE(2, 0, 2, 0))
                          : _mm512_shuffle_f32x4(x[j - 4], y[j - 4], _MM_SHUFFLE(3, 1, 3, 1));
    acc = _mm512_add_ps(acc, column);
  }
  return acc;
}

// Scores 16 * Groups rows: each group of sixteen is one chain of adds, and the
// groups' chains run side by side. With Requests, each row's line `ahead`
// bytes on is requested as the row's own line is first read.
template <bool SquaredDistance, size_t Groups, bool Requests>
TARNWICK_INLINE void score_rows(const float* q, const float* const* rows, size_t dim, float* out,
                                size_t ahead) {
  __m512 acc[Groups];
#pragma GCC unroll 4
  for (size_t g = 0; g < Groups; ++g) acc[g] = _mm512_set1_ps(-0.0f);
  size_t k = 0;
  for (; k + 8 <= dim; k += 8) {
    // The row pointers are read afresh every step: kept in registers, they
    // would be parked in vector registers and moved out through a vector port.
    const float* const* block = rows;
    __asm__("" : "+r"(block));
    if constexpr (Requests) {
      if (k % 16 == 0) {
#pragma GCC unroll 32
        for (size_t r = 0; r < 16 * Groups; ++r) {
          __builtin_prefetch(reinterpret_cast<const char*>(block[r] + k) + ahead);
        }
      }
    }
#pragma GCC unroll 4
    for (size_t g = 0; g < Groups; ++g) {
      acc[g] = add_eight<SquaredDistance, false>(acc[g], q, block + 16 * g, k, 8);
    }
  }
  if (k < dim) {
#pragma GCC unroll 4
    for (size_t g = 0; g < Groups; ++g) {
      acc[g] = add_eight<SquaredDistance, true>(acc[g], q, rows + 16 * g, k, dim - k);
    }
  }
#pragma GCC unroll 4
  for (size_t g = 0; g < Groups; ++g) _mm512_storeu_ps(out + 16 * g, acc[g]);
}

template <bool SquaredDistance, size_t Groups>
void block_kernel(const float* q, const float* const* rows, size_t dim, float* out) {
  score_rows<SquaredDistance, Groups, false>(q, rows, dim, out, 0);
}

template <bool SquaredDistance, size_t Groups>
void stream_kernel(const float* q, const float* const* rows, size_t dim, float* out, size_t ahead) {
  score_rows<SquaredDistance, Groups, true>(q, rows, dim, out, ahead);
}

bool runs_vnni() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
}

}  // namespace

// For sixteen rows or fewer the AVX2 kernels are faster: sixteen lanes are
// one chain of 512-bit adds, whose latency is twice that of the two chains of
// 256-bit adds the AVX2 kernels keep.
const ScanKernels& avx512_scan_kernels() {
  const ScanKernels& avx2 = avx2_scan_kernels();
  static const ScanKernels kernels{"avx512",
                                   block_kernel<false, SCAN_BLOCK / 16>,
                                   block_kernel<true, SCAN_BLOCK / 16>,
                                   avx2.small_dot,
                                   avx2.small_squared_distance,
                                   avx2.tiny_dot,
                                   avx2.tiny_squared_distance,
                                   stream_kernel<false, SCAN_BLOCK / 16>,
                                   stream_kernel<true, SCAN_BLOCK / 16>,
                                   // The code kernels need the VNNI and byte-word
                                   // instructions, which not every AVX-512 processor has.
                                   runs_vnni() ? avx512_code_dots : avx2.code_dots,
                                   runs_vnni() ? avx512_code_run : avx2.code_run,
                                   avx512_fast_dots,
                                   avx512_score_bounds,
                                   avx512_estimate_dots};
  return kernels;
}

}  // namespace tarnwick
#endif
