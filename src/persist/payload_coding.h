// Payload values as snapshots and the log write them: a variant byte (the
// value's kind), then the text, the zigzag varint or the little-endian
// float64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "persist/coding.h"
#include "table/payload.h"

namespace tarnwick {

inline size_t payload_value_size(const PayloadValue& value) {
  switch (value.kind) {
    case PayloadKind::Keyword:
    case PayloadKind::Text:
      return 1 + varint_length(value.text.size()) + value.text.size();
    case PayloadKind::Integer:
      return 1 + varint_length(zigzag(value.integer));
    case PayloadKind::Float:
      return 1 + sizeof(double);
  }
  return 0;
}

inline void put_payload_value(Writer& out, const PayloadValue& value) {
  put_byte(out, static_cast<uint8_t>(value.kind));
  switch (value.kind) {
    case PayloadKind::Keyword:
    case PayloadKind::Text:
      put_text(out, value.text);
      break;
    case PayloadKind::Integer:
      put_varint(out, zigzag(value.integer));
      break;
    case PayloadKind::Float:
      put_float64(out, value.number);
      break;
  }
}

// Reads a value into `value`, a default (Integer 0) one: straight into place,
// with no temporary value or string.
inline bool get_payload_value(Reader& in, PayloadValue& value) {
  uint32_t variant;
  if (!get_varint32(in, variant)) return false;
  switch (variant) {
    case static_cast<uint32_t>(PayloadKind::Keyword):
    case static_cast<uint32_t>(PayloadKind::Text): {
      std::string_view text;
      if (!get_text(in, text)) return false;
      value.kind = static_cast<PayloadKind>(variant);
      value.text.assign(text);
      return true;
    }
    case static_cast<uint32_t>(PayloadKind::Integer): {
      uint64_t encoded;
      if (!get_varint(in, encoded)) return false;
      value.integer = unzigzag(encoded);
      return true;
    }
    case static_cast<uint32_t>(PayloadKind::Float): {
      double number;
      if (!get_float64(in, number)) return false;
      value.kind = PayloadKind::Float;
      value.number = number;
      return true;
    }
    default:
      return in.fail(DecodeError::BadVariant);
  }
}

}  // namespace tarnwick
