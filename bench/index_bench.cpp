// Payload index costs: memory per point per indexed key for value shapes from
// few distinct values to all distinct, the time a put and a removal spend
// keeping the index, and the time to estimate and list a filter's candidates.
// Usage: index_bench [points]   (Linux/glibc: memory from mallinfo2)
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "table/payload_filter.h"
#include "table/point_table.h"

using namespace tarnwick;

namespace {

size_t heap_bytes() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

enum class Shape { FewIntegers, FewKeywords, DistinctIntegers, DistinctFloats };
const char* const SHAPE_NAMES[] = {"integers, 100 distinct", "keywords, 100 distinct",
                                   "integers, all distinct", "floats, all distinct"};

PayloadValue value_of(Shape shape, size_t i, std::mt19937_64& rng) {
  switch (shape) {
    case Shape::FewIntegers: return PayloadValue::from_integer(static_cast<int64_t>(rng() % 100));
    case Shape::FewKeywords: return PayloadValue::from_text("category-" + std::to_string(rng() % 100));
    case Shape::DistinctIntegers: return PayloadValue::from_integer(static_cast<int64_t>(i));
    default: return PayloadValue::from_float(static_cast<double>(rng()) / 1e12);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const float vector[4] = {1.0f, 2.0f, 3.0f, 4.0f};
  std::printf("points: %zu; memory is the heap the index frees when dropped\n", points);
  std::printf("%-26s %14s %12s %12s\n", "values", "bytes/point", "put us", "remove us");
  for (int s = 0; s < 4; ++s) {
    const Shape shape = static_cast<Shape>(s);
    std::mt19937_64 rng(7);
    std::vector<std::unique_ptr<Payload>> payloads;
    for (size_t i = 0; i < points; ++i) {
      payloads.push_back(std::make_unique<Payload>(make_payload({{"k", value_of(shape, i, rng)}})));
    }
    // Puts with and without a payload: the difference is the index's upkeep.
    PointTable bare;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < points; ++i) put_point_by_id(bare, i, vector, 1.0f, nullptr);
    const double bare_put = seconds_since(start);
    PointTable table;
    start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < points; ++i) put_point_by_id(table, i, vector, 1.0f, std::move(payloads[i]));
    const double indexed_put = seconds_since(start);

    const size_t before = heap_bytes();
    PayloadIndex index = std::move(table.payload_index);
    table.payload_index = PayloadIndex{};
    index = PayloadIndex{};
    const size_t index_bytes = before - heap_bytes();
    rebuild_tenants(table);  // the index back, as a load makes it

    // Removals of every other point, with and without payloads.
    start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < points; i += 2) remove_record(bare, find_slot(bare, i));
    const double bare_remove = seconds_since(start);
    start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < points; i += 2) remove_record(table, find_slot(table, i));
    const double indexed_remove = seconds_since(start);
    std::printf("%-26s %14.1f %12.3f %12.3f\n", SHAPE_NAMES[s], static_cast<double>(index_bytes) / points,
                (indexed_put - bare_put) / points * 1e6, (indexed_remove - bare_remove) / (points / 2) * 1e6);
  }

  // Estimate and candidates of a 1% range and a 1% equality on distinct
  // integers and 100 keywords.
  PointTable table;
  std::mt19937_64 rng(9);
  for (size_t i = 0; i < points; ++i) {
    put_point_by_id(table, i, vector, 1.0f,
                    std::make_unique<Payload>(make_payload(
                        {{"n", PayloadValue::from_integer(static_cast<int64_t>(i))},
                         {"tag", PayloadValue::from_text("category-" + std::to_string(rng() % 100))}})));
  }
  for (int which = 0; which < 2; ++which) {
    Filter filter;
    FilterNode& node = filter.nodes.emplace_back();
    node.op = which == 0 ? FilterOp::Lt : FilterOp::Eq;
    node.key = which == 0 ? "n" : "tag";
    node.value_count = 1;
    filter.values.push_back(which == 0 ? PayloadValue::from_integer(static_cast<int64_t>(points / 100))
                                       : PayloadValue::from_text("category-5"));
    const int repeats = 200;
    std::vector<uint32_t> candidates;
    size_t count = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeats; ++r) {
      CompiledFilter compiled = compile_filter(filter, table);
      count = estimate_matches(compiled, table, points / 20).count;
      filter_candidates(compiled, table, points / 20, candidates);
    }
    std::printf("%s: %zu matches, compile + estimate + candidates %.1f us\n",
                which == 0 ? "n < 1% of points" : "tag == one of 100", count,
                seconds_since(start) / repeats * 1e6);
  }
  return 0;
}
