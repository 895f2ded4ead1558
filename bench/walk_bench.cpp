// Graph search from C++ on a saved store: processor time per query, and how many points
// a query reads in full and how many it rejects from their codes. Runs the
// queries several rounds and keeps the best; run it twice, with and without
// TARNWICK_BOUNDS=off, to compare (the results' checksum must agree).
//
// Build: cmake -S . -B build/bench -DTARNWICK_BUILD_TESTS=ON && cmake --build build/bench --target walk_bench
// Run:   build/bench/walk_bench SNAPSHOT QUERIES.f32 DIM [metric] [ef...]   (ef 0: exact scan)
// QUERIES.f32 holds the queries as raw little-endian float32, DIM per query.
// With WALK_FAST=1 in the environment the queries take the fast walk
// (query_points with early_stop) instead of the default one; with
// WALK_TRUTH=FILE (the true 10 nearest ids of each query, uint64) it also
// prints recall@10. With WALK_WHERE_LT=KEY:N as well, the fast walk's queries
// carry the condition {KEY: {"$lt": N}} (N an integer).
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "index/layer_search.h"
#include "persist/snapshot_file.h"
#include "table/payload_filter.h"
#include "storage/search.h"
#include "storage/store.h"

using namespace tarnwick;

namespace {

// The calling thread's processor time: on a shared machine, time spent
// waiting for the processor does not count.
double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: walk_bench SNAPSHOT QUERIES.f32 DIM [metric] [ef...]\n");
    return 2;
  }
  Store store;
  if (Status loaded = load_snapshot(store, argv[1]); !loaded.ok()) {
    std::fprintf(stderr, "load failed\n");
    return 1;
  }
  const size_t dim = std::strtoul(argv[3], nullptr, 10);
  std::ifstream file(argv[2], std::ios::binary);
  std::vector<float> data((std::istreambuf_iterator<char>(file)), {});
  std::vector<float> queries;
  {
    std::ifstream again(argv[2], std::ios::binary | std::ios::ate);
    size_t bytes = again.tellg();
    queries.resize(bytes / sizeof(float));
    again.seekg(0);
    again.read(reinterpret_cast<char*>(queries.data()), bytes);
  }
  const size_t count = queries.size() / dim;
  Metric metric = argc > 4 ? *parse_metric(argv[4]) : Metric::Cosine;
  std::vector<uint64_t> efs;
  for (int i = 5; i < argc; ++i) efs.push_back(std::strtoull(argv[i], nullptr, 10));
  if (efs.empty()) efs = {10, 32, 128};
  const char* fast_env = std::getenv("WALK_FAST");
  const bool fast = fast_env != nullptr && std::strcmp(fast_env, "1") == 0;
  std::printf("%s walk, bounds %s, %zu queries, metric %s\n", fast ? "fast" : "default",
              bounds_enabled() ? "on" : "off", count, argc > 4 ? argv[4] : "cosine");
  Filter where;
  if (const char* where_env = std::getenv("WALK_WHERE_LT")) {
    const char* colon = std::strchr(where_env, ':');
    if (colon == nullptr) {
      std::fprintf(stderr, "WALK_WHERE_LT takes KEY:N\n");
      return 2;
    }
    FilterNode node;
    node.op = FilterOp::Lt;
    node.key.assign(where_env, colon);
    node.value_count = 1;
    where.nodes.push_back(node);
    where.values.push_back(PayloadValue::from_integer(std::atoll(colon + 1)));
    std::printf("where %s < %s\n", node.key.c_str(), colon + 1);
  }
  std::vector<uint64_t> truth;
  if (const char* truth_path = std::getenv("WALK_TRUTH")) {
    std::ifstream truth_file(truth_path, std::ios::binary | std::ios::ate);
    truth.resize(static_cast<size_t>(truth_file.tellg()) / sizeof(uint64_t));
    truth_file.seekg(0);
    truth_file.read(reinterpret_cast<char*>(truth.data()), truth.size() * sizeof(uint64_t));
  }
  for (uint64_t ef : efs) {
    if (ef != 0 && !set_ef_search(store, ef).ok()) return 1;
    double best = 1e30;
    uint64_t checksum = 0;
    WalkReads before = thread_walk_reads();
    SearchScope whole_store;
    whole_store.points = point_count(store);
    size_t hits = 0;
    for (int round = 0; round < 5; ++round) {
      checksum = 0;
      hits = 0;
      const double start = thread_seconds();
      for (size_t q = 0; q < count; ++q) {
        // ef 0 asks for the exact scan instead of the graph.
        std::span<const float> one(queries.data() + q * dim, dim);
        std::vector<ScoredPoint> found;
        if (ef == 0) {
          found = exact_search(store.points, one, 10, metric, whole_store);
        } else if (fast) {
          QueryRequest request;
          request.metric = metric;
          request.ef = ef;
          request.early_stop = true;
          if (!where.nodes.empty()) request.where = &where;
          found = query_points(store, one, request).points;
        } else {
          found = search_points(store, one, 10, metric, std::nullopt);
        }
        for (const ScoredPoint& p : found) {
          if (truth.size() >= (q + 1) * 10 &&
              std::find(truth.begin() + q * 10, truth.begin() + (q + 1) * 10, p.id) !=
                  truth.begin() + (q + 1) * 10) {
            ++hits;
          }
          uint32_t bits;
          std::memcpy(&bits, &p.score, 4);
          checksum = checksum * 1000003 + p.id * 31 + bits;
        }
      }
      const double seconds = thread_seconds() - start;
      best = std::min(best, seconds);
    }
    WalkReads after = thread_walk_reads();
    const double per = 5.0 * count;
    if (!truth.empty()) std::printf("recall@10 %.4f, ", hits / (10.0 * count));
    std::printf("ef %4llu: %.4f ms/query; per query %.1f expansions, %.1f read in full, %.1f rejected by code; checksum %016llx\n",
                static_cast<unsigned long long>(ef), 1000 * best / count,
                (after.expansions - before.expansions) / per,
                (after.full - before.full) / per, (after.coded - before.coded) / per,
                static_cast<unsigned long long>(checksum));
  }
  return 0;
}
