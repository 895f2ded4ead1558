#include "index/one_way_links.h"

#include <algorithm>
#include <cstddef>

namespace tarnwick {

namespace {

uint32_t take_block(OneWayLinks& links) {
  uint32_t block = links.free_blocks;
  if (block != OneWayLinks::NONE) {
    links.free_blocks = links.blocks[block].next;
  } else {
    block = static_cast<uint32_t>(links.blocks.size());
    links.blocks.emplace_back();
  }
  OneWayLinks::Block& fresh = links.blocks[block];
  for (uint32_t& source : fresh.sources) source = OneWayLinks::NONE;
  fresh.next = OneWayLinks::NONE;
  return block;
}

void give_back(OneWayLinks& links, uint32_t block) {
  links.blocks[block].next = links.free_blocks;
  links.free_blocks = block;
}

// The set of a crowded target, or nullptr.
SlotSet* crowd_of(OneWayLinks& links, uint32_t target) {
  if (links.crowded.empty()) return nullptr;
  auto it = links.crowded.find(target);
  return it == links.crowded.end() ? nullptr : &it->second;
}

// Moves the sources of `target` from its blocks into a set.
SlotSet& make_crowd(OneWayLinks& links, uint32_t target) {
  SlotSet sources;
  for_each_one_way(links, target, [&](uint32_t s) { insert_slot(sources, s); });
  clear_one_way(links, target);
  return links.crowded[target] = std::move(sources);
}

size_t home_of(const SlotSet& set, uint32_t slot) {
  return static_cast<size_t>((uint64_t{slot} * 0x9E3779B97F4A7C15ull) >> 32) & (set.table.size() - 1);
}

// Puts every entry into a table of `size` places, dropping the holes.
void rebuild(SlotSet& set, size_t size) {
  std::vector<uint32_t> old = std::move(set.table);
  set.table.assign(size, SlotSet::EMPTY);
  set.count = set.taken = 0;
  for (uint32_t slot : old) {
    if (slot < SlotSet::HOLE) insert_slot(set, slot);
  }
}

}  // namespace

bool insert_slot(SlotSet& set, uint32_t slot) {
  if (2 * (set.taken + 1) > set.table.size()) {
    rebuild(set, std::max<size_t>(16, 4 * (set.count + 1) > set.table.size() ? 2 * set.table.size()
                                                                             : set.table.size()));
  }
  size_t place = home_of(set, slot);
  size_t hole = SIZE_MAX;
  for (;; place = (place + 1) & (set.table.size() - 1)) {
    const uint32_t there = set.table[place];
    if (there == slot) return false;
    if (there == SlotSet::HOLE && hole == SIZE_MAX) hole = place;
    if (there == SlotSet::EMPTY) break;
  }
  if (hole != SIZE_MAX) {
    place = hole;
  } else {
    ++set.taken;
  }
  set.table[place] = slot;
  ++set.count;
  return true;
}

bool erase_slot(SlotSet& set, uint32_t slot) {
  if (set.table.empty()) return false;
  for (size_t place = home_of(set, slot);; place = (place + 1) & (set.table.size() - 1)) {
    const uint32_t there = set.table[place];
    if (there == SlotSet::EMPTY) return false;
    if (there == slot) {
      set.table[place] = SlotSet::HOLE;
      --set.count;
      return true;
    }
  }
}

bool contains_slot(const SlotSet& set, uint32_t slot) {
  if (set.table.empty()) return false;
  for (size_t place = home_of(set, slot);; place = (place + 1) & (set.table.size() - 1)) {
    const uint32_t there = set.table[place];
    if (there == SlotSet::EMPTY) return false;
    if (there == slot) return true;
  }
}

bool has_one_way(const OneWayLinks& links, uint32_t target, uint32_t source) {
  if (!links.crowded.empty()) {
    auto it = links.crowded.find(target);
    if (it != links.crowded.end()) return contains_slot(it->second, source);
  }
  bool found = false;
  for_each_one_way(links, target, [&](uint32_t s) { found |= s == source; });
  return found;
}

void add_one_way(OneWayLinks& links, uint32_t target, uint32_t source) {
  if (SlotSet* crowd = crowd_of(links, target)) {
    insert_slot(*crowd, source);
    return;
  }
  size_t known = 0;
  bool found = false;
  for_each_one_way(links, target, [&](uint32_t s) {
    found |= s == source;
    ++known;
  });
  if (found) return;
  if (known >= OneWayLinks::CROWDED) {
    insert_slot(make_crowd(links, target), source);
    return;
  }
  if (links.first.size() <= target) links.first.resize(target + 1, OneWayLinks::NONE);
  uint32_t head = links.first[target];
  if (head != OneWayLinks::NONE) {
    for (uint32_t& place : links.blocks[head].sources) {
      if (place == OneWayLinks::NONE) {
        place = source;
        return;
      }
    }
  }
  uint32_t block = take_block(links);  // may move the blocks: no references held across it
  links.blocks[block].sources[0] = source;
  links.blocks[block].next = head;
  links.first[target] = block;
}

void remove_one_way(OneWayLinks& links, uint32_t target, uint32_t source) {
  if (SlotSet* crowd = crowd_of(links, target)) {
    erase_slot(*crowd, source);
    if (crowd->count == 0) links.crowded.erase(target);
    return;
  }
  if (target >= links.first.size() || links.first[target] == OneWayLinks::NONE) return;
  // The last entry of the first block fills the hole, so every later block stays full.
  const uint32_t head = links.first[target];
  uint32_t* sources = links.blocks[head].sources;
  size_t last = 0;
  while (last + 1 < 4 && sources[last + 1] != OneWayLinks::NONE) ++last;
  for (uint32_t block = head; block != OneWayLinks::NONE; block = links.blocks[block].next) {
    for (uint32_t& place : links.blocks[block].sources) {
      if (place != source) continue;
      place = sources[last];
      sources[last] = OneWayLinks::NONE;
      if (last == 0) {
        links.first[target] = links.blocks[head].next;
        give_back(links, head);
      }
      return;
    }
  }
}

void clear_one_way(OneWayLinks& links, uint32_t target) {
  if (!links.crowded.empty()) links.crowded.erase(target);
  if (target >= links.first.size()) return;
  uint32_t block = links.first[target];
  links.first[target] = OneWayLinks::NONE;
  while (block != OneWayLinks::NONE) {
    uint32_t next = links.blocks[block].next;
    give_back(links, block);
    block = next;
  }
}

}  // namespace tarnwick
