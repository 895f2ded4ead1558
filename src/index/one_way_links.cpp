#include "index/one_way_links.h"

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
std::unordered_set<uint32_t>* crowd_of(OneWayLinks& links, uint32_t target) {
  if (links.crowded.empty()) return nullptr;
  auto it = links.crowded.find(target);
  return it == links.crowded.end() ? nullptr : &it->second;
}

// Moves the sources of `target` from its blocks into a set.
std::unordered_set<uint32_t>& make_crowd(OneWayLinks& links, uint32_t target) {
  std::unordered_set<uint32_t> sources;
  for_each_one_way(links, target, [&](uint32_t s) { sources.insert(s); });
  clear_one_way(links, target);
  return links.crowded[target] = std::move(sources);
}

}  // namespace

bool has_one_way(const OneWayLinks& links, uint32_t target, uint32_t source) {
  if (!links.crowded.empty()) {
    auto it = links.crowded.find(target);
    if (it != links.crowded.end()) return it->second.contains(source);
  }
  bool found = false;
  for_each_one_way(links, target, [&](uint32_t s) { found |= s == source; });
  return found;
}

void add_one_way(OneWayLinks& links, uint32_t target, uint32_t source) {
  if (auto* crowd = crowd_of(links, target)) {
    crowd->insert(source);
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
    make_crowd(links, target).insert(source);
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
  if (auto* crowd = crowd_of(links, target)) {
    crowd->erase(source);
    if (crowd->empty()) links.crowded.erase(target);
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
