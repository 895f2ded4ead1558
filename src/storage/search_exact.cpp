// The exact scan: every point in scope of the query's length is scored, runs
// of rows through the wide streaming kernels, other points sixteen at a time
// through the block kernels. Equal scores rank by slot, whatever order the
// points are visited in.
#include <algorithm>
#include <cmath>
#include <functional>

#include "index/code_bound_runs.h"
#include "index/code_bounds.h"
#include "index/layer_search.h"
#include "index/scan_kernels.h"
#include "storage/result_selector.h"
#include "storage/search.h"
#include "util/prefetch.h"

namespace tarnwick {

namespace {

// A row's lines are requested all at once when it joins a block: the kernel
// then reads the block's rows side by side, a few bytes of each at a time, and
// finds them arriving in parallel instead of one stream after another.
constexpr size_t PREFETCH_BYTES_PER_ROW = 2048;

void prefetch_row(const float* data, size_t dim) {
  const char* bytes = reinterpret_cast<const char*>(data);
  size_t size = std::min<size_t>(dim * sizeof(float), PREFETCH_BYTES_PER_ROW);
  for (size_t offset = 0; offset < size; offset += 64) prefetch_line(bytes + offset);
}

struct ScanBlock {
  const float* vectors[SMALL_SCAN_BLOCK];
  uint32_t slots[SMALL_SCAN_BLOCK];
  float vector_norms[SMALL_SCAN_BLOCK];
  size_t filled = 0;
};

static_assert(ROW_RUN_SLOTS % SCAN_BLOCK == 0, "a run is scored in whole blocks");
static_assert(ROW_RUN_SLOTS == 64, "a run's codes are bounded 64 at a time");

// The first pass over the codes: keeps a point only while its best possible
// score can still be among the best `limit`. `floor` is the `limit`-th best
// proved score so far (the worst a kept point can have): at least `limit`
// points score at least as well, so a point whose best possible score is
// strictly worse can never be returned. Equal scores are kept, since ties
// rank by slot.
class CodeFilter {
 public:
  CodeFilter(size_t limit, bool larger_is_better) : limit_(limit), larger_(larger_is_better) {}

  // A point whose score is proved to lie in `bounds`.
  void offer(uint32_t slot, FloatInterval bounds) {
    const float best = larger_ ? bounds.high : -bounds.low;
    if (best < floor_) return;  // the floor is -inf until `limit` points are proved
    kept_.push_back({slot, best});
    const float worst = larger_ ? bounds.low : -bounds.high;
    if (worst > floor_ || !full()) raise_floor(worst);
  }

  // A point scored exactly: its score bounds the floor as well.
  void offer_exact(float score) {
    if (std::isnan(score)) return;
    raise_floor(larger_ ? score : -score);
  }

  // The kept slots that can still be returned, in slot order.
  void survivors(std::vector<uint32_t>& out) const {
    out.clear();
    for (const Kept& k : kept_) {
      if (!full() || k.best >= floor_) out.push_back(k.slot);
    }
  }

 private:
  struct Kept {
    uint32_t slot;
    float best;
  };
  bool full() const { return lows_.size() >= limit_; }
  void raise_floor(float worst) {
    if (!full()) {
      lows_.push_back(worst);
      std::push_heap(lows_.begin(), lows_.end(), std::greater<float>());
    } else if (worst > lows_.front()) {
      std::pop_heap(lows_.begin(), lows_.end(), std::greater<float>());
      lows_.back() = worst;
      std::push_heap(lows_.begin(), lows_.end(), std::greater<float>());
    } else {
      return;
    }
    if (full()) floor_ = lows_.front();
  }

  size_t limit_;
  bool larger_;
  float floor_ = -INFINITY;
  std::vector<float> lows_;  // min-heap of the best `limit` proved worst scores
  std::vector<Kept> kept_;
};

// Calls on_slot(const ScanSlot&) for every record of length `dim` in a scope
// with a condition or a list of candidates: from the shortest list that holds
// the scope (the candidates, the tenant's members, or every slot), each
// tested for the tenant and the condition.
template <typename OnSlot>
void scan_scope(const PointTable& points, const SearchScope& scope, size_t dim, OnSlot&& on_slot) {
  auto offer = [&](uint32_t slot) {
    if (!has_record(points, slot) || slot_dim(points, slot) != dim) return;
    if (scope.tenant != NO_TENANT && slot_tenant(points, slot) != scope.tenant) return;
    if (scope.condition && !scope.candidates_match && !(*scope.condition)(slot)) return;
    on_slot(scan_slot(points, slot));
  };
  std::span<const uint32_t> list;
  bool listed = false;
  if (scope.candidates) {
    list = *scope.candidates;
    listed = true;
  }
  if (scope.tenant != NO_TENANT) {
    std::span<const uint32_t> members = tenant_members(points, scope.tenant);
    if (!listed || members.size() < list.size()) list = members;
    listed = true;
  }
  if (listed) {
    for (uint32_t slot : list) {
      if (slot < slot_count(points)) offer(slot);
    }
    return;
  }
  const uint32_t slots = static_cast<uint32_t>(slot_count(points));
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (has_record(points, slot)) offer(slot);
  }
}

}  // namespace

