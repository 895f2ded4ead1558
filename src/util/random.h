// Randomness from the operating system: the seeds of hash maps, level
// generators and temporary file names.
#pragma once

#include <cstdint>

namespace tarnwick {

// A fresh 64-bit seed from the operating system's random source.
uint64_t random_seed();

}  // namespace tarnwick
