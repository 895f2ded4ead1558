// The layer-0 links named one way only, kept by their target: for each slot,
// the nodes whose lists name it while its own list does not name them. With
// the nodes its own list names that name it back, they are exactly the lists
// naming it, found without a scan (most links are named both ways, so the
// index stays small: about an eighth of the links).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tarnwick {

// A set of slots in one open-addressed table (linear probing, at most half
// full with entries and holes together): 8 to 16 bytes an entry.
struct SlotSet {
  static constexpr uint32_t EMPTY = UINT32_MAX;
  static constexpr uint32_t HOLE = UINT32_MAX - 1;  // an entry removed
  std::vector<uint32_t> table;  // a power of two in size, or empty
  size_t count = 0;             // entries
  size_t taken = 0;             // entries and holes
};

// Adds a slot (below HOLE); false when it was there already.
bool insert_slot(SlotSet& set, uint32_t slot);
// Removes a slot; false when it was not there.
bool erase_slot(SlotSet& set, uint32_t slot);
bool contains_slot(const SlotSet& set, uint32_t slot);

template <typename Visit>
void for_each_slot(const SlotSet& set, Visit visit) {
  for (uint32_t slot : set.table) {
    if (slot < SlotSet::HOLE) visit(slot);
  }
}

struct OneWayLinks {
  static constexpr uint32_t NONE = UINT32_MAX;
  // Entries in blocks of four, chained: a slot's first block is filled from
  // its start, every later one is full, so a slot naming k sources holds
  // ceil(k / 4) blocks.
  struct Block {
    uint32_t sources[4];
    uint32_t next;
  };
  std::vector<uint32_t> first;  // by slot: its first block, or NONE
  std::vector<Block> blocks;
  uint32_t free_blocks = NONE;  // chained through `next`
  // A slot named one way by more than CROWDED sources keeps them in a set
  // instead of blocks, so that adding or removing one stays constant time
  // (many copies of one vector all name the same few nodes; other data
  // makes no such slot).
  static constexpr size_t CROWDED = 64;
  std::unordered_map<uint32_t, SlotSet> crowded;
};

// Records that `source` names `target` one way (nothing when it is recorded already).
void add_one_way(OneWayLinks& links, uint32_t target, uint32_t source);
// Forgets that `source` names `target` one way (nothing when it was not recorded).
void remove_one_way(OneWayLinks& links, uint32_t target, uint32_t source);
// Forgets every source of `target`.
void clear_one_way(OneWayLinks& links, uint32_t target);
bool has_one_way(const OneWayLinks& links, uint32_t target, uint32_t source);

// The sources naming `target` one way, in no particular order.
template <typename Visit>
void for_each_one_way(const OneWayLinks& links, uint32_t target, Visit visit) {
  if (!links.crowded.empty()) {
    auto it = links.crowded.find(target);
    if (it != links.crowded.end()) {
      for_each_slot(it->second, visit);
      return;
    }
  }
  if (target >= links.first.size()) return;
  for (uint32_t block = links.first[target]; block != OneWayLinks::NONE;
       block = links.blocks[block].next) {
    for (uint32_t source : links.blocks[block].sources) {
      if (source == OneWayLinks::NONE) break;  // the rest of the first block is free
      visit(source);
    }
  }
}

// A layer-0 list change that may have changed whether two nodes name each
// other: `owner`'s list gained or lost `entry`.
struct LinkChange {
  uint32_t owner;
  uint32_t entry;
};

// Changes logged while lists change, on any number of threads at once, and
// settled into the one-way index once they stop.
struct LinkChangeLog {
  static constexpr size_t STRIPES = 64;
  // The room a stripe keeps once its changes are settled: enough for single
  // insertions and deletions.
  static constexpr size_t KEPT_CHANGES = 256;
  // The changes linking one node logs, at most as measured (about 40 for a
  // new node, 65 for a re-inserted one that moved): what reserve_link_changes
  // makes room for.
  static constexpr size_t CHANGES_PER_NODE = 96;
  // The most nodes room is made for at once (a batch_upsert links 4,096 at a
  // time); a longer run grows the log as it goes.
  static constexpr size_t RESERVED_NODES = size_t{1} << 16;
  struct Stripe {
    std::mutex mutex;
    std::vector<LinkChange> changes;  // guarded by mutex
  };
  Stripe stripes[STRIPES];
};

}  // namespace tarnwick
