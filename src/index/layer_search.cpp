#include "index/layer_search.h"

#include <algorithm>
#include <cmath>

#include "index/code_bound_runs.h"
#include "index/walk_memory.h"

namespace tarnwick {

using namespace walk_detail;

namespace {

// A node's list at a layer: in place, or, while insertions run in parallel, a
// copy taken under the node's lock (valid until the next read).
inline std::span<const uint32_t> read_list(const HnswIndex& graph, uint32_t slot, size_t layer,
                                           NodeLocks* locks, WalkScratch& scratch) {
  if (locks == nullptr) return neighbors(graph, slot, layer);
  std::lock_guard guard(locks->of(slot));
  std::span<const uint32_t> list = neighbors(graph, slot, layer);
  scratch.list_copy.assign(list.begin(), list.end());
  return scratch.list_copy;
}

// Whether the walk measures or bounds coded points from their codes.
inline bool reads_codes(const WalkQuery& query) {
  return query.codes != nullptr || query.build_codes != nullptr;
}

// Fetches what measuring a slot will read: its code when `from_codes` and it
// has one in the rows, else its row.
inline void prefetch_measured(const PointTable& points, uint32_t slot, bool from_codes) {
  if (from_codes && in_rows(points, slot)) {
    prefetch_code(points, slot);
  } else {
    prefetch_point(points, slot);
  }
}

// Requests what expanding `slot` will read of its neighbours not yet visited:
// their codes (their rows when the walk has no codes). Its list should be at
// hand (it was requested when the slot entered). Called once the walk knows
// its next expansion, so that the requests overlap the work left in this one.
inline void prefetch_expansion(const HnswIndex& graph, const PointTable& points,
                               const WalkQuery& query, const WalkScratch& scratch, uint32_t slot) {
  const size_t slots = slot_count(points);
  for (uint32_t n : layer0_neighbors(graph, slot)) {
    if (n < slots && !was_visited(scratch, n)) prefetch_measured(points, n, reads_codes(query));
  }
}

// The least distance the bounds allow for each of the `coded` points whose
// codes are at scratch.code_pointers and metas at scratch.code_metas, into
// scratch.bound_lows.
const float* least_bounded_distances(const WalkQuery& query, const PointTable& points,
                                     size_t coded, WalkScratch& scratch) {
  scratch.level_dots.resize(coded);
  scratch.bound_lows.resize(coded);
  scratch.bound_highs.resize(coded);
  query.code_dots(query.codes->levels.data(), scratch.code_pointers.data(), coded,
                  points.codes.stride, scratch.level_dots.data());
  // The bounds of the score the walk's distance is made from: cosine
  // similarity (distance 1 - similarity), Euclidean distance, or the dot
  // product (distance its negation).
  const BoundedScore score = query.measure == WalkMeasure::Cosine      ? BoundedScore::Cosine
                             : query.measure == WalkMeasure::Euclidean ? BoundedScore::Euclidean
                                                                       : BoundedScore::Dot;
  query.score_bounds(score, *query.codes, scratch.code_metas.data(), scratch.level_dots.data(),
                     coded, query.norm, scratch.bound_lows.data(), scratch.bound_highs.data());
  // The least distance each bound allows, in place of its low bound.
  float* least = scratch.bound_lows.data();
  const float* highs = scratch.bound_highs.data();
  switch (query.measure) {
    case WalkMeasure::Cosine:
      for (size_t i = 0; i < coded; ++i) least[i] = 1.0f - highs[i];
      break;
    case WalkMeasure::Euclidean:
      break;
    case WalkMeasure::NegatedDot:
      for (size_t i = 0; i < coded; ++i) least[i] = -highs[i];
      break;
  }
  return least;
}

// Drops from scratch.batch_slots (keeping the order of the rest) every coded
// slot whose distance is proved to be at least `reject_at`: a walk that
// admits only distances below it would reject them all.
void reject_by_bounds(const WalkQuery& query, const PointTable& points, float reject_at,
                      WalkScratch& scratch) {
  std::vector<uint32_t>& slots = scratch.batch_slots;
  // Every slot in the rows goes to the kernels, in order, its meta copied
  // beside its code: one without a code has a zeroed code and a negative
  // residual, which gets an infinite interval and so rejects nothing (its
  // meta is not read twice to tell). Slots outside the rows stay for the
  // exact path.
  const size_t count = slots.size();
  scratch.code_pointers.resize(count);
  scratch.code_metas.resize(count);
  const uint8_t** pointers = scratch.code_pointers.data();
  CodeMeta* metas = scratch.code_metas.data();
  size_t coded = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t slot = slots[i];
    if (!in_rows(points, slot)) continue;
    pointers[coded] = code_of(points.codes, slot);
    metas[coded] = code_meta_of(points.codes, slot);
    ++coded;
  }
  if (coded == 0) return;
  const float* least = least_bounded_distances(query, points, coded, scratch);
  size_t kept = 0, next_code = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t slot = slots[i];
    if (in_rows(points, slot) && least[next_code++] >= reject_at) continue;
    slots[kept++] = slot;
  }
  slots.resize(kept);
  scratch.reads->coded += count - kept;
}

