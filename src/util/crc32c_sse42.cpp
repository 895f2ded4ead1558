// CRC-32C with the SSE4.2 crc32 instruction; built with -msse4.2 and used only
// when the processor reports the instruction.
#include <nmmintrin.h>

#include <cstring>

#include "util/crc32c.h"

namespace tarnwick {

namespace {

uint32_t extend_sse42(uint32_t crc, const void* bytes, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint64_t state = ~crc;
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    state = _mm_crc32_u64(state, word);
    p += 8;
    size -= 8;
  }
  uint32_t crc32 = static_cast<uint32_t>(state);
  while (size-- > 0) crc32 = _mm_crc32_u8(crc32, *p++);
  return ~crc32;
}

}  // namespace

Crc32cFunction crc32c_sse42() {
  return __builtin_cpu_supports("sse4.2") ? extend_sse42 : nullptr;
}

}  // namespace tarnwick
