// The fast walk, navigating by code estimates.
#include "index/fast_walk.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "index/walk_memory.h"

namespace tarnwick {

using namespace walk_detail;

namespace {

// The fast walk's heaps hold each pair as one integer: its distance's order
// bits above the order in which it was reached, so that a comparison of keys
// is a comparison of distances, ties broken by reach order. The slots are
// kept by reach order beside them.
struct FastWalkScratch {
  std::vector<uint64_t> candidates;  // min-heap
  std::vector<uint64_t> kept;        // max-heap
  std::vector<uint64_t> nearest_reached;  // max-heap
  std::vector<uint64_t> passed_by;        // kept aside until the beam ends
  std::vector<uint32_t> reached_slots;
};

// Not inlined: the beam keeps the address it returns in a register, where
// an inlined lookup of a thread-local from a shared object would be redone,
// a call each, wherever the compiler needs the address again.
[[gnu::noinline]] FastWalkScratch& thread_fast_walk_scratch() {
  thread_local FastWalkScratch scratch;
  return scratch;
}

// A distance's place in the walk's order as an unsigned integer: larger
// distances give larger keys, both zeros the same key, and a distance that is
// not a number sorts after every number (as order_key has it).
inline uint32_t distance_order_bits(float distance) {
  float value = std::isnan(distance) ? std::numeric_limits<float>::infinity() : distance + 0.0f;
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

inline uint64_t walk_order_key(float distance, uint32_t seq) {
  return (uint64_t{distance_order_bits(distance)} << 32) | seq;
}

// The distance a key was made from (a NaN comes back as infinity).
inline float walk_key_distance(uint64_t key) {
  uint32_t bits = static_cast<uint32_t>(key >> 32);
  bits = (bits & 0x80000000u) != 0 ? bits & 0x7FFFFFFFu : ~bits;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Codes estimated per kernel call.
constexpr size_t ESTIMATE_BATCH = 32;

// A coded point's distance, estimated: its code stands for offset + scale *
// code[i] per component and the prepared query for step * levels[i], so the
// dot is offset * sum(q) + scale * step * (levels . code) up to the
// quantisation error of both sides; the measures follow from it and the norms.
inline float estimate_distance(const FastWalkQuery& query, const CodeMeta& meta,
                               int32_t level_dot) {
  const double dot = estimated_dot(*query.estimates, meta.offset, meta.scale, level_dot);
  switch (query.exact.measure) {
    case WalkMeasure::Cosine: {
      const double norms = static_cast<double>(query.exact.norm) * meta.norm;
      return norms > 0.0 ? static_cast<float>(1.0 - dot / norms) : MAX_DISTANCE;
    }
    case WalkMeasure::Euclidean: {
      const double point_norm = meta.norm;
      const double square = query.square_norm + point_norm * point_norm - 2.0 * dot;
      return static_cast<float>(std::sqrt(std::max(square, 0.0)));
    }
    case WalkMeasure::NegatedDot:
      return static_cast<float>(-dot);
  }
  return MAX_DISTANCE;
}

inline bool estimated(const FastWalkQuery& query, const PointTable& points, uint32_t slot) {
  return query.estimates != nullptr && in_rows(points, slot) && has_code(points, slot);
}

// Requests what estimating a slot reads: its code and meta, or its row.
// Whether a point of the rows has a code is told by its meta, which is not
// at hand yet: a point of the rows gets its code and meta requested either
// way (one without a code is rare), so that no request waits on a read.
inline void prefetch_estimated(const FastWalkQuery& query, const PointTable& points,
                               uint32_t slot) {
  if (query.estimates != nullptr && in_rows(points, slot)) {
    prefetch_code(points, slot);
  } else {
    prefetch_point(points, slot);
  }
}

// out[i] = the distance to the record in slots[i]: estimated from its code,
// or measured exactly when it has none.
void estimate_slots(const FastWalkQuery& query, const PointTable& points,
                    std::span<const uint32_t> slots, float* out, WalkReads& reads) {
  const uint8_t* codes[ESTIMATE_BATCH];
  const CodeMeta* metas[ESTIMATE_BATCH];
  size_t places[ESTIMATE_BATCH];
  int32_t dots[ESTIMATE_BATCH];
  size_t filled = 0;
  auto finish = [&] {
    query.estimate_dots(query.estimates->levels.data(), codes, filled, points.codes.stride, dots);
    for (size_t r = 0; r < filled; ++r) out[places[r]] = estimate_distance(query, *metas[r], dots[r]);
    filled = 0;
  };
  size_t exact = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    const uint32_t slot = slots[i];
    if (!estimated(query, points, slot)) {
      measure_slots(query.exact, points, slots.subspan(i, 1), out + i);
      ++exact;
      continue;
    }
    codes[filled] = code_of(points.codes, slot);
    metas[filled] = &code_meta_of(points.codes, slot);
    places[filled] = i;
    if (++filled == ESTIMATE_BATCH) finish();
  }
  if (filled > 0) finish();
  reads.coded += slots.size() - exact;
}

// Whether the fast walk passes by a point, as passes_by tells for the exact
// walks: a zero vector walked by Euclidean distance or the inner product,
// told by the norm its code's meta (at hand once the code is read) or the
// table keeps.
inline bool fast_passes_by(const FastWalkQuery& query, const PointTable& points, uint32_t slot) {
  if (query.exact.measure == WalkMeasure::Cosine) return false;
  const float norm = estimated(query, points, slot) ? code_meta_of(points.codes, slot).norm : points.norms[slot];
  return norm == 0.0f;
}

// Requests the codes of the unvisited neighbours of the slot the walk
// expands next (its list was requested when it entered the beam).
inline void prefetch_next_expansion(const HnswIndex& graph, const PointTable& points,
                                    const FastWalkQuery& query, const WalkScratch& scratch,
                                    uint32_t slot) {
  const size_t slots = slot_count(points);
  for (uint32_t n : layer0_neighbors(graph, slot)) {
    if (n < slots && !was_visited(scratch, n)) prefetch_estimated(query, points, n);
  }
}

}  // namespace

void make_fast_walk_query(std::span<const float> vector, WalkMeasure measure,
                          const PointTable& points, EstimateQuery& storage, FastWalkQuery& out) {
  out.exact = make_walk_query(vector, measure);
  out.estimates = nullptr;
  out.estimate_dots = scan_kernels().estimate_dots;
  out.square_norm = measure == WalkMeasure::Euclidean ? squared_norm(vector) : 0.0;
  if (points.codes.stride == 0 || vector.size() != points.rows.dim || vector.empty()) return;
  prepare_estimate_query(vector, storage);
  if (storage.usable) out.estimates = &storage;
}

bool comparable_with_query(const WalkQuery& query, const PointTable& points, uint32_t slot) {
  const size_t dim = query.vector.size();
  if (!(dim == points.rows.dim && in_rows(points, slot)) && slot_dim(points, slot) != dim) {
    return false;
  }
  return query.measure != WalkMeasure::Cosine ||
         (query.norm != 0.0f && points.norms[slot] != 0.0f);
}

bool rows_have_length(const PointTable& points, size_t dim) {
  return dim != 0 && dim == points.rows.dim;
}

uint32_t fast_walk_descend(const HnswIndex& graph, const PointTable& points,
                           const FastWalkQuery& query, uint32_t entry, float& distance,
                           WalkScratch& scratch) {
  distance = MAX_DISTANCE;
  if (!has_record(points, entry)) return entry;
  WalkReads& reads = *scratch.reads;
  estimate_slots(query, points, std::span<const uint32_t>(&entry, 1), &distance, reads);
  uint32_t best = entry;
  // Starting at a point it passes by, the walk moves to any neighbour it can
  // measure.
  bool moving_off = fast_passes_by(query, points, entry);
  const size_t slots = slot_count(points);
  for (size_t layer = std::min<size_t>(graph.max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    for (;;) {
      std::span<const uint32_t> list = neighbors(graph, best, layer);
      scratch.batch_slots.clear();
      for (uint32_t n : list) {
        if (n < slots && has_record(points, n)) {
          prefetch_estimated(query, points, n);
          scratch.batch_slots.push_back(n);
        }
      }
      scratch.batch_distances.resize(scratch.batch_slots.size());
      estimate_slots(query, points, scratch.batch_slots, scratch.batch_distances.data(), reads);
      bool moved = false;
      for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
        // Strictly nearer only: a tie or a NaN never moves the walk.
        if (scratch.batch_distances[i] < (moving_off ? MAX_DISTANCE : distance) &&
            !fast_passes_by(query, points, scratch.batch_slots[i])) {
          best = scratch.batch_slots[i];
          distance = scratch.batch_distances[i];
          moved = true;
          moving_off = false;
        }
      }
      if (!moved) break;
    }
  }
  return best;
}

namespace {

// The beam of fast_walk_base_layer; FILTERED when `keep` tests points.
template <bool FILTERED>
bool fast_beam(const HnswIndex& graph, const PointTable& points, const FastWalkQuery& query,
               uint32_t entry, float entry_distance, size_t ef, SlotPredicate keep,
               size_t wanted, double scope_share, size_t budget, WalkScratch& scratch,
               std::vector<WalkPair>& nearest) {
  const size_t slots = slot_count(points);
  FastWalkScratch& own = thread_fast_walk_scratch();
  std::vector<uint64_t>& candidates = own.candidates;
  std::vector<uint64_t>& kept = own.kept;
  // Filtered: the ef nearest points reached, in scope or not (max-heap).
  std::vector<uint64_t>& nearest_reached = own.nearest_reached;
  std::vector<uint32_t>& reached_slots = own.reached_slots;
  // Points the walk passes by (zero vectors, all at one distance) are kept
  // aside rather than among the ones that bound the beam: a beam bounded by
  // them could not cross the points between it and the true neighbours.
  std::vector<uint64_t>& passed_by = own.passed_by;
  candidates.clear();
  kept.clear();
  nearest_reached.clear();
  passed_by.clear();
  size_t passed_by_reached = 0;
  // Filtered, the beam is bounded by the nearest `reach` points reached: its
  // targets, the nearest points in scope, lie farther out than an unfiltered
  // beam's (about twice as far in rank when half of the points are in scope).
  // Measured on the clustered bench set with half of the points in scope,
  // 7/4 of `ef` is the least that keeps recall at the unfiltered beam's at
  // every `ef` from 10 to 256 (5/4 loses 0.01 at ef 128, 6/4 0.004).
  // It is at least twice `wanted` too, so that a small beam still holds about
  // `wanted` points of such a scope: at ef 10 on the text bench set, 7/4 of
  // `ef` kept recall 0.833 against the unfiltered beam's 0.843, twice
  // `wanted` 0.871 (from ef 23 on, 7/4 of `ef` is the larger).
  // A scope known to hold more than half of the points widens the beam less,
  // down to none for the whole table: with 80% and 90% of the clustered set
  // in scope, recall stays above the unfiltered beam's at every `ef` from 10
  // to 256 (by 0.005 and 0.002 at least) at 13/10 and 23/20 of `ef`.
  const double out_of_scope = 1.0 - std::clamp(scope_share, 0.0, 1.0);
  const double widening = scope_share > 0.0 ? std::min(1.0, 2.0 * out_of_scope) : 1.0;
  const size_t reach =
      std::max({ef + static_cast<size_t>(static_cast<double>(ef * 3 / 4) * widening), ef,
                wanted + static_cast<size_t>(static_cast<double>(wanted) * widening)});
  WalkReads& reads = *scratch.reads;
  reached_slots.clear();
  begin_visits(scratch, slots);
  first_visit(scratch, entry);
  // A coded point has the rows' length, and its meta (at hand: its code was
  // just read) repeats its norm.
  const bool cosine = query.exact.measure == WalkMeasure::Cosine;
  // How many kept points the beam holds. Unfiltered, the `ef` nearest bound
  // it; filtered, the nearest reached points bound it, and of the points in
  // scope only the nearest `wanted` are ever asked for: holding no more keeps
  // the heap short and spares testing a point no nearer than all of them.
  const size_t kept_most = FILTERED ? wanted : ef;
  auto admits = [&](uint32_t slot) {
    const bool comparable =
        estimated(query, points, slot)
            ? !cosine || (query.exact.norm != 0.0f &&
                              code_meta_of(points.codes, slot).norm != 0.0f)
            : comparable_with_query(query.exact, points, slot);
    return comparable && (!FILTERED || keep(slot));
  };
  // The pairs are keys (walk_order_key): the heaps compare integers.
  auto enter = [&](float distance, uint32_t slot) {
    const uint64_t key = walk_order_key(distance, static_cast<uint32_t>(reached_slots.size()));
    reached_slots.push_back(slot);
    return key;
  };
  // Keeps the `cap` smallest keys: once full, a smaller key takes the
  // largest one's place and sinks, one pass down instead of a push and a pop.
  auto push_bounded = [](std::vector<uint64_t>& heap, uint64_t key, size_t cap) {
    if (heap.size() < cap) {
      heap.push_back(key);
      std::push_heap(heap.begin(), heap.end());
      return;
    }
    if (key >= heap.front()) return;
    const size_t size = heap.size();
    size_t at = 0;
    for (size_t child = 1; child < size; child = 2 * at + 1) {
      if (child + 1 < size && heap[child + 1] > heap[child]) ++child;
      if (heap[child] <= key) break;
      heap[at] = heap[child];
      at = child;
    }
    heap[at] = key;
  };
  // The points that bound the beam: the ef nearest kept ones; filtered, the
  // ef nearest reached ones once `wanted` points in scope are kept (until
  // then nothing bounds it).
  auto bounding = [&]() -> const std::vector<uint64_t>* {
    if (!FILTERED) return kept.size() >= ef ? &kept : nullptr;
    return kept.size() >= wanted && nearest_reached.size() >= reach ? &nearest_reached : nullptr;
  };

  const uint64_t start = enter(entry_distance, entry);
  candidates.push_back(start);
  if (FILTERED) nearest_reached.push_back(start);
  if (has_record(points, entry) && admits(entry)) kept.push_back(start);
  prefetch_block(graph, entry);
  size_t reached = 1;

  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), std::greater<uint64_t>{});
    const uint64_t next = candidates.back();
    candidates.pop_back();
    // Keys order as their distances do (the reach order below it only
    // breaks ties): farther than the worst bound means a larger distance part.
    const std::vector<uint64_t>* bound = bounding();
    if (bound != nullptr && (next >> 32) > (bound->front() >> 32)) break;
    const uint32_t next_slot = reached_slots[static_cast<uint32_t>(next)];
    reads.expansions++;
    // The lists the walk will most likely expand after this one: the front of
    // the heap (each was requested when it entered, but may have been
    // evicted since, or not have arrived).
    for (size_t i = 0; i < std::min<size_t>(candidates.size(), 3); ++i) {
      prefetch_block(graph, reached_slots[static_cast<uint32_t>(candidates[i])]);
    }
    scratch.batch_slots.clear();
    for (uint32_t n : layer0_neighbors(graph, next_slot)) {
      if (n >= slots || !first_visit(scratch, n)) continue;
      if (!has_record(points, n)) continue;  // a dangling slot is never measured
      // (Its list is requested only once it enters: requesting the head of
      // every reached point's list as well made the walk 8% slower.)
      prefetch_estimated(query, points, n);
      scratch.batch_slots.push_back(n);
    }
    reached += scratch.batch_slots.size();
    if (reached > budget) return false;
    scratch.batch_distances.resize(scratch.batch_slots.size());
    estimate_slots(query, points, scratch.batch_slots, scratch.batch_distances.data(), reads);
    for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
      const float d = scratch.batch_distances[i];
      const uint32_t slot = scratch.batch_slots[i];
      bound = bounding();
      if (bound == nullptr || walk_order_key(d, 0) < (bound->front() & ~uint64_t{UINT32_MAX})) {
        const uint64_t key = enter(d, slot);
        // Every point that enters may be expanded: its list is requested now.
        prefetch_block(graph, slot);
        if (fast_passes_by(query, points, slot)) {
          // Expanded last, and only the first `ef` of them: a beam as wide as
          // the store still reaches through them, while many copies of the
          // zero vector are not all expanded in turn.
          if (++passed_by_reached <= ef) {
            candidates.push_back(walk_order_key(MAX_DISTANCE, static_cast<uint32_t>(key)));
            std::push_heap(candidates.begin(), candidates.end(), std::greater<uint64_t>{});
          }
          if (admits(slot)) passed_by.push_back(key);
          continue;
        }
        candidates.push_back(key);
        std::push_heap(candidates.begin(), candidates.end(), std::greater<uint64_t>{});
        if (FILTERED) push_bounded(nearest_reached, key, reach);
        // A point no nearer than the worst of the kept ones, when they are
        // as many as the beam holds, would not stay: it is not tested.
        const bool could_stay = kept.size() < kept_most || key < kept.front();
        if (could_stay && admits(slot)) push_bounded(kept, key, kept_most);
      }
    }
    // The next expansion is known now: its neighbours' codes are requested
    // while this one's bookkeeping finishes.
    if (!candidates.empty()) {
      prefetch_next_expansion(graph, points, query, scratch,
                              reached_slots[static_cast<uint32_t>(candidates.front())]);
      if (candidates.size() > 1) {
        // The one after it is most likely the nearer child of the heap's root.
        const size_t second = candidates.size() > 2 && candidates[2] < candidates[1] ? 2 : 1;
        prefetch_block(graph, reached_slots[static_cast<uint32_t>(candidates[second])]);
      }
    }
  }
  for (uint64_t key : passed_by) push_bounded(kept, key, kept_most);
  std::sort(kept.begin(), kept.end());
  nearest.reserve(kept.size());
  for (uint64_t key : kept) {
    const uint32_t seq = static_cast<uint32_t>(key);
    nearest.push_back(WalkPair{walk_key_distance(key), seq, reached_slots[seq]});
  }
  return true;
}

}  // namespace

bool fast_walk_base_layer(const HnswIndex& graph, const PointTable& points,
                          const FastWalkQuery& query, uint32_t entry, float entry_distance,
                          size_t ef, SlotPredicate keep, size_t wanted, double scope_share,
                          size_t budget, WalkScratch& scratch, std::vector<WalkPair>& nearest) {
  nearest.clear();
  if (entry >= slot_count(points)) return true;
  ef = std::max<size_t>(ef, 1);
  wanted = std::clamp<size_t>(wanted, 1, ef);
  return keep.test == nullptr
             ? fast_beam<false>(graph, points, query, entry, entry_distance, ef, keep, wanted,
                                scope_share, budget, scratch, nearest)
             : fast_beam<true>(graph, points, query, entry, entry_distance, ef, keep, wanted,
                               scope_share, budget, scratch, nearest);
}

}  // namespace tarnwick