// Collects the neighbours not yet visited that hold a record (marking all of
// them visited) into scratch.batch_slots. With `may_reject`, those that the
// bounds prove to be at least `reject_at` away are dropped (their codes are
// requested instead of their rows); the rest are measured exactly into
// scratch.batch_distances. The rows to measure are requested together, and
// the lists of the candidates the walk will most likely expand next too.
// Returns how many were collected, rejected ones included.
size_t gather_unvisited(const HnswIndex& graph, const PointTable& points, const WalkQuery& query,
                      std::span<const uint32_t> list, std::span<const WalkPair> upcoming,
                      WalkScratch& scratch, bool may_reject = false, float reject_at = 0.0f) {
  scratch.batch_slots.clear();
  const size_t slots = slot_count(points);
  const bool by_codes = may_reject && query.codes != nullptr;
  for (uint32_t n : list) {
    if (n >= slots || !first_visit(scratch, n)) continue;
    if (!has_record(points, n)) continue;  // a dangling slot is never scored
    prefetch_measured(points, n, by_codes || query.build_codes != nullptr);
    scratch.batch_slots.push_back(n);
  }
  for (const WalkPair& next : upcoming) prefetch_block(graph, next.slot);
  // The candidate most likely expanded next is the nearest one left (its list
  // was requested one expansion ago): the codes of its neighbours are
  // requested now, so that they are at hand when the walk gets there.
  if (by_codes && !upcoming.empty()) {
    prefetch_expansion(graph, points, query, scratch, upcoming.front().slot);
  }
  const size_t reached = scratch.batch_slots.size();
  if (by_codes) {
    reject_by_bounds(query, points, reject_at, scratch);
    for (uint32_t n : scratch.batch_slots) prefetch_point(points, n);
  }
  scratch.batch_distances.resize(scratch.batch_slots.size());
  measure_slots(query, points, scratch.batch_slots, scratch.batch_distances.data());
  return reached;
}

