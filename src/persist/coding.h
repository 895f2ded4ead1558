// Byte-level encoding of snapshot items: LEB128 varints, zigzag integers,
// little-endian floats, option tags and texts. Writers append to a buffer;
// readers advance a cursor and never look past its end.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// Why decoding stopped. Each kind has one fixed message (decode_error_message).
enum class DecodeError : uint8_t {
  None = 0,
  EndOfInput,          // an item runs past the end of the input
  VarintTooLong,       // a varint that does not end within its type's width
  BadOptionTag,        // an option byte other than 0 or 1
  BadUtf8,             // a text that is not valid UTF-8
  BadVariant,          // a payload variant index above 3
  VectorTooLong,       // a vector of 2^32 or more components, more than a point can hold
};

const char* decode_error_message(DecodeError error);

// Input that is still arriving while it is decoded: a file being read by
// another thread into the buffer the decoder reads.
class ArrivingInput {
 public:
  virtual ~ArrivingInput() = default;
  // Waits until the bytes before `wanted` have arrived, or no more will.
  // Returns the end of what has arrived.
  virtual const uint8_t* wait_for(const uint8_t* wanted) = 0;
};

// The unread part of the input. Functions that read from it advance `next`
// past what they consumed; on failure they record the error and the cursor's
// position is unspecified. `end` is where the input ends; when it is still
// arriving, only the bytes before `arrived` may be read yet (ensure waits).
struct Reader {
  const uint8_t* next;
  const uint8_t* end;
  const uint8_t* arrived;
  ArrivingInput* arriving = nullptr;
  DecodeError error = DecodeError::None;

  explicit Reader(std::string_view input)
      : next(reinterpret_cast<const uint8_t*>(input.data())), end(next + input.size()), arrived(end) {}

  size_t left() const { return static_cast<size_t>(end - next); }
  bool fail(DecodeError why) {
    error = why;
    return false;
  }
  // True once `count` bytes from `next` on may be read (waiting for them if
  // they are still arriving); false when the input ends before them.
  bool ensure(size_t count) {
    if (static_cast<size_t>(arrived - next) >= count) return true;
    return count <= left() && arriving != nullptr && more(count);
  }

 private:
  bool more(size_t count) {
    arrived = arriving->wait_for(next + count);
    return static_cast<size_t>(arrived - next) >= count;
  }
};

// ---- Writing -------------------------------------------------------------

// The write position in a buffer the caller has sized for everything written
// through it (the encoder sizes the whole file first); writers advance `next`.
struct Writer {
  char* next;
};

inline constexpr size_t MAX_VARINT64_BYTES = 10;

inline size_t varint_length(uint64_t value) {
  // One byte per started group of 7 bits; zero still takes one byte.
  return value == 0 ? 1 : (std::bit_width(value) + 6) / 7;
}

// Writes the shortest LEB128 form of value.
inline void put_varint(Writer& out, uint64_t value) {
  while (value >= 0x80) {
    *out.next++ = static_cast<char>(value | 0x80);
    value >>= 7;
  }
  *out.next++ = static_cast<char>(value);
}

inline uint64_t zigzag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

inline int64_t unzigzag(uint64_t value) {
  return static_cast<int64_t>((value >> 1) ^ (~(value & 1) + 1));
}

inline void put_byte(Writer& out, uint8_t byte) { *out.next++ = static_cast<char>(byte); }

inline void put_bytes(Writer& out, const void* bytes, size_t size) {
  if (size != 0) std::memcpy(out.next, bytes, size);
  out.next += size;
}

inline void put_text(Writer& out, std::string_view text) {
  put_varint(out, text.size());
  put_bytes(out, text.data(), text.size());
}

inline void put_float64(Writer& out, double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  put_bytes(out, &bits, sizeof bits);
}

// Writes the components' bit patterns, 4 bytes each, little-endian.
inline void put_floats(Writer& out, std::span<const float> values) {
  if constexpr (std::endian::native == std::endian::little) {
    put_bytes(out, values.data(), values.size_bytes());
  } else {
    for (float value : values) {
      uint32_t bits = __builtin_bswap32(std::bit_cast<uint32_t>(value));
      put_bytes(out, &bits, sizeof bits);
    }
  }
}

