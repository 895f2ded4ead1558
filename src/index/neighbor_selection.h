// The neighbour-selection heuristic that insertion and deletion use to
// choose a node's list, and the per-thread scratch it works in.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "table/point_table.h"

namespace tarnwick {

// Scratch of one insertion or list repair, kept per thread.
struct InsertScratch {
  std::vector<WalkPair> entries;
  std::vector<WalkPair> found;
  std::vector<uint32_t> chosen;
  std::vector<uint32_t> members;
  std::vector<float> member_distances;
  std::vector<WalkPair> ranked;
  std::vector<uint32_t> kept;
  std::vector<uint8_t> pruned;
  std::vector<uint32_t> later;
  std::vector<uint32_t> later_index;
  // One bit per slot, set for the slots already taken (an eighth of a byte
  // per slot and thread); the words set are listed, and begin_members clears
  // only those.
  std::vector<uint64_t> seen;
  std::vector<uint32_t> seen_words;
  CodeQuery code_query;  // the inserted point's, when its beams measure from codes
};

InsertScratch& thread_insert_scratch();

// Orders candidates by distance, a distance that is not a number after every
// number (stable sorts keep the gathering order among equals).
bool nearer_distance(const WalkPair& a, const WalkPair& b);

// The heuristic: walks the candidates nearest first (`ranked` by ascending
// distance from the base) and keeps one unless it is nearer to a point
// already kept than to the base, up to `cap`. Every candidate holds a record.
void select_neighbors(const PointTable& points, std::span<const WalkPair> ranked, size_t cap,
                      std::vector<uint32_t>& chosen, WalkScratch& scratch, InsertScratch& local);

// Starts gathering candidates for a list: none is taken yet.
void begin_members(const PointTable& points, InsertScratch& local);

// Marks a slot seen since begin_members; false when it already was.
inline bool mark_seen(InsertScratch& local, uint32_t slot) {
  uint64_t& word = local.seen[slot / 64];
  const uint64_t bit = uint64_t{1} << (slot % 64);
  if (word & bit) return false;
  if (word == 0) local.seen_words.push_back(slot / 64);
  word |= bit;
  return true;
}

// Whether a slot can be marked: it lies within the slots begin_members knew.
inline bool can_mark(const InsertScratch& local, uint32_t slot) {
  return slot / 64 < local.seen.size();
}

// Marks a slot taken unless it is the owner, holds no record, or was taken
// already; true when it is newly taken.
inline bool take_slot(const PointTable& points, uint32_t owner, uint32_t n, InsertScratch& local) {
  return n != owner && has_record(points, n) && mark_seen(local, n);
}

// Takes a slot into the candidates unless it is the owner, holds no record,
// or was taken already; each test is constant time, so a list of any length
// is gathered in linear time.
void consider(const PointTable& points, uint32_t owner, uint32_t n, InsertScratch& local);

// Sets the list of `owner` at `layer` to at most `cap` of the gathered
// candidates, chosen by the heuristic from the owner's point of view. With
// `parallel`, other threads may be setting other nodes' lists meanwhile.
void choose_from_members(HnswIndex& graph, const PointTable& points, uint32_t owner,
                         size_t layer, size_t cap, bool parallel, WalkScratch& scratch,
                         InsertScratch& local);

}  // namespace tarnwick
