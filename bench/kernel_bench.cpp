// Throughput of each scan kernel set this processor runs: nanoseconds per
// scored row, the best of many timed rounds, the sets taking turns within each
// round so that a busy machine slows them alike.
//
// Build: cmake -S . -B build/bench -DTARNWICK_BUILD_TESTS=ON && cmake --build build/bench --target kernel_bench
// Run:   build/bench/kernel_bench [dim...]        (default 100 128 384)
// The rows come from a pool of 32 vectors that stays in the first-level or
// second-level cache: this measures the kernels, not the memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "index/scan_kernels.h"

using namespace tarnwick;

namespace {

constexpr size_t POOL_ROWS = 32;
constexpr size_t ROWS_PER_ROUND = 16384;
constexpr int ROUNDS = 41;

struct Kernel {
  const char* name;
  size_t rows;
  BlockKernel ScanKernels::*kernel;
};

constexpr Kernel KERNELS[] = {
    {"small_dot", SMALL_SCAN_BLOCK, &ScanKernels::small_dot},
    {"small_squared_distance", SMALL_SCAN_BLOCK, &ScanKernels::small_squared_distance},
    {"tiny_dot", TINY_SCAN_BLOCK, &ScanKernels::tiny_dot},
    {"tiny_squared_distance", TINY_SCAN_BLOCK, &ScanKernels::tiny_squared_distance},
    {"dot", SCAN_BLOCK, &ScanKernels::dot},
    {"squared_distance", SCAN_BLOCK, &ScanKernels::squared_distance},
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> dims;
  for (int i = 1; i < argc; ++i) dims.push_back(std::strtoul(argv[i], nullptr, 10));
  if (dims.empty()) dims = {100, 128, 384};
  std::vector<const ScanKernels*> sets = runnable_scan_kernels();

  double load = 0.0;
  getloadavg(&load, 1);
  std::printf("ns per row, best of %d rounds of %zu rows; load average %.2f at start\n%-24s %5s",
              ROUNDS, ROWS_PER_ROUND, load, "kernel", "dim");
  for (const ScanKernels* set : sets) std::printf(" %9s", set->name);
  std::printf("\n");

  std::mt19937 gen(1);
  std::normal_distribution<float> normal;
  float sink = 0.0f;
  for (size_t dim : dims) {
    std::vector<float> pool(POOL_ROWS * dim), q(dim);
    for (float& x : pool) x = normal(gen);
    for (float& x : q) x = normal(gen);
    std::vector<const float*> rows(ROWS_PER_ROUND);
    for (const float*& row : rows) row = pool.data() + gen() % POOL_ROWS * dim;
    std::vector<float> out(ROWS_PER_ROUND);

    for (const Kernel& kernel : KERNELS) {
      std::vector<double> best(sets.size(), 1e300);
      for (int round = 0; round < ROUNDS; ++round) {
        for (size_t s = 0; s < sets.size(); ++s) {
          BlockKernel run = sets[s]->*kernel.kernel;
          auto start = std::chrono::steady_clock::now();
          for (size_t r = 0; r < ROWS_PER_ROUND; r += kernel.rows) {
            run(q.data(), rows.data() + r, dim, out.data() + r);
          }
          std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
          best[s] = std::min(best[s], took.count() / ROWS_PER_ROUND);
          sink += out[gen() % ROWS_PER_ROUND];
        }
      }
      std::printf("%-24s %5zu", kernel.name, dim);
      for (double ns : best) std::printf(" %9.2f", ns);
      std::printf("\n");
    }
  }
  return sink == 12345.0f ? 1 : 0;  // keeps the results alive
}
