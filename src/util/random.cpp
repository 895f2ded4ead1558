#include "util/random.h"

#include <random>

namespace tarnwick {

uint64_t random_seed() {
  std::random_device source;
  return (static_cast<uint64_t>(source()) << 32) ^ source();
}

}  // namespace tarnwick