// What the default beam's next expansion will read, made ready as soon as
// the walk knows it (the nearest candidate left; nothing is visited before
// the walk gets there): the neighbours of `slot` not yet visited that hold a
// record go into scratch.batch_slots in list order, marked visited now. When
// the expansion will reject from bounds (`by_codes`), the codes of those in
// the rows are requested, their addresses kept in scratch.code_pointers,
// and the number of those is returned; otherwise their rows are requested
// and 0 is returned. The list itself should be at hand (it was requested when
// the slot entered the beam).
size_t stage_expansion(const HnswIndex& graph, const PointTable& points, bool by_codes,
                       WalkScratch& scratch, uint32_t slot) {
  std::vector<uint32_t>& staged = scratch.batch_slots;
  const std::span<const uint32_t> list = layer0_neighbors(graph, slot);
  staged.resize(list.size());
  if (by_codes) scratch.code_pointers.resize(list.size());
  // The per-slot arrays, read once: the stores below (to the visited marks)
  // would otherwise make the compiler reload them for every neighbour.
  const size_t slots = slot_count(points);
  uint64_t* visited = scratch.visited.data();
  const uint64_t* records = points.record_bits.words.data();
  const size_t record_words = points.record_bits.words.size();
  const uint64_t* rows = points.row_bits.words.data();
  const size_t row_words = points.row_bits.words.size();
  const CodeStore& codes = points.codes;
  const size_t code_bytes = std::min<size_t>(codes.stride, PREFETCH_ROW_BYTES / 4);
  const uint8_t** pointers = scratch.code_pointers.data();
  size_t count = 0, coded = 0;
  for (uint32_t n : list) {
    if (n >= slots) continue;
    const size_t word = n / 64;
    const uint64_t bit = uint64_t{1} << (n % 64);
    if (visited[word] & bit) continue;
    if (visited[word] == 0) scratch.visited_words.push_back(static_cast<uint32_t>(word));
    visited[word] |= bit;
    if (word >= record_words || !(records[word] & bit)) continue;  // never scored
    staged[count++] = n;
    if (by_codes && word < row_words && (rows[word] & bit)) {
      const uint8_t* code = code_of(codes, n);
      pointers[coded++] = code;
      for (size_t offset = 0; offset < code_bytes; offset += 64) prefetch_line(code + offset);
      if (codes.meta_in_padding) {
        prefetch_line(code + codes.stride - 1);
      } else {
        prefetch_line(&codes.meta[n]);
      }
    } else {
      prefetch_point(points, n);
    }
  }
  staged.resize(count);
  return coded;
}

// Drops from the staged expansion (stage_expansion, by codes; `coded` of its
// slots in the rows) every point the bounds prove to be at least `reject_at`
// away, as reject_by_bounds does, and requests the rows of the rest.
void reject_staged_by_bounds(const WalkQuery& query, const PointTable& points, float reject_at,
                             size_t coded, WalkScratch& scratch) {
  std::vector<uint32_t>& slots = scratch.batch_slots;
  const size_t count = slots.size();
  if (coded != count) {
    // Some lie outside the rows (the rare case): the general path.
    reject_by_bounds(query, points, reject_at, scratch);
  } else if (count != 0) {
    scratch.code_metas.resize(count);
    CodeMeta* metas = scratch.code_metas.data();
    for (size_t i = 0; i < count; ++i) metas[i] = code_meta_of(points.codes, slots[i]);
    const float* least = least_bounded_distances(query, points, count, scratch);
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      if (least[i] >= reject_at) continue;
      slots[kept++] = slots[i];
    }
    slots.resize(kept);
    scratch.reads->coded += count - kept;
  }
  for (uint32_t n : slots) prefetch_point(points, n);
}

// A beam's candidate as it waits for expansion: a point the walk passes by
// waits as if at MAX_DISTANCE, so that it is expanded only after every point
// it can measure (a beam that holds every point still reaches through it).
inline WalkPair expanded_last_if_passed_by(const WalkQuery& query, const PointTable& points,
                                           WalkPair pair) {
  if (passes_by(query, points, pair.slot, pair.distance)) pair.distance = MAX_DISTANCE;
  return pair;
}

// The candidates a walk will most likely expand next: the front of its heap.
inline std::span<const WalkPair> upcoming(const std::vector<WalkPair>& candidates) {
  return std::span<const WalkPair>(candidates.data(), std::min<size_t>(candidates.size(), 3));
}

}  // namespace

