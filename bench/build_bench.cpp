// Builds a store from raw float32 vectors with upsert_batch and reports the
// processor time it took (for profiles of graph construction).
//
// Build: cmake -S . -B build/bench -DTARNWICK_BUILD_TESTS=ON && cmake --build build/bench --target build_bench
// Run:   RAYON_NUM_THREADS=1 build/bench/build_bench VECTORS.f32 DIM [COUNT] [SAVE_PATH]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <vector>

#include "persist/snapshot_file.h"
#include "storage/store.h"

using namespace tarnwick;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: build_bench VECTORS.f32 DIM [COUNT] [SAVE_PATH]\n");
    return 2;
  }
  const size_t dim = std::strtoul(argv[2], nullptr, 10);
  std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
  const size_t bytes = file.tellg();
  std::vector<float> data(bytes / sizeof(float));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(data.data()), bytes);
  size_t count = data.size() / dim;
  if (argc > 3) count = std::min<size_t>(count, std::strtoul(argv[3], nullptr, 10));
  std::vector<uint64_t> ids(count);
  std::vector<std::span<const float>> vectors(count);
  std::vector<std::unique_ptr<Payload>> payloads(count);
  for (size_t i = 0; i < count; ++i) {
    ids[i] = i;
    vectors[i] = std::span<const float>(data.data() + i * dim, dim);
  }
  Store store;
  timespec start, end, wall_start, wall_end;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
  clock_gettime(CLOCK_MONOTONIC, &wall_start);
  if (!upsert_batch(store, ids, vectors, payloads).ok()) return 1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
  clock_gettime(CLOCK_MONOTONIC, &wall_end);
  std::printf("%zu points: %.2f s of processor time, %.2f s wall\n", count,
              (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9,
              (wall_end.tv_sec - wall_start.tv_sec) + (wall_end.tv_nsec - wall_start.tv_nsec) * 1e-9);
  if (argc > 4 && !save_snapshot(store, argv[4]).ok()) return 1;
  return 0;
}
