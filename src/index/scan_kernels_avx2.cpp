// AVX2 block kernels: eight points per register, each lane adding its own
// point's terms in index order. Only separate multiplies and adds are used (no
// fused multiply-add).
#include "index/scan_kernels.h"

#if defined(TARNWICK_HAVE_AVX2)
#include <immintrin.h>

namespace tarnwick {

namespace {

#define TARNWICK_INLINE [[gnu::always_inline]] inline

template <bool SquaredDistance>
TARNWICK_INLINE __m256 term(__m256 query, __m256 x) {
  if constexpr (SquaredDistance) {
    __m256 d = _mm256_sub_ps(query, x);
    return _mm256_mul_ps(d, d);
  } else {
    return _mm256_mul_ps(query, x);
  }
}

// Adds the terms of components [k, k+4) of eight rows to acc (lane r: row r),
// one component after another. The terms are formed while the rows are still
// laid out by row, two rows to a register (one per 128-bit half), and then
// turned into columns by an in-lane 4x4 transpose. Everything stays in
// registers: a kernel that kept its columns in arrays had them stored to and
// reloaded from the stack, at more than twice the time.
template <bool SquaredDistance>
TARNWICK_INLINE __m256 add_four(__m256 acc, const float* q, const float* const* rows, size_t k) {
  const __m256 query = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(q + k));
  __m256 t0 = term<SquaredDistance>(query, _mm256_loadu2_m128(rows[4] + k, rows[0] + k));
  __m256 t1 = term<SquaredDistance>(query, _mm256_loadu2_m128(rows[5] + k, rows[1] + k));
  __m256 t2 = term<SquaredDistance>(query, _mm256_loadu2_m128(rows[6] + k, rows[2] + k));
  __m256 t3 = term<SquaredDistance>(query, _mm256_loadu2_m128(rows[7] + k, rows[3] + k));
  // Only shufps, which this generation of cores issues on two ports (unpcklps
  // issues on one).
  __m256 a = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));  // r0k0 r0k1 r1k0 r1k1 | r4, r5
  __m256 b = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));  // r0k2 r0k3 r1k2 r1k3 | r4, r5
  __m256 c = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));  // r2k0 r2k1 r3k0 r3k1 | r6, r7
  __m256 d = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));  // r2k2 r2k3 r3k2 r3k3 | r6, r7
  acc = _mm256_add_ps(acc, _mm256_shuffle_ps(a, c, _MM_SHUFFLE(2, 0, 2, 0)));
  acc = _mm256_add_ps(acc, _mm256_shuffle_ps(a, c, _MM_SHUFFLE(3, 1, 3, 1)));
  acc = _mm256_add_ps(acc, _mm256_shuffle_ps(b, d, _MM_SHUFFLE(2, 0, 2, 0)));
  acc = _mm256_add_ps(acc, _mm256_shuffle_ps(b, d, _MM_SHUFFLE(3, 1, 3, 1)));
  return acc;
}

// Scores 8 * Groups rows: each group of eight is one chain of adds, and the
// groups' chains run side by side. With Requests, each row's line `ahead`
// bytes on is requested as the row's own line is first read.
template <bool SquaredDistance, size_t Groups, bool Requests>
TARNWICK_INLINE void score_rows(const float* q, const float* const* rows, size_t dim, float* out,
                                size_t ahead) {
  __m256 acc[Groups];
#pragma GCC unroll 8
  for (size_t g = 0; g < Groups; ++g) acc[g] = _mm256_set1_ps(-0.0f);
  size_t k = 0;
  for (; k + 8 <= dim; k += 8) {
    if constexpr (Requests) {
      if (k % 16 == 0) {
#pragma GCC unroll 16
        for (size_t r = 0; r < 8 * Groups; ++r) {
          __builtin_prefetch(reinterpret_cast<const char*>(rows[r] + k) + ahead);
        }
      }
    }
#pragma GCC unroll 8
    for (size_t g = 0; g < Groups; ++g) {
      acc[g] = add_four<SquaredDistance>(acc[g], q, rows + 8 * g, k);
      acc[g] = add_four<SquaredDistance>(acc[g], q, rows + 8 * g, k + 4);
    }
  }
  if (k + 4 <= dim) {
#pragma GCC unroll 8
    for (size_t g = 0; g < Groups; ++g) acc[g] = add_four<SquaredDistance>(acc[g], q, rows + 8 * g, k);
    k += 4;
  }
#pragma GCC unroll 8
  for (size_t g = 0; g < Groups; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
  // The last few components, in order, one lane at a time.
  for (; k < dim; ++k) {
    for (size_t r = 0; r < 8 * Groups; ++r) {
      if constexpr (SquaredDistance) {
        float d = q[k] - rows[r][k];
        out[r] += d * d;
      } else {
        out[r] += q[k] * rows[r][k];
      }
    }
  }
}

template <bool SquaredDistance, size_t Groups>
void block_kernel(const float* q, const float* const* rows, size_t dim, float* out) {
  score_rows<SquaredDistance, Groups, false>(q, rows, dim, out, 0);
}

template <bool SquaredDistance, size_t Groups>
void stream_kernel(const float* q, const float* const* rows, size_t dim, float* out, size_t ahead) {
  score_rows<SquaredDistance, Groups, true>(q, rows, dim, out, ahead);
}

// Thirty-two rows as two blocks of sixteen: two chains already cover the
// latency of the adds, and four chains measured slower (their row pointers no
// longer fit in registers).
void dot_32(const float* q, const float* const* rows, size_t dim, float* out) {
  block_kernel<false, 2>(q, rows, dim, out);
  block_kernel<false, 2>(q, rows + 16, dim, out + 16);
}

void squared_distance_32(const float* q, const float* const* rows, size_t dim, float* out) {
  block_kernel<true, 2>(q, rows, dim, out);
  block_kernel<true, 2>(q, rows + 16, dim, out + 16);
}

void stream_dot_32(const float* q, const float* const* rows, size_t dim, float* out, size_t ahead) {
  stream_kernel<false, 2>(q, rows, dim, out, ahead);
  stream_kernel<false, 2>(q, rows + 16, dim, out + 16, ahead);
}

void stream_squared_distance_32(const float* q, const float* const* rows, size_t dim, float* out,
                                size_t ahead) {
  stream_kernel<true, 2>(q, rows, dim, out, ahead);
  stream_kernel<true, 2>(q, rows + 16, dim, out + 16, ahead);
}

}  // namespace

const ScanKernels& avx2_scan_kernels() {
  static_assert(SCAN_BLOCK == 32 && SMALL_SCAN_BLOCK == 16 && TINY_SCAN_BLOCK == 8);
  static const ScanKernels kernels{"avx2",
                                   dot_32,
                                   squared_distance_32,
                                   block_kernel<false, 2>,
                                   block_kernel<true, 2>,
                                   block_kernel<false, 1>,
                                   block_kernel<true, 1>,
                                   stream_dot_32,
                                   stream_squared_distance_32,
                                   avx2_code_dots,
                                   avx2_code_run,
                                   avx2_fast_dots,
                                   avx2_score_bounds,
                                   avx2_estimate_dots};
  return kernels;
}

}  // namespace tarnwick
#endif
