// What the layer-0 lists say of each other, taken from the lists alone when a
// graph gets its link bookkeeping (a load, or the first change after one):
// which links each list's entries name back, and which slots name each slot
// one way. The one-way link index is made from it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw.h"
#include "table/point_table.h"
#include "util/mapped_array.h"
#include "util/worker_pool.h"

namespace tarnwick {

// Lists of at most this many entries keep a bit per entry.
inline constexpr size_t NAMED_BACK_BITS = 64;

// What the layer-0 lists say of each other, found in one pass over them.
struct LinkCensus {
  // By slot, a bit per entry of its list (of at most NAMED_BACK_BITS entries)
  // telling whether that entry's own list names the slot back. A longer list
  // (only a loaded graph has one) gets no bits and is asked again where it
  // matters.
  std::vector<uint64_t> named_back;
  // naming[begin[t] .. begin[t + 1]): the slots whose lists name t, with
  // one_way[j] set where t's own list does not name naming[j] back.
  std::vector<uint32_t> begin;
  MappedArray<uint32_t> naming;
  MappedArray<uint8_t> one_way;
};

// Takes the census of the layer-0 lists of every slot of the table, on the
// pool when given one.
LinkCensus take_link_census(const HnswIndex& graph, const PointTable& points, WorkerPool* pool);

// Whether the layer-0 list of `owner` names `n`.
inline bool lists_name(const HnswIndex& graph, uint32_t owner, uint32_t n) {
  std::span<const uint32_t> list = layer0_neighbors(graph, owner);
  uint32_t found = 0;  // without an early exit, so that it compiles to vector compares
  for (uint32_t entry : list) found |= entry == n;
  return found != 0;
}

// Whether entry i of the layer-0 list of `owner` names it back.
inline bool named_back_at(const HnswIndex& graph, const LinkCensus& census, uint32_t owner,
                          std::span<const uint32_t> list, size_t i) {
  if (list.size() > NAMED_BACK_BITS) return lists_name(graph, list[i], owner);
  return (census.named_back[owner] >> i) & 1;
}

// Makes the one-way link index, the change log and the upper layers' in-link
// counts afresh from the census.
void count_all_links(HnswIndex& graph, const PointTable& points, const LinkCensus& census);

// Runs body(r) for r in [0, ranges), on the worker pool when given one.
template <typename Body>
void for_each_range(WorkerPool* pool, size_t ranges, Body body) {
  auto part = [&](size_t first, size_t end) {
    for (size_t r = first; r < end; ++r) body(r);
  };
  if (pool != nullptr) {
    run_parallel(*pool, ranges, part);
  } else {
    part(0, ranges);
  }
}

}  // namespace tarnwick
