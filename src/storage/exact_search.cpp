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

  // Scores the 64 consecutive slots from `first`, all in the rows.
  StreamKernel wide = metric == Metric::Euclidean ? kernels.stream_squared_distance : kernels.stream_dot;
  const size_t block_bytes = SCAN_BLOCK * dim * sizeof(float);
  auto scan_run = [&](uint32_t first) {
    const float* rows[SCAN_BLOCK];
    float run_sums[SCAN_BLOCK];
    for (uint32_t start = first; start < first + 64; start += SCAN_BLOCK) {
      for (size_t r = 0; r < SCAN_BLOCK; ++r) rows[r] = row_of(points.rows, start + static_cast<uint32_t>(r));
      // The kernel reads its rows side by side, which the processor's own
      // prefetching does not follow: the next block is requested line by line
      // as the kernel reads this one, when it lies in the same chunk of rows
      // (a block never spans two chunks), else whole, now.
      const uint32_t ahead_slot = start + SCAN_BLOCK;
      const size_t chunk = ahead_slot / ROW_CHUNK_SLOTS;
      size_t ahead = 0;
      if (chunk == start / ROW_CHUNK_SLOTS) {
        ahead = static_cast<size_t>(reinterpret_cast<const char*>(row_of(points.rows, ahead_slot)) -
                                    reinterpret_cast<const char*>(rows[0]));
      } else if (chunk < points.rows.chunks.size() && points.rows.chunks[chunk]) {
        const char* next = reinterpret_cast<const char*>(row_of(points.rows, ahead_slot));
        for (size_t offset = 0; offset < block_bytes; offset += 64) __builtin_prefetch(next + offset);
      }
      wide(query.data(), rows, dim, run_sums, ahead);
      for (size_t r = 0; r < SCAN_BLOCK; ++r) {
        const uint32_t slot = start + static_cast<uint32_t>(r);
        float score = run_sums[r];
        if (metric == Metric::Euclidean) {
          score = std::sqrt(score);
        } else if (metric == Metric::Cosine) {
          const float norm = points.norms[slot];
          if (norm == 0.0f) continue;  // zero magnitude: left out
          score = cosine_from_norms(score, query_norm, norm);
        }
        if (selector.could_enter(score, slot)) selector.offer(score, slot);
      }
    }
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
    const bool query_in_rows = dim != 0 && dim == points.rows.dim;
    for (uint32_t first = 0; first < slots; first += 64) {
      const size_t word = first / 64;
      // 64 slots in a row whose vectors all lie in the rows, of the query's
      // length: they are consecutive in memory and are streamed through the
      // wide kernel without a look at their headers.
      if (query_in_rows && first + 64 <= slots && points.record_bits.words[word] == ~uint64_t{0} &&
          points.row_bits.words[word] == ~uint64_t{0}) {
        if (block.filled > 0) score_block();
        scan_run(first);
        continue;
      }
      for (uint32_t slot_number = first; slot_number < std::min(slots, first + 64); ++slot_number) {
        consider(slot_number);
      }
    }
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
