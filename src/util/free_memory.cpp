#include "util/free_memory.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tarnwick {

void release_free_memory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace tarnwick
