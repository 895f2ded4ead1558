// Handing memory the allocator holds free back to the system.
#pragma once

namespace tarnwick {

// Gives back the free memory the allocator keeps in its heaps. A large batch
// frees many blocks of a few hundred kilobytes to a megabyte (converted input,
// per-step arrays); glibc serves blocks of that size from its heaps once
// earlier ones were freed, and keeps the pages of freed ones: about 5% of a
// built store's size. Costs a walk over the heaps' free blocks; a no-op where
// the C library has no such call.
void release_free_memory();

}  // namespace tarnwick