uint32_t greedy_search_layer(const HnswIndex& graph, const PointTable& points,
                             const WalkQuery& query, uint32_t entry, float& distance,
                             size_t level, WalkScratch& scratch, NodeLocks* locks) {
  if (graph.node_count == 0 || level >= MAX_LAYERS || points.record_count == 0) return entry;
  uint32_t best = entry;
  // A walk that starts at a point it passes by moves to any neighbour it can
  // measure (nearer than MAX_DISTANCE).
  bool moving_off = passes_by(query, points, entry, distance);
  for (;;) {
    std::span<const uint32_t> list = read_list(graph, best, level, locks, scratch);
    if (list.empty()) return best;
    scratch.batch_slots.clear();
    const bool by_codes = query.codes != nullptr;
    for (uint32_t n : list) {
      if (n >= slot_count(points)) continue;
      prefetch_measured(points, n, reads_codes(query));
    }
    for (uint32_t n : list) {
      if (has_record(points, n)) scratch.batch_slots.push_back(n);
    }
    // The running best only falls during the pass: a point proved to be no
    // nearer than it is now can never move the walk.
    if (by_codes) {
      reject_by_bounds(query, points, moving_off ? MAX_DISTANCE : distance, scratch);
      for (uint32_t n : scratch.batch_slots) prefetch_point(points, n);
    }
    scratch.batch_distances.resize(scratch.batch_slots.size());
    measure_slots(query, points, scratch.batch_slots, scratch.batch_distances.data());
    bool moved = false;
    for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
      const float d = scratch.batch_distances[i];
      if (passes_by(query, points, scratch.batch_slots[i], d)) continue;
      // Strictly nearer only: a tie or a NaN never moves the walk, while any
      // number moves it off a point whose own distance is NaN (its vector has
      // a component that is not finite): NaN orders last.
      if (order_key(d) < order_key(moving_off ? MAX_DISTANCE : distance)) {
        best = scratch.batch_slots[i];
        distance = d;
        moved = true;
        moving_off = false;
      }
    }
    if (!moved) return best;
  }
}

