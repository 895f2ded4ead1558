#include "index/link_census.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include "index/one_way_links.h"

namespace tarnwick {

namespace {

// Compares a slot's list with the slots naming it, through `stamps` (one per
// slot, kept by the caller between slots): each slot naming `slot` is stamped
// with the slot's key, and each listed one that bears it is marked listed.
// Entries repeated in either list count once.
void census_of_slot(LinkCensus& census, std::span<const uint32_t> list, uint32_t slot,
                    MappedArray<uint64_t>& stamps) {
  const uint64_t key = (uint64_t{slot} + 1) << 1;
  const uint64_t listed = key | 1;
  const size_t first = census.begin[slot];
  std::span<const uint32_t> naming(census.naming.data() + first, census.begin[slot + 1] - first);
  for (uint32_t n : naming) stamps[n] = key;
  uint64_t bits = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const uint32_t n = list[i];
    if (n >= stamps.size() || (stamps[n] | 1) != listed) continue;
    stamps[n] = listed;
    if (i < NAMED_BACK_BITS) bits |= uint64_t{1} << i;
  }
  if (list.size() <= NAMED_BACK_BITS) census.named_back[slot] = bits;
  for (size_t j = 0; j < naming.size(); ++j) {
    census.one_way[first + j] = naming[j] != slot && stamps[naming[j]] != listed;
  }
}

}  // namespace

// Takes the census of the layer-0 lists: the lists naming each slot are
// gathered first, by target in one array (counted, then filled), so that each
// list is then compared with those naming its own slot, both at hand, rather
// than with each neighbour's list, a cache miss per link. A large graph is
// taken in one range of slots per worker: each range counts what its own
// lists name, fills its own slots' rows, then compares its own slots' lists.
LinkCensus take_link_census(const HnswIndex& graph, const PointTable& points, WorkerPool* pool) {
  const size_t slots = slot_count(points);
  const size_t ranges = pool == nullptr ? 1 : std::max<size_t>(1, pool->workers.size());
  auto first_slot = [&](size_t r) { return static_cast<uint32_t>(slots * r / ranges); };
  LinkCensus census;
  census.named_back.assign(slots, 0);
  // Everything the workers use is allocated here, on the calling thread: a
  // worker that allocates makes the allocator set up a heap of its own for
  // it, whose reservation of address space a process under a limit may not
  // have room for.
  // cursors[r][t]: how many of range r's lists name t, then where range r
  // writes its next source into t's row.
  std::vector<MappedArray<uint32_t>> cursors;
  for (size_t r = 0; r < ranges; ++r) cursors.emplace_back(slots);
  for_each_range(pool, ranges, [&](size_t r) {
    for (uint32_t slot = first_slot(r); slot < first_slot(r + 1); ++slot) {
      for (uint32_t n : layer0_neighbors(graph, slot)) {
        if (n < slots) ++cursors[r][n];  // never past the array, which may border another range's
      }
    }
  });
  std::vector<uint32_t>& begin = census.begin;
  begin.assign(slots + 1, 0);
  uint32_t total = 0;
  for (size_t t = 0; t < slots; ++t) {
    begin[t] = total;
    for (size_t r = 0; r < ranges; ++r) total += std::exchange(cursors[r][t], total);
  }
  begin[slots] = total;
  census.naming = MappedArray<uint32_t>(total);
  census.one_way = MappedArray<uint8_t>(total);
  // Filled by target: each range reads every list and writes only the rows
  // of its own slots, so that no two workers write the same cache lines (a
  // row holds sources from every range; filling by source, the workers took
  // turns at each row's lines and ran slower than one). Sources go in
  // ascending order, from where the first range's part of the row begins.
  MappedArray<uint32_t>& next = cursors[0];
  for_each_range(pool, ranges, [&](size_t r) {
    const uint32_t first_target = first_slot(r);
    const uint32_t targets = first_slot(r + 1) - first_target;
    for (uint32_t slot = 0; slot < slots; ++slot) {
      for (uint32_t n : layer0_neighbors(graph, slot)) {
        if (n - first_target < targets) census.naming[next[n]++] = slot;
      }
    }
  });
  cursors.clear();
  std::vector<MappedArray<uint64_t>> stamps;
  for (size_t r = 0; r < ranges; ++r) stamps.emplace_back(slots);
  for_each_range(pool, ranges, [&](size_t r) {
    for (uint32_t slot = first_slot(r); slot < first_slot(r + 1); ++slot) {
      census_of_slot(census, layer0_neighbors(graph, slot), slot, stamps[r]);
    }
  });
  return census;
}

void count_all_links(HnswIndex& graph, const PointTable& points, const LinkCensus& census) {
  const size_t slots = slot_count(points);
  graph.one_way = OneWayLinks{};
  graph.link_changes = std::make_unique<LinkChangeLog>();
  graph.upper_in_links.clear();
  graph.uncounted_links = 0;
  graph.one_way.first.reserve(slots + slots / 8 + 64);  // as the tree's arrays
  graph.one_way.first.assign(slots, OneWayLinks::NONE);
  size_t one_way_links = 0;
  for (uint8_t flag : census.one_way) one_way_links += flag;
  graph.one_way.blocks.reserve(one_way_links / 3 + 1);
  // Target by target, each target's blocks laid out in one go: the first
  // filled from its start with what does not fill a block, the rest full
  // (a crowded target goes through add_one_way, which makes its set).
  std::vector<uint32_t> sources;
  std::vector<OneWayLinks::Block>& blocks = graph.one_way.blocks;
  for (uint32_t target = 0; target < slots; ++target) {
    sources.clear();
    for (size_t j = census.begin[target]; j < census.begin[target + 1]; ++j) {
      if (census.one_way[j]) sources.push_back(census.naming[j]);
    }
    if (sources.empty()) continue;
    if (sources.size() > 1) {  // a loaded list may name a slot twice
      std::sort(sources.begin(), sources.end());
      sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    }
    if (sources.size() > OneWayLinks::CROWDED) {
      for (uint32_t source : sources) add_one_way(graph.one_way, target, source);
      continue;
    }
    // Made from the last block back to the first, each naming the one after.
    const size_t first_count = sources.size() % 4 == 0 ? 4 : sources.size() % 4;
    uint32_t next = OneWayLinks::NONE;
    for (size_t end = sources.size(); end > 0;) {
      const size_t start = end == first_count ? 0 : end - 4;
      OneWayLinks::Block block;
      std::fill(std::begin(block.sources), std::end(block.sources), OneWayLinks::NONE);
      std::copy(sources.begin() + static_cast<ptrdiff_t>(start),
                sources.begin() + static_cast<ptrdiff_t>(end), block.sources);
      block.next = next;
      next = static_cast<uint32_t>(blocks.size());
      blocks.push_back(block);
      end = start;
    }
    graph.one_way.first[target] = next;
  }
  graph.upper_in_links.reserve(graph.upper_layers.size());
  for (const auto& [slot, lists] : graph.upper_layers) {
    graph.upper_in_links.try_emplace(slot);
    for (size_t layer = 1; layer <= lists.size() && layer < MAX_LAYERS; ++layer) {
      for (uint32_t n : lists[layer - 1]) ++graph.upper_in_links[n][layer - 1];
    }
  }
}

}  // namespace tarnwick
