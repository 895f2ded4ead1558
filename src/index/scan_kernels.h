// Kernels that score a block of stored vectors against one query at once. Each
// lane keeps its own point's sum in index order, so every result is bit for bit
// the sum the scalar metrics compute.
#pragma once

#include <cstddef>

namespace tarnwick {

// Rows scored per kernel call. A partial block repeats one of its rows.
inline constexpr size_t SCAN_BLOCK = 32;

// out[r] = in-order sum over i of q[i] * rows[r][i]           (dot)
// out[r] = in-order sum over i of (q[i] - rows[r][i])^2        (squared_distance)
using BlockKernel = void (*)(const float* q, const float* const* rows, size_t dim, float* out);

// Rows scored by the small kernels, for the few rows a graph walk has at hand
// (two independent add chains: fewer rows would not be cheaper per call).
inline constexpr size_t SMALL_SCAN_BLOCK = 16;

struct ScanKernels {
  const char* name;
  BlockKernel dot;                 // SCAN_BLOCK rows
  BlockKernel squared_distance;    // SCAN_BLOCK rows
  BlockKernel small_dot;               // SMALL_SCAN_BLOCK rows
  BlockKernel small_squared_distance;  // SMALL_SCAN_BLOCK rows
};

// The portable reference kernels.
const ScanKernels& scalar_scan_kernels();
// The fastest kernels this processor runs, chosen once.
const ScanKernels& scan_kernels();

#if defined(TARNWICK_HAVE_AVX2)
const ScanKernels& avx2_scan_kernels();
#endif

}  // namespace tarnwick
