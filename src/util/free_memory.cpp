#include "util/free_memory.h"

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
