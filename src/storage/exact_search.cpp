// The exact scan: every point of the query's length is scored, sixteen at a
// time through the block kernels. Equal scores rank by slot, whatever order
// the points are visited in.
#include <algorithm>
#include <cmath>

#include "index/scan_kernels.h"
#include "storage/result_selector.h"
#include "storage/store.h"

namespace tarnwick {

namespace {

// A row's lines are requested all at once when it joins a block: the kernel
// then reads the block's rows side by side, a few bytes of each at a time, and
// finds them arriving in parallel instead of one stream after another.
constexpr size_t PREFETCH_BYTES_PER_ROW = 2048;

void prefetch_row(const float* data, uint32_t dim) {
  const char* bytes = reinterpret_cast<const char*>(data);
  size_t size = std::min<size_t>(size_t{dim} * sizeof(float), PREFETCH_BYTES_PER_ROW);
  for (size_t offset = 0; offset < size; offset += 64) __builtin_prefetch(bytes + offset);
}

struct ScanBlock {
  const float* rows[SMALL_SCAN_BLOCK];
  uint32_t slots[SMALL_SCAN_BLOCK];
  float norms[SMALL_SCAN_BLOCK];
  size_t filled = 0;
};

}  // namespace

std::vector<ScoredPoint> exact_search(const PointTable& points, std::span<const float> query,
                                      uint64_t limit, Metric metric,
                                      std::optional<std::string_view> tenant) {
  std::span<const uint32_t> tenant_slots;
  if (tenant) {
    uint32_t code = find_tenant(points, *tenant);
    if (code == NO_TENANT) return {};
    tenant_slots = tenant_members(points, code);
  }
  size_t candidates = tenant ? tenant_slots.size() : points.record_count;
  if (limit == 0 || candidates == 0) return {};

  float query_norm = 0.0f;
  if (metric == Metric::Cosine) {
    query_norm = std::sqrt(squared_norm(query));
    if (query_norm == 0.0f) return {};  // a zero query cannot be normalised against anything
  }

  const ScanKernels& kernels = scan_kernels();
  BlockKernel kernel = metric == Metric::Euclidean ? kernels.small_squared_distance : kernels.small_dot;
  ResultSelector selector(std::min<uint64_t>(limit, candidates), metric != Metric::Euclidean);
  const size_t dim = query.size();
  ScanBlock block;
  float sums[SMALL_SCAN_BLOCK];

  auto score_block = [&] {
    for (size_t r = block.filled; r < SMALL_SCAN_BLOCK; ++r) {
      block.rows[r] = block.rows[0];
      block.norms[r] = block.norms[0];
    }
    kernel(query.data(), block.rows, dim, sums);
    // Whole-block loops, so that the compiler can vectorise them.
    if (metric == Metric::Euclidean) {
      for (size_t r = 0; r < SMALL_SCAN_BLOCK; ++r) sums[r] = std::sqrt(sums[r]);
    } else if (metric == Metric::Cosine) {
      for (size_t r = 0; r < SMALL_SCAN_BLOCK; ++r) {
        sums[r] = cosine_from_norms(sums[r], query_norm, block.norms[r]);
      }
    }
    for (size_t r = 0; r < block.filled; ++r) {
      if (selector.could_enter(sums[r], block.slots[r])) selector.offer(sums[r], block.slots[r]);
    }
    block.filled = 0;
  };

  auto consider = [&](uint32_t slot_number) {
    const SlotHeader& header = points.headers[slot_number];
    if (!(header.flags & HAS_RECORD) || header.dim != dim) return;
    const float norm = points.norms[slot_number];
    if (metric == Metric::Cosine && norm == 0.0f) return;  // zero magnitude: left out
    const float* data = vector_data(points, slot_number);
    prefetch_row(data, header.dim);
    block.rows[block.filled] = data;
    block.slots[block.filled] = slot_number;
    block.norms[block.filled] = norm;
    if (++block.filled == SMALL_SCAN_BLOCK) score_block();
  };

  if (tenant) {
    for (uint32_t slot_number : tenant_slots) consider(slot_number);
  } else {
    const uint32_t slots = static_cast<uint32_t>(slot_count(points));
    for (uint32_t slot_number = 0; slot_number < slots; ++slot_number) consider(slot_number);
  }
  if (block.filled > 0) score_block();

  std::vector<ScoredSlot> best = selector.take_sorted();
  std::vector<ScoredPoint> results;
  results.reserve(best.size());
  for (const ScoredSlot& entry : best) {
    results.push_back(ScoredPoint{record_id(points, entry.seq), entry.score});
  }
  return results;
}

}  // namespace tarnwick
