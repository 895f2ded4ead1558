// The C++ tests' harness: CHECK counts a condition and prints the ones that
// fail; finish_checks() prints "N passed, M failed" (what the Python side reads)
// and gives the exit status.
#pragma once

#include <cstdio>

namespace tarnwick_test {

inline int passed = 0;
inline int failed = 0;

inline int finish_checks() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace tarnwick_test

#define CHECK(cond)                                                 \
  do {                                                              \
    if (cond) {                                                     \
      ++tarnwick_test::passed;                                      \
    } else {                                                        \
      ++tarnwick_test::failed;                                      \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
    }                                                               \
  } while (0)