void search_base_layer(const HnswIndex& graph, const PointTable& points,
                       const WalkQuery& query, uint32_t entry, size_t ef,
                       WalkScratch& scratch, std::vector<WalkPair>& nearest) {
  nearest.clear();
  if (!has_record(points, entry)) return;
  // The heaps hold each pair's place in the order as one integer, so that
  // they compare it alone.
  std::vector<KeyedPair>& candidates = scratch.keyed_candidates;
  std::vector<KeyedPair>& kept = scratch.keyed_nearest;
  candidates.clear();
  kept.clear();
  begin_visits(scratch, slot_count(points));
  first_visit(scratch, entry);

  uint32_t seq = 0;
  const float start_distance = measure_slot(query, points, entry);
  const KeyedPair start{order_bits(start_distance, seq++), start_distance, entry};
  candidates.push_back(start);
  kept.push_back(start);

  // Each expansion's neighbours are gathered, and what measuring them reads
  // requested, as soon as the walk knows it will expand that point next:
  // the entry now, every later one once the expansion before it is done.
  // With `nearest` full, only a distance below its worst as it stands before
  // the expansion enters (and `nearest` stays full): a point proved to be at
  // least that far is rejected unread, from its code.
  const bool has_codes = query.codes != nullptr;
  bool by_codes = has_codes && kept.size() >= ef;
  size_t coded = stage_expansion(graph, points, by_codes, scratch, entry);
  while (!candidates.empty()) {
    // The nearest candidate: the one staged.
    std::pop_heap(candidates.begin(), candidates.end(), KeyFarther{});
    candidates.pop_back();
    scratch.reads->expansions++;
    // The nearest candidate left is expanded next unless this expansion
    // admits a point nearer still (on the clustered bench set, six
    // expansions in seven admit nothing nearer): its list, requested when it
    // entered and often evicted since, is requested again now.
    if (!candidates.empty()) prefetch_block(graph, candidates.front().slot);
    // The worst kept distance as it stands before this expansion; admissions
    // below compare against it, not against the list as it changes.
    // A NaN kept there (a point whose vector has a component that is not
    // finite) is the farthest, as `nearest` orders it: any distance enters in
    // its place, where comparing with NaN itself would admit none, and such
    // points would end every walk that kept one.
    float worst = kept.empty() ? MAX_DISTANCE : order_key(kept.front().distance);
    if (!scratch.batch_slots.empty()) {
      if (by_codes) reject_staged_by_bounds(query, points, worst, coded, scratch);
      scratch.batch_distances.resize(scratch.batch_slots.size());
      measure_slots(query, points, scratch.batch_slots, scratch.batch_distances.data());
      for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
        float d = scratch.batch_distances[i];
        if (worst > d || kept.size() < ef) {
          const uint32_t slot = scratch.batch_slots[i];
          const uint32_t order = seq++;
          // Every point that enters is expanded: its list is requested now.
          prefetch_block(graph, slot);
          // A point the walk passes by waits as if at MAX_DISTANCE
          // (expanded_last_if_passed_by).
          const float wait = passes_by(query, points, slot, d) ? MAX_DISTANCE : d;
          candidates.push_back(KeyedPair{order_bits(wait, order), wait, slot});
          std::push_heap(candidates.begin(), candidates.end(), KeyFarther{});
          kept.push_back(KeyedPair{order_bits(d, order), d, slot});
          std::push_heap(kept.begin(), kept.end(), KeyNearer{});
          if (kept.size() > ef) {
            std::pop_heap(kept.begin(), kept.end(), KeyNearer{});
            kept.pop_back();
          }
        }
      }
    }
    // The next expansion is now known: what it reads is requested now, while
    // this one's bookkeeping finishes. (Requesting the one after it as well,
    // most likely the nearer child of the heap's root, made the walk 7%
    // slower: the requests for a guess crowd out the ones for a certainty.)
    if (!candidates.empty()) {
      by_codes = has_codes && kept.size() >= ef;
      coded = stage_expansion(graph, points, by_codes, scratch, candidates.front().slot);
    }
  }
  std::sort(kept.begin(), kept.end(), KeyNearer{});
  nearest.reserve(kept.size());
  for (const KeyedPair& pair : kept) {
    nearest.push_back(WalkPair{pair.distance, static_cast<uint32_t>(pair.key), pair.slot});
  }
}

bool search_base_layer_filtered(const HnswIndex& graph, const PointTable& points,
                                const WalkQuery& query, uint32_t entry, float entry_distance,
                                size_t ef, SlotPredicate keep, size_t budget, bool stop_early,
                                WalkScratch& scratch, std::vector<WalkPair>& nearest) {
  nearest.clear();
  if (entry >= slot_count(points)) return true;
  std::vector<WalkPair>& candidates = scratch.candidates;
  candidates.clear();
  begin_visits(scratch, slot_count(points));
  first_visit(scratch, entry);
  auto admits = [&](uint32_t slot) { return has_record(points, slot) && keep(slot); };

  uint32_t seq = 0;
  WalkPair start{entry_distance, seq++, entry};
  candidates.push_back(start);
  if (admits(entry)) nearest.push_back(start);
  size_t measured = 1;

  while (!candidates.empty()) {
    WalkPair next = pop_candidate(candidates);
    if (stop_early && nearest.size() >= ef &&
        order_key(next.distance) > order_key(nearest.front().distance)) {
      break;
    }
    std::span<const uint32_t> list = layer0_neighbors(graph, next.slot);
    if (list.empty()) continue;
    // A full `nearest` stays full and its worst distance only falls during
    // the pass: a point proved to be at least that far is never kept. Every
    // point reached counts against the budget, read or not. Without the
    // early stop, admissions compare against the worst kept as it stood
    // before this expansion, as search_base_layer's do.
    const bool full = nearest.size() >= ef;
    const float worst = full ? order_key(nearest.front().distance) : 0.0f;
    measured += gather_unvisited(graph, points, query, list, upcoming(candidates), scratch, full,
                                 worst);
    if (measured > budget) return false;
    for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
      float d = scratch.batch_distances[i];
      if (nearest.size() < ef ||
          order_key(d) < (stop_early || !full ? order_key(nearest.front().distance) : worst)) {
        WalkPair pair{d, seq++, scratch.batch_slots[i]};
        push_candidate(candidates, expanded_last_if_passed_by(query, points, pair));
        if (admits(pair.slot)) {
          push_kept(nearest, pair);
          if (nearest.size() > ef) drop_farthest(nearest);
        }
      }
    }
  }
  std::sort(nearest.begin(), nearest.end(), Nearer{});
  return true;
}

