// A request that the line holding an address be brought into the caches.
//
// GCC treats __builtin_prefetch as free of side effects, so it infers that a
// function doing nothing but prefetches (prefetch_block, say) is pure and
// deletes every call to it before inlining: the requests vanish without a
// warning. An asm statement marked volatile is never deleted, so a request
// made through prefetch_line survives in any helper that wraps it.
#pragma once

namespace tarnwick {

inline void prefetch_line(const void* address) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
  // An empty volatile statement keeps the enclosing helper from being
  // taken for pure.
#if defined(__GNUC__)
  asm volatile("");
#endif
#endif
}

}  // namespace tarnwick
