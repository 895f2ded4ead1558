#include "persist/coding.h"

namespace tarnwick {

const char* decode_error_message(DecodeError error) {
  switch (error) {
    case DecodeError::None:
      return "";
    case DecodeError::EndOfInput:
      return "Hit the end of buffer, expected more data";
    case DecodeError::VarintTooLong:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case DecodeError::BadOptionTag:
      return "Found an Option discriminant that wasn't 0 or 1";
    case DecodeError::BadUtf8:
      return "Tried to parse invalid utf-8";
    case DecodeError::BadVariant:
      return "Serde Deserialization Error";
    case DecodeError::VectorTooLong:
      return "Found a vector of 2^32 or more components, more than a point can hold";
  }
  return "";
}

namespace {

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  while (i < size) {
    // Runs of ASCII go eight bytes at a time.
    if (size - i >= 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range depends on the lead: this is what rules out
    // overlong forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
    size_t length;
    uint8_t second_min = 0x80, second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_min = 0xA0;
      if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_min = 0x90;
      if (lead == 0xF4) second_max = 0x8F;
    } else {
      return false;  // a stray continuation byte, C0, C1 or F5 and above
    }
    if (size - i < length) return false;
    uint8_t second = bytes[i + 1];
    if (second < second_min || second > second_max) return false;
    for (size_t k = 2; k < length; ++k) {
      if (!is_continuation(bytes[i + k])) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace tarnwick