std::vector<ScoredSlotPoint> exact_search_slots(const PointTable& points,
                                                std::span<const float> query, uint64_t limit,
                                                Metric metric, const SearchScope& scope) {
  if (limit == 0 || scope.points == 0) return {};

  float query_norm = 0.0f;
  if (metric == Metric::Cosine) {
    query_norm = std::sqrt(squared_norm(query));
    if (query_norm == 0.0f) return {};  // a zero query cannot be normalised against anything
  }

  const ScanKernels& kernels = scan_kernels();
  BlockKernel kernel = metric == Metric::Euclidean ? kernels.small_squared_distance : kernels.small_dot;
  ResultSelector selector(std::min<uint64_t>(limit, scope.points), metric != Metric::Euclidean);
  const size_t dim = query.size();
  ScanBlock block;
  float sums[SMALL_SCAN_BLOCK];

  auto score_block = [&] {
    for (size_t r = block.filled; r < SMALL_SCAN_BLOCK; ++r) {
      block.vectors[r] = block.vectors[0];
      block.vector_norms[r] = block.vector_norms[0];
    }
    kernel(query.data(), block.vectors, dim, sums);
    // Whole-block loops, so that the compiler can vectorise them.
    if (metric == Metric::Euclidean) {
      for (size_t r = 0; r < SMALL_SCAN_BLOCK; ++r) sums[r] = std::sqrt(sums[r]);
    } else if (metric == Metric::Cosine) {
      for (size_t r = 0; r < SMALL_SCAN_BLOCK; ++r) {
        sums[r] = cosine_from_norms(sums[r], query_norm, block.vector_norms[r]);
      }
    }
    for (size_t r = 0; r < block.filled; ++r) {
      if (selector.could_enter(sums[r], block.slots[r])) selector.offer(sums[r], block.slots[r]);
    }
    block.filled = 0;
  };

  auto consider = [&](const ScanSlot& point) {
    if (metric == Metric::Cosine && point.norm == 0.0f) return;  // zero magnitude: left out
    prefetch_row(point.vector, dim);
    block.vectors[block.filled] = point.vector;
    block.slots[block.filled] = point.slot;
    block.vector_norms[block.filled] = point.norm;
    if (++block.filled == SMALL_SCAN_BLOCK) score_block();
  };

  // A run's rows lie one after another: they are scored SCAN_BLOCK at a time
  // by the streaming kernel, which does not need the headers.
  StreamKernel wide = metric == Metric::Euclidean ? kernels.stream_squared_distance : kernels.stream_dot;
  const size_t block_bytes = SCAN_BLOCK * dim * sizeof(float);
  auto scan_run = [&](const RowRun& run) {
    if (block.filled > 0) score_block();
    const float* rows[SCAN_BLOCK];
    float run_sums[SCAN_BLOCK];
    for (uint32_t offset = 0; offset < ROW_RUN_SLOTS; offset += SCAN_BLOCK) {
      const uint32_t start = run.first_slot + offset;
      for (size_t r = 0; r < SCAN_BLOCK; ++r) rows[r] = run.first_row + (offset + r) * dim;
      // The kernel reads its rows side by side, which the processor's own
      // prefetching does not follow: the next block is requested line by line
      // as the kernel reads this one when it follows in memory, else whole, now.
      size_t ahead = 0;
      if (offset + SCAN_BLOCK < ROW_RUN_SLOTS || run.next_follows) {
        ahead = block_bytes;
      } else if (run.next_rows != nullptr) {
        const char* next = reinterpret_cast<const char*>(run.next_rows);
        for (size_t byte = 0; byte < block_bytes; byte += 64) prefetch_line(next + byte);
      }
      wide(query.data(), rows, dim, run_sums, ahead);
      for (size_t r = 0; r < SCAN_BLOCK; ++r) {
        const uint32_t slot = start + static_cast<uint32_t>(r);
        float score = run_sums[r];
        if (metric == Metric::Euclidean) {
          score = std::sqrt(score);
        } else if (metric == Metric::Cosine) {
          const float norm = run.row_norms[offset + r];
          if (norm == 0.0f) continue;  // zero magnitude: left out
          score = cosine_from_norms(score, query_norm, norm);
        }
        if (selector.could_enter(score, slot)) selector.offer(score, slot);
      }
    }
  };

  // Two passes when the codes can decide: the first bounds every coded point
  // from its code and keeps those that can still be among the best; only
  // those, and the points without a code, are scored from their vectors.
  CodeQuery& code_query = thread_walk_scratch().code_query;
  const bool by_codes = scope.whole_table() && bounds_enabled() && code_bytes(points) != 0 &&
                        limit < scope.points &&
                        (prepare_code_query(query, code_query), code_query.usable);
  if (by_codes) {
    CodeFilter filter(static_cast<size_t>(limit), metric != Metric::Euclidean);
    const BoundedScore bounded = metric == Metric::DotProduct ? BoundedScore::Dot
                                 : metric == Metric::Cosine   ? BoundedScore::Cosine
                                                              : BoundedScore::Euclidean;
    int32_t level_dots[ROW_RUN_SLOTS];
    CodeMeta run_metas[ROW_RUN_SLOTS];
    float lows[ROW_RUN_SLOTS], highs[ROW_RUN_SLOTS];
    auto bound_run = [&](const RowRun& run) {
      if (run.first_code == nullptr) {
        for (uint32_t r = 0; r < ROW_RUN_SLOTS; ++r) {
          filter.offer(run.first_slot + r, FloatInterval{-INFINITY, INFINITY});
        }
        return;
      }
      kernels.code_run(code_query.levels.data(), run.first_code, ROW_RUN_SLOTS, run.code_stride,
                       level_dots);
      kernels.score_bounds(bounded, code_query, run_code_metas(points, run.first_slot, run_metas),
                           level_dots, ROW_RUN_SLOTS, query_norm, lows, highs);
      for (uint32_t r = 0; r < ROW_RUN_SLOTS; ++r) {
        // A zero magnitude under cosine is left out.
        if (metric == Metric::Cosine && run.row_norms[r] == 0.0f) continue;
        filter.offer(run.first_slot + r, FloatInterval{lows[r], highs[r]});
      }
    };
    auto bound_slot = [&](const ScanSlot& point) {
      if (metric == Metric::Cosine && point.norm == 0.0f) return;  // zero magnitude: left out
      if (point.code == nullptr) {
        filter.offer(point.slot, FloatInterval{-INFINITY, INFINITY});
        return;
      }
      kernels.code_dots(code_query.levels.data(), &point.code, 1, code_bytes(points), level_dots);
      kernels.score_bounds(bounded, code_query, point.code_meta, level_dots, 1, query_norm, lows,
                           highs);
      filter.offer(point.slot, FloatInterval{lows[0], highs[0]});
    };
    scan_records(points, dim, bound_run, bound_slot);
    std::vector<uint32_t>& survivors = thread_walk_scratch().batch_slots;
    filter.survivors(survivors);
    for (uint32_t slot : survivors) consider(scan_slot(points, slot));
  } else if (scope.whole_table()) {
    scan_records(points, dim, scan_run, consider);
  } else if (!scope.condition && !scope.candidates) {
    scan_tenant_records(points, scope.tenant, dim, consider);
  } else {
    scan_scope(points, scope, dim, consider);
  }
  if (block.filled > 0) score_block();

  std::vector<ScoredSlot> best = selector.take_sorted();
  std::vector<ScoredSlotPoint> results;
  results.reserve(best.size());
  for (const ScoredSlot& entry : best) results.push_back(ScoredSlotPoint{entry.score, entry.seq});
  return results;
}

std::vector<ScoredPoint> exact_search(const PointTable& points, std::span<const float> query,
                                      uint64_t limit, Metric metric, const SearchScope& scope) {
  std::vector<ScoredSlotPoint> best = exact_search_slots(points, query, limit, metric, scope);
  std::vector<ScoredPoint> results;
  results.reserve(best.size());
  for (const ScoredSlotPoint& entry : best) {
    results.push_back(ScoredPoint{record_id(points, entry.slot), entry.score});
  }
  return results;
}

}  // namespace tarnwick
