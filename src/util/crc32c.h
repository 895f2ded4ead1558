// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of log
// records: a portable table version and, on x86-64 processors that have it,
// the SSE4.2 instruction, chosen once at run time. Both give the same value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// The CRC-32C of bytes[0..size) continued from `crc` (0 to start).
uint32_t crc32c_extend(uint32_t crc, const void* bytes, size_t size);
inline uint32_t crc32c(const void* bytes, size_t size) { return crc32c_extend(0, bytes, size); }

// The portable version, the reference the fast one is checked against.
uint32_t crc32c_extend_portable(uint32_t crc, const void* bytes, size_t size);
// The SSE4.2 version; null when this build or processor has none.
using Crc32cFunction = uint32_t (*)(uint32_t, const void*, size_t);
Crc32cFunction crc32c_sse42();

// A stored checksum is masked, so that the checksum of bytes that hold a
// checksum is not itself trivially related to it.
inline uint32_t mask_crc(uint32_t crc) { return ((crc >> 15) | (crc << 17)) + 0xA282EAD8u; }

}  // namespace tarnwick
