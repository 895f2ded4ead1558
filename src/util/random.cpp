#include "util/random.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace tarnwick {

// getentropy (glibc 2.25) rather than std::random_device: with the C++ runtime
// linked in, random_device would bind arc4random, which only glibc 2.36 has,
// and narrow the Linux systems the module loads on.
uint64_t random_seed() {
  uint64_t seed = 0;
  if (getentropy(&seed, sizeof seed) == 0) return seed;
  // No entropy source (a kernel older than 3.17): the clock still differs from run to run.
  auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return ticks ^ reinterpret_cast<uintptr_t>(&seed);
}

}  // namespace tarnwick
