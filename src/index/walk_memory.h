// What every walk over the graph shares: the order of its pairs and the
// heaps built on it, the visited marks, and the requests that fetch a node's
// list, a point's row or its code ahead of their use.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "index/hnsw.h"
#include "index/layer_search.h"
#include "table/point_table.h"
#include "util/prefetch.h"

namespace tarnwick::walk_detail {

// Orders pairs by distance, then by the order reached. A distance that is not a
// number sorts after every number, so the heaps keep a strict order.
inline float order_key(float distance) {
  return std::isnan(distance) ? std::numeric_limits<float>::infinity() : distance;
}

inline bool nearer(const WalkPair& a, const WalkPair& b) {
  float ka = order_key(a.distance), kb = order_key(b.distance);
  if (ka != kb) return ka < kb;
  return a.seq < b.seq;
}


// The same orders as objects, which the heap and sort algorithms inline
// (a function handed to them is called through its address).
struct Nearer {
  bool operator()(const WalkPair& a, const WalkPair& b) const { return nearer(a, b); }
};
struct Farther {
  bool operator()(const WalkPair& a, const WalkPair& b) const { return nearer(b, a); }
};

// Min-heap: the nearest pair at the front.
inline void push_candidate(std::vector<WalkPair>& heap, WalkPair pair) {
  heap.push_back(pair);
  std::push_heap(heap.begin(), heap.end(), Farther{});
}

inline WalkPair pop_candidate(std::vector<WalkPair>& heap) {
  std::pop_heap(heap.begin(), heap.end(), Farther{});
  WalkPair pair = heap.back();
  heap.pop_back();
  return pair;
}

// Max-heap: the farthest pair at the front.
inline void push_kept(std::vector<WalkPair>& heap, WalkPair pair) {
  heap.push_back(pair);
  std::push_heap(heap.begin(), heap.end(), Nearer{});
}

inline void drop_farthest(std::vector<WalkPair>& heap) {
  std::pop_heap(heap.begin(), heap.end(), Nearer{});
  heap.pop_back();
}

// The order of `nearer` as one integer: the order key's bits, mapped so that
// unsigned integers order as the floats do (both zeros alike), above the
// order reached. Equal keys are equal pairs.
inline uint64_t order_bits(float distance, uint32_t seq) {
  float key = order_key(distance);
  if (key == 0.0f) key = 0.0f;  // -0 orders as +0
  uint32_t bits = std::bit_cast<uint32_t>(key);
  bits = (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
  return (uint64_t{bits} << 32) | seq;
}

struct KeyNearer {
  bool operator()(const KeyedPair& a, const KeyedPair& b) const { return a.key < b.key; }
};
struct KeyFarther {
  bool operator()(const KeyedPair& a, const KeyedPair& b) const { return a.key > b.key; }
};

inline void begin_visits(WalkScratch& scratch, size_t slot_count) {
  for (uint32_t word : scratch.visited_words) scratch.visited[word] = 0;
  scratch.visited_words.clear();
  const size_t words = slot_count / 64 + 1;
  if (scratch.visited.size() < words) scratch.visited.resize(words, 0);
}

inline bool was_visited(const WalkScratch& scratch, uint32_t slot) {
  return (scratch.visited[slot / 64] >> (slot % 64)) & 1;
}

// Marks the slot visited; false when it already was.
inline bool first_visit(WalkScratch& scratch, uint32_t slot) {
  uint64_t& word = scratch.visited[slot / 64];
  const uint64_t bit = uint64_t{1} << (slot % 64);
  if (word & bit) return false;
  if (word == 0) scratch.visited_words.push_back(slot / 64);
  word |= bit;
  return true;
}

// The bytes of a row fetched ahead of its scoring: the whole row for the
// usual dimensions, so that the kernel finds every line on its way.
constexpr size_t PREFETCH_ROW_BYTES = 2048;

// Fetches the row a slot's scoring will read: its address follows from the
// slot alone. (The bits and norms it also reads stay in cache.)
inline void prefetch_point(const PointTable& points, uint32_t slot) {
  const RowStore& rows = points.rows;
  size_t chunk = slot / ROW_CHUNK_SLOTS;
  if (chunk >= rows.chunks.size() || !rows.chunks[chunk]) return;
  const char* data = reinterpret_cast<const char*>(row_of(rows, slot));
  size_t bytes = std::min<size_t>(size_t{rows.dim} * sizeof(float), PREFETCH_ROW_BYTES);
  for (size_t offset = 0; offset < bytes; offset += 64) prefetch_line(data + offset);
}

// Fetches a node's layer-0 block, which spans several lines.
inline void prefetch_block(const HnswIndex& graph, uint32_t slot) {
  const char* block = reinterpret_cast<const char*>(layer0_block(graph, slot));
  if (block == nullptr) return;
  const size_t bytes = (size_t{graph.layer0_capacity} + 1) * sizeof(uint32_t);
  for (size_t offset = 0; offset < bytes; offset += 64) prefetch_line(block + offset);
  prefetch_line(block + bytes - 1);
}

// Fetches the code of a slot in the rows, with its meta.
inline void prefetch_code(const PointTable& points, uint32_t slot) {
  const char* data = reinterpret_cast<const char*>(code_of(points.codes, slot));
  const size_t bytes = std::min<size_t>(points.codes.stride, PREFETCH_ROW_BYTES / 4);
  for (size_t offset = 0; offset < bytes; offset += 64) prefetch_line(data + offset);
  // A meta in the padding lies in the code's last line, fetched above when
  // the code is short enough, else here.
  if (points.codes.meta_in_padding) {
    prefetch_line(data + points.codes.stride - 1);
  } else {
    prefetch_line(&points.codes.meta[slot]);
  }
}

}  // namespace tarnwick::walk_detail