namespace {

struct TenantTest {
  const PointTable* points;
  uint32_t tenant;
};

bool is_of_tenant(const void* context, uint32_t slot) {
  const TenantTest& test = *static_cast<const TenantTest*>(context);
  return test.points->headers[slot].tenant == test.tenant;
}

}  // namespace

bool search_base_layer_of_tenant(const HnswIndex& graph, const PointTable& points,
                                 const WalkQuery& query, uint32_t entry, float entry_distance,
                                 size_t ef, uint32_t tenant, size_t budget,
                                 WalkScratch& scratch, std::vector<WalkPair>& nearest) {
  const TenantTest test{&points, tenant};
  return search_base_layer_filtered(graph, points, query, entry, entry_distance, ef,
                                    SlotPredicate{&test, is_of_tenant}, budget, true, scratch,
                                    nearest);
}

void search_layer_for_insert(const HnswIndex& graph, const PointTable& points,
                             const WalkQuery& query, std::span<const WalkPair> entries,
                             size_t ef, size_t layer, uint32_t self, WalkScratch& scratch,
                             std::vector<WalkPair>& nearest, NodeLocks* locks) {
  nearest.clear();
  std::vector<WalkPair>& candidates = scratch.candidates;
  candidates.clear();
  begin_visits(scratch, slot_count(points));
  uint32_t seq = 0;
  for (const WalkPair& entry : entries) {
    if (entry.slot >= slot_count(points) || !first_visit(scratch, entry.slot)) continue;
    WalkPair pair{entry.distance, seq++, entry.slot};
    push_candidate(candidates, pair);
    if (entry.slot != self && has_record(points, entry.slot)) push_kept(nearest, pair);
  }
  while (nearest.size() > ef) drop_farthest(nearest);

  // Once `ef` points as near as copies of the query are kept, no point can
  // enter: the beam ends there rather than expanding every one of them (many
  // copies of one vector would each be expanded, none admitted).
  const auto full_of_copies = [&] {
    return nearest.size() >= ef && nearest.front().distance <= SAME_WAY_DISTANCE;
  };
  while (!candidates.empty() && !full_of_copies()) {
    WalkPair next = pop_candidate(candidates);
    if (nearest.size() >= ef && order_key(next.distance) > order_key(nearest.front().distance)) {
      break;
    }
    std::span<const uint32_t> list = read_list(graph, next.slot, layer, locks, scratch);
    if (list.empty()) continue;
    gather_unvisited(graph, points, query, list, upcoming(candidates), scratch);
    for (size_t i = 0; i < scratch.batch_slots.size(); ++i) {
      float d = scratch.batch_distances[i];
      if (nearest.size() < ef || order_key(d) < order_key(nearest.front().distance)) {
        WalkPair pair{d, seq++, scratch.batch_slots[i]};
        // A nearer point is often the next expanded: its list is requested now.
        prefetch_block(graph, pair.slot);
        push_candidate(candidates, pair);
        if (pair.slot != self) {
          push_kept(nearest, pair);
          if (nearest.size() > ef) drop_farthest(nearest);
        }
      }
    }
  }
  std::sort(nearest.begin(), nearest.end(), Nearer{});
}

}  // namespace tarnwick
