#include "index/scan_kernels.h"

#include <cstdlib>
#include <cstring>

namespace tarnwick {

namespace {

template <size_t Rows>
void scalar_dot(const float* q, const float* const* rows, size_t dim, float* out) {
  for (size_t r = 0; r < Rows; ++r) {
    float s = -0.0f;
    for (size_t i = 0; i < dim; ++i) s += q[i] * rows[r][i];
    out[r] = s;
  }
}

template <size_t Rows>
void scalar_squared_distance(const float* q, const float* const* rows, size_t dim, float* out) {
  for (size_t r = 0; r < Rows; ++r) {
    float s = -0.0f;
    for (size_t i = 0; i < dim; ++i) {
      float d = q[i] - rows[r][i];
      s += d * d;
    }
    out[r] = s;
  }
}

}  // namespace

const ScanKernels& scalar_scan_kernels() {
  static const ScanKernels kernels{"scalar", scalar_dot<SCAN_BLOCK>,
                                   scalar_squared_distance<SCAN_BLOCK>,
                                   scalar_dot<SMALL_SCAN_BLOCK>,
                                   scalar_squared_distance<SMALL_SCAN_BLOCK>};
  return kernels;
}

const ScanKernels& scan_kernels() {
  static const ScanKernels& chosen = [] () -> const ScanKernels& {
    // TARNWICK_SCAN_KERNELS=scalar forces the reference kernels (tests compare the two).
    const char* forced = std::getenv("TARNWICK_SCAN_KERNELS");
    if (forced != nullptr && std::strcmp(forced, "scalar") == 0) return scalar_scan_kernels();
#if defined(TARNWICK_HAVE_AVX2)
    if (__builtin_cpu_supports("avx2")) return avx2_scan_kernels();
#endif
    return scalar_scan_kernels();
  }();
  return chosen;
}

}  // namespace tarnwick
