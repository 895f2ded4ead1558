// AVX2 block kernels: eight points per register, the rows transposed in
// registers so that each lane adds its own point's terms in index order. Only
// separate multiplies and adds are used (no fused multiply-add).
#include "index/scan_kernels.h"

#if defined(TARNWICK_HAVE_AVX2)
#include <immintrin.h>

namespace tarnwick {

namespace {

// Transposes components [k, k+8) of eight rows into eight registers: col[j]
// holds component k+j of rows 0..7.
inline void load_columns(const float* const* rows, size_t k, __m256 col[8]) {
  __m256 t[8];
  for (int r = 0; r < 4; ++r) {
    // Low half from row r, high half from row r+4.
    t[r] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[r] + k)),
                                _mm_loadu_ps(rows[r + 4] + k), 1);
    t[r + 4] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[r] + k + 4)),
                                    _mm_loadu_ps(rows[r + 4] + k + 4), 1);
  }
  for (int half = 0; half < 2; ++half) {
    __m256* in = t + 4 * half;
    __m256 a = _mm256_unpacklo_ps(in[0], in[1]);
    __m256 b = _mm256_unpackhi_ps(in[0], in[1]);
    __m256 c = _mm256_unpacklo_ps(in[2], in[3]);
    __m256 d = _mm256_unpackhi_ps(in[2], in[3]);
    col[4 * half + 0] = _mm256_shuffle_ps(a, c, _MM_SHUFFLE(1, 0, 1, 0));
    col[4 * half + 1] = _mm256_shuffle_ps(a, c, _MM_SHUFFLE(3, 2, 3, 2));
    col[4 * half + 2] = _mm256_shuffle_ps(b, d, _MM_SHUFFLE(1, 0, 1, 0));
    col[4 * half + 3] = _mm256_shuffle_ps(b, d, _MM_SHUFFLE(3, 2, 3, 2));
  }
}

template <bool SquaredDistance>
inline __m256 term(__m256 query, __m256 column) {
  if constexpr (SquaredDistance) {
    __m256 d = _mm256_sub_ps(query, column);
    return _mm256_mul_ps(d, d);
  } else {
    return _mm256_mul_ps(query, column);
  }
}

// Scores 8 * Groups rows; the groups keep independent add chains in flight.
template <bool SquaredDistance, int Groups>
void block_kernel(const float* q, const float* const* rows, size_t dim, float* out) {
  __m256 acc[Groups];
  for (int g = 0; g < Groups; ++g) acc[g] = _mm256_set1_ps(-0.0f);
  size_t k = 0;
  for (; k + 8 <= dim; k += 8) {
    __m256 col[Groups][8];
    for (int g = 0; g < Groups; ++g) load_columns(rows + 8 * g, k, col[g]);
    for (int j = 0; j < 8; ++j) {
      __m256 query = _mm256_broadcast_ss(q + k + j);
      for (int g = 0; g < Groups; ++g) {
        acc[g] = _mm256_add_ps(acc[g], term<SquaredDistance>(query, col[g][j]));
      }
    }
  }
  for (int g = 0; g < Groups; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
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

}  // namespace

const ScanKernels& avx2_scan_kernels() {
  static const ScanKernels kernels{"avx2", block_kernel<false, SCAN_BLOCK / 8>,
                                   block_kernel<true, SCAN_BLOCK / 8>,
                                   block_kernel<false, SMALL_SCAN_BLOCK / 8>,
                                   block_kernel<true, SMALL_SCAN_BLOCK / 8>};
  return kernels;
}

}  // namespace tarnwick
#endif
