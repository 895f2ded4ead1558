// The portable CRC-32C (slicing by eight tables) and the run-time choice of
// the version every caller uses.
#include "util/crc32c.h"

#include <array>
#include <bit>
#include <cstring>

namespace tarnwick {

namespace {

constexpr uint32_t POLYNOMIAL = 0x82F63B78u;

// tables[k][b]: the CRC of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? POLYNOMIAL : 0);
    tables[0][b] = crc;
  }
  for (size_t k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t previous = tables[k - 1][b];
      tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr auto TABLES = make_tables();

Crc32cFunction choose() {
  Crc32cFunction fast = crc32c_sse42();
  return fast != nullptr ? fast : crc32c_extend_portable;
}

}  // namespace

uint32_t crc32c_extend_portable(uint32_t crc, const void* bytes, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  crc = ~crc;
  while (size >= 8) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      low = __builtin_bswap32(low);
      high = __builtin_bswap32(high);
    }
    low ^= crc;
    crc = TABLES[7][low & 0xFF] ^ TABLES[6][(low >> 8) & 0xFF] ^ TABLES[5][(low >> 16) & 0xFF] ^
          TABLES[4][low >> 24] ^ TABLES[3][high & 0xFF] ^ TABLES[2][(high >> 8) & 0xFF] ^
          TABLES[1][(high >> 16) & 0xFF] ^ TABLES[0][high >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) crc = (crc >> 8) ^ TABLES[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

uint32_t crc32c_extend(uint32_t crc, const void* bytes, size_t size) {
  static const Crc32cFunction chosen = choose();
  return chosen(crc, bytes, size);
}

#if !defined(TARNWICK_HAVE_SSE42)
Crc32cFunction crc32c_sse42() { return nullptr; }
#endif

}  // namespace tarnwick
