#include "table/payload.h"

#include <algorithm>

namespace tarnwick {

PayloadValue PayloadValue::from_text(std::string text) {
  return text.size() <= KEYWORD_MAX_BYTES ? keyword(std::move(text)) : long_text(std::move(text));
}

PayloadValue PayloadValue::keyword(std::string text) {
  PayloadValue value;
  value.kind = PayloadKind::Keyword;
  value.text = std::move(text);
  return value;
}

PayloadValue PayloadValue::long_text(std::string text) {
  PayloadValue value;
  value.kind = PayloadKind::Text;
  value.text = std::move(text);
  return value;
}

PayloadValue PayloadValue::from_integer(int64_t integer) {
  PayloadValue value;
  value.kind = PayloadKind::Integer;
  value.integer = integer;
  return value;
}

PayloadValue PayloadValue::from_float(double number) {
  PayloadValue value;
  value.kind = PayloadKind::Float;
  value.number = number;
  return value;
}

Payload make_payload(std::vector<PayloadEntry> entries) {
  // A stable sort keeps equal keys in arrival order, so the last of each run wins.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const PayloadEntry& a, const PayloadEntry& b) { return a.key < b.key; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    bool superseded = i + 1 < entries.size() && entries[i + 1].key == entries[i].key;
    if (superseded) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
  return Payload{std::move(entries)};
}

const PayloadValue* find_value(const Payload& payload, std::string_view key) {
  auto it = std::lower_bound(
      payload.entries.begin(), payload.entries.end(), key,
      [](const PayloadEntry& entry, std::string_view wanted) { return entry.key < wanted; });
  if (it == payload.entries.end() || it->key != key) return nullptr;
  return &it->value;
}

bool tenant_of(const Payload* payload, std::string_view& tenant) {
  if (payload == nullptr) return false;
  const PayloadValue* value = find_value(*payload, TENANT_KEY);
  if (value == nullptr || !value->is_text()) return false;
  tenant = value->text;
  return true;
}

}  // namespace tarnwick
