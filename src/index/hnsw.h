// The HNSW graph record: its parameters, entry point and nodes.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick {

inline constexpr size_t MAX_LAYERS = 16;

struct HnswIndex {
  uint64_t m = 16;                 // link budget per list
  uint64_t ef_construction = 64;   // beam width of insertion
  uint64_t ef_search = 32;         // beam width of search
  std::optional<uint64_t> entry_point;  // absent while the graph is empty
  uint64_t max_level = 0;
  size_t node_count = 0;           // nodes linked so far
};

}  // namespace tarnwick
