// Hashes keyed by a random seed chosen per map, so crafted keys cannot pile up
// in one bucket.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/random.h"

namespace tarnwick {

inline uint64_t mix_product(uint64_t a, uint64_t b) {
  __uint128_t product = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t hash_id(uint64_t id, uint64_t seed) {
  return mix_product(id ^ seed, 0x9E3779B97F4A7C15ULL ^ (seed >> 7 | 1));
}

inline uint64_t hash_text(std::string_view text, uint64_t seed) {
  uint64_t h = seed ^ (text.size() * 0xA0761D6478BD642FULL);
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = mix_product(h ^ word, 0xE7037ED1A0B428DBULL);
  }
  uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  return mix_product(h ^ tail, 0x8EBC6AF09C88C6E3ULL ^ seed);
}

// Hasher for std::unordered_map keyed by text, with transparent lookup.
struct SeededTextHash {
  using is_transparent = void;
  uint64_t seed = random_seed();
  size_t operator()(std::string_view text) const { return hash_text(text, seed); }
};

}  // namespace tarnwick
