// Kernels that score a block of stored vectors against one query at once. Each
// lane keeps its own point's sum in index order, so every result is bit for bit
// the sum the scalar metrics compute.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "index/code_kernels.h"

namespace tarnwick {

// Rows scored per kernel call. A partial block repeats one of its rows.
inline constexpr size_t SCAN_BLOCK = 32;

// out[r] = in-order sum over i of q[i] * rows[r][i]           (dot)
// out[r] = in-order sum over i of (q[i] - rows[r][i])^2        (squared_distance)
using BlockKernel = void (*)(const float* q, const float* const* rows, size_t dim, float* out);

// The SCAN_BLOCK kernels for a scan of rows that lie one after another in
// memory: as each line of a row is read, the line `ahead` bytes further on is
// requested, so the next block arrives while this one is scored (0: nothing is
// requested). The results are those of the plain kernels, bit for bit.
using StreamKernel = void (*)(const float* q, const float* const* rows, size_t dim, float* out,
                              size_t ahead);

// Rows scored by the small kernels, for the few rows a graph walk has at hand.
inline constexpr size_t SMALL_SCAN_BLOCK = 16;
// Rows scored by the tiny kernels, for what is left over: a tiny call takes
// about half the time of a small one, at the same time per row.
inline constexpr size_t TINY_SCAN_BLOCK = 8;

struct ScanKernels {
  const char* name;
  BlockKernel dot;                 // SCAN_BLOCK rows
  BlockKernel squared_distance;    // SCAN_BLOCK rows
  BlockKernel small_dot;               // SMALL_SCAN_BLOCK rows
  BlockKernel small_squared_distance;  // SMALL_SCAN_BLOCK rows
  BlockKernel tiny_dot;                // TINY_SCAN_BLOCK rows
  BlockKernel tiny_squared_distance;   // TINY_SCAN_BLOCK rows
  StreamKernel stream_dot;               // SCAN_BLOCK rows
  StreamKernel stream_squared_distance;  // SCAN_BLOCK rows
  CodeDotKernel code_dots;    // codes anywhere
  CodeRunKernel code_run;     // codes one after another
  FastDotKernel fast_dots;    // builds only: not the in-order sums
  ScoreBoundsKernel score_bounds;
  EstimateDotKernel estimate_dots;  // walks and builds by estimates only
};

// The portable reference kernels.
const ScanKernels& scalar_scan_kernels();
#if defined(TARNWICK_HAVE_AVX2)
const ScanKernels& avx2_scan_kernels();
#endif
#if defined(TARNWICK_HAVE_AVX512)
const ScanKernels& avx512_scan_kernels();
#endif

// The values TARNWICK_SCAN_KERNELS accepts: "auto" (the same as leaving it
// unset) picks the fastest kernels this processor runs; the others name one set.
inline constexpr std::array<std::string_view, 4> SCAN_KERNEL_SETTINGS = {"auto", "scalar", "avx2",
                                                                        "avx512"};

// The kernels a setting of TARNWICK_SCAN_KERNELS (null when unset) selects, or
// the text of why it selects none: a value outside SCAN_KERNEL_SETTINGS, or a
// set this processor or build cannot run.
struct ScanKernelChoice {
  const ScanKernels* kernels = nullptr;
  std::string failure;  // empty on success
};
ScanKernelChoice choose_scan_kernels(const char* setting);

// Every set this processor runs, the reference first, the automatic choice last.
std::vector<const ScanKernels*> runnable_scan_kernels();

// The kernels chosen once for the process from TARNWICK_SCAN_KERNELS; a setting
// that selects none leaves the automatic choice (the module refuses to load
// with one). With TARNWICK_SCAN_KERNELS_TRACE=1 the choice is reported on
// standard error as "tarnwick: scan kernels NAME". Whether the setting was
// usable is reported by scan_kernels_failure (index/metrics.h).
const ScanKernels& scan_kernels();

}  // namespace tarnwick
