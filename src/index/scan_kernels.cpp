#include "index/scan_kernels.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "index/metrics.h"

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

// The reference reads one row after another, which the processor's own
// prefetching follows: it requests nothing.
template <BlockKernel Kernel>
void without_requests(const float* q, const float* const* rows, size_t dim, float* out, size_t) {
  Kernel(q, rows, dim, out);
}

bool runs_avx2() {
#if defined(TARNWICK_HAVE_AVX2)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

// The AVX-512 set also holds AVX2 kernels (see scan_kernels_avx512.cpp).
bool runs_avx512() {
#if defined(TARNWICK_HAVE_AVX512)
  return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq");
#else
  return false;
#endif
}

// The set named `name`, when this processor and build run it.
const ScanKernels* runnable_set(std::string_view name) {
  if (name == "scalar") return &scalar_scan_kernels();
#if defined(TARNWICK_HAVE_AVX2)
  if (name == "avx2" && runs_avx2()) return &avx2_scan_kernels();
#endif
#if defined(TARNWICK_HAVE_AVX512)
  if (name == "avx512" && runs_avx512()) return &avx512_scan_kernels();
#endif
  return nullptr;
}

// The setting as it can be shown in a message: bytes outside printable ASCII
// as \xNN.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

// 'a', 'b', 'c': the settings accepted at all, or only those this processor runs.
std::string quoted_settings(bool runnable_only) {
  std::string out;
  for (std::string_view name : SCAN_KERNEL_SETTINGS) {
    if (runnable_only && name != "auto" && runnable_set(name) == nullptr) continue;
    if (!out.empty()) out += ", ";
    out += '\'';
    out += name;
    out += '\'';
  }
  return out;
}

// The choice made once for the process; its kernels are never null.
const ScanKernelChoice& process_choice() {
  static const ScanKernelChoice choice = [] {
    ScanKernelChoice chosen = choose_scan_kernels(std::getenv("TARNWICK_SCAN_KERNELS"));
    if (chosen.kernels == nullptr) {
      chosen.kernels = runnable_scan_kernels().back();
    } else if (const char* trace = std::getenv("TARNWICK_SCAN_KERNELS_TRACE");
               trace != nullptr && std::strcmp(trace, "1") == 0) {
      std::fprintf(stderr, "tarnwick: scan kernels %s\n", chosen.kernels->name);
    }
    return chosen;
  }();
  return choice;
}

}  // namespace

const ScanKernels& scalar_scan_kernels() {
  static const ScanKernels kernels{"scalar", scalar_dot<SCAN_BLOCK>,
                                   scalar_squared_distance<SCAN_BLOCK>,
                                   scalar_dot<SMALL_SCAN_BLOCK>,
                                   scalar_squared_distance<SMALL_SCAN_BLOCK>,
                                   scalar_dot<TINY_SCAN_BLOCK>,
                                   scalar_squared_distance<TINY_SCAN_BLOCK>,
                                   without_requests<scalar_dot<SCAN_BLOCK>>,
                                   without_requests<scalar_squared_distance<SCAN_BLOCK>>,
                                   scalar_code_dots,
                                   scalar_code_run,
                                   scalar_fast_dots,
                                   scalar_score_bounds,
                                   scalar_estimate_dots};
  return kernels;
}

std::vector<const ScanKernels*> runnable_scan_kernels() {
  std::vector<const ScanKernels*> sets;
  for (std::string_view name : SCAN_KERNEL_SETTINGS) {
    if (const ScanKernels* kernels = runnable_set(name)) sets.push_back(kernels);
  }
  return sets;
}

ScanKernelChoice choose_scan_kernels(const char* setting) {
  if (setting == nullptr || std::strcmp(setting, "auto") == 0) {
    return {runnable_scan_kernels().back(), {}};
  }
  std::string_view name = setting;
  bool known = false;
  for (std::string_view accepted : SCAN_KERNEL_SETTINGS) known = known || name == accepted;
  std::string failure = "TARNWICK_SCAN_KERNELS";
  if (!known) {
    failure += " must be one of ";
    failure += quoted_settings(false);
    failure += ", not '";
    failure += printable(name);
    failure += '\'';
    return {nullptr, failure};
  }
  if (const ScanKernels* kernels = runnable_set(name)) return {kernels, {}};
  failure += "='";
  failure += name;
  failure += "' names kernels this processor cannot run; it runs ";
  failure += quoted_settings(true);
  return {nullptr, failure};
}

const ScanKernels& scan_kernels() { return *process_choice().kernels; }

const std::string& scan_kernels_failure() { return process_choice().failure; }

}  // namespace tarnwick
