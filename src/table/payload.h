// Payload values: the small map of named scalars a point may carry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Variant order is part of the snapshot format: the index is what a file stores.
enum class PayloadKind : uint8_t { Keyword = 0, Text = 1, Integer = 2, Float = 3 };

// Texts of at most this many UTF-8 bytes are stored as Keyword, longer ones as Text.
inline constexpr size_t KEYWORD_MAX_BYTES = 64;

struct PayloadValue {
  PayloadKind kind = PayloadKind::Integer;
  std::string text;  // Keyword and Text
  union {
    int64_t integer = 0;  // Integer
    double number;        // Float
  };

  static PayloadValue from_text(std::string text);
  static PayloadValue keyword(std::string text);
  static PayloadValue long_text(std::string text);
  static PayloadValue from_integer(int64_t value);
  static PayloadValue from_float(double value);

  bool is_text() const { return kind == PayloadKind::Keyword || kind == PayloadKind::Text; }
};

struct PayloadEntry {
  std::string key;
  PayloadValue value;
};

// A payload keeps its entries sorted by key, each key once; that is also its
// iteration order.
struct Payload {
  std::vector<PayloadEntry> entries;
};

// Builds a payload from entries in arrival order: of entries with equal keys the
// later one wins.
Payload make_payload(std::vector<PayloadEntry> entries_in_order);

// Returns the value under key, or nullptr.
const PayloadValue* find_value(const Payload& payload, std::string_view key);

inline constexpr std::string_view TENANT_KEY = "tenant_id";

// The tenant text of a payload: its "tenant_id" entry when that entry is a text.
// Returns false when the payload names no tenant.
bool tenant_of(const Payload* payload, std::string_view& tenant);

}  // namespace tarnwick