// ---- Reading -------------------------------------------------------------

// Reads a 64-bit varint: at most 10 bytes, the tenth holding only bit 63.
// Longer-than-necessary forms are accepted.
inline bool get_varint(Reader& in, uint64_t& value) {
  // Fast path: a one-byte varint, the most common item of a snapshot.
  if (in.next < in.arrived && *in.next < 0x80) {
    value = *in.next++;
    return true;
  }
  // Next most common: a short varint (an id below 2^28) with its bytes at hand.
  if (in.arrived - in.next >= 4) {
    const uint8_t* p = in.next;
    uint64_t result = p[0] & 0x7F;
    for (unsigned i = 1; i < 4; ++i) {
      result |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
      if (p[i] < 0x80) {
        in.next = p + i + 1;
        value = result;
        return true;
      }
    }
  }
  uint64_t result = 0;
  for (unsigned i = 0; i < MAX_VARINT64_BYTES; ++i) {
    if (!in.ensure(1)) return in.fail(DecodeError::EndOfInput);
    uint8_t byte = *in.next++;
    if (i == MAX_VARINT64_BYTES - 1 && byte > 0x01) return in.fail(DecodeError::VarintTooLong);
    result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if (byte < 0x80) {
      value = result;
      return true;
    }
  }
  return in.fail(DecodeError::VarintTooLong);  // not reached: the tenth byte ends it
}

// Reads a 32-bit varint: at most 5 bytes, the fifth holding only the top 4 bits.
inline bool get_varint32(Reader& in, uint32_t& value) {
  uint32_t result = 0;
  for (unsigned i = 0; i < 5; ++i) {
    if (!in.ensure(1)) return in.fail(DecodeError::EndOfInput);
    uint8_t byte = *in.next++;
    if (i == 4 && byte > 0x0F) return in.fail(DecodeError::VarintTooLong);
    result |= static_cast<uint32_t>(byte & 0x7F) << (7 * i);
    if (byte < 0x80) {
      value = result;
      return true;
    }
  }
  return in.fail(DecodeError::VarintTooLong);  // not reached: the fifth byte ends it
}

inline bool get_byte(Reader& in, uint8_t& byte) {
  if (!in.ensure(1)) return in.fail(DecodeError::EndOfInput);
  byte = *in.next++;
  return true;
}

// Reads an option tag: false in `present` for 0x00, true for 0x01.
inline bool get_option_tag(Reader& in, bool& present) {
  uint8_t tag;
  if (!get_byte(in, tag)) return false;
  if (tag > 1) return in.fail(DecodeError::BadOptionTag);
  present = tag == 1;
  return true;
}

inline bool get_float64(Reader& in, double& value) {
  uint64_t bits;
  if (!in.ensure(sizeof bits)) return in.fail(DecodeError::EndOfInput);
  std::memcpy(&bits, in.next, sizeof bits);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  in.next += sizeof bits;
  value = std::bit_cast<double>(bits);
  return true;
}

// Copies `count` little-endian float bit patterns into out; the caller has
// ensured that 4 * count bytes may be read.
inline void copy_floats(Reader& in, float* out, size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    if (count != 0) std::memcpy(out, in.next, count * sizeof(float));
  } else {
    for (size_t i = 0; i < count; ++i) {
      uint32_t bits;
      std::memcpy(&bits, in.next + i * sizeof bits, sizeof bits);
      out[i] = std::bit_cast<float>(__builtin_bswap32(bits));
    }
  }
  in.next += count * sizeof(float);
}

// True when bytes[0..size) is well-formed UTF-8: shortest forms only, no
// surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const uint8_t* bytes, size_t size);

// Reads a text: its byte length, checked against the bytes left before the
// UTF-8 is validated. `text` views the input.
inline bool get_text(Reader& in, std::string_view& text) {
  uint64_t length;
  if (!get_varint(in, length)) return false;
  if (length > in.left() || !in.ensure(static_cast<size_t>(length))) {
    return in.fail(DecodeError::EndOfInput);
  }
  if (!is_valid_utf8(in.next, length)) return in.fail(DecodeError::BadUtf8);
  text = std::string_view(reinterpret_cast<const char*>(in.next), length);
  in.next += length;
  return true;
}

}  // namespace tarnwick
