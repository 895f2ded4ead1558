// The str objects that payload dicts handed to Python use as keys.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table/payload.h"

namespace tarnwick {

// Hands out one str object per distinct payload key, so that building a hit's
// payload dict neither decodes its keys again nor hashes them again (a str
// keeps its hash once computed). The objects are plain, mortal str objects:
// interning them would make them immortal in CPython 3.12, and keys that come
// and go would then stay for the life of the process.
//
// It also keeps the keys of the last payload it saw and, once two payloads in
// a row had the same keys, a dict of those keys (each with None) that a new
// dict for the same keys starts as a copy of: the copy takes the key table at
// its final size in one piece, where inserting grows it step by step.
//
// Owned by one store object and used only with the interpreter lock held;
// nothing it calls runs Python code. At most MAX_ENTRIES keys of at most
// MAX_KEY_BYTES bytes are kept; a longer key gets a new object each time, and
// a new key once the cache is full starts it over. The cache holds one
// reference to each object it keeps and drops them with it.
class PayloadKeyCache {
 public:
  static constexpr size_t MAX_ENTRIES = 1024;
  static constexpr size_t MAX_KEY_BYTES = 128;

  PayloadKeyCache() = default;
  PayloadKeyCache(const PayloadKeyCache&) = delete;
  PayloadKeyCache& operator=(const PayloadKeyCache&) = delete;
  ~PayloadKeyCache() { clear(); }

  // Returns a new dict holding the payload's entries in their order, or null
  // with an exception set.
  PyObject* build_dict(const Payload& payload);

  // Drops the cache's references.
  void clear();

  size_t size() const { return entries_.size(); }

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  using Map = std::unordered_map<std::string, PyObject*, TextHash, std::equal_to<>>;

  // Returns a new reference to a str equal to the UTF-8 text `key`, or null
  // with an exception set; `kept` is the cache's entry for it, or null.
  PyObject* key_object(std::string_view key, Map::value_type*& kept);
  bool same_as_last(std::span<const PayloadEntry> entries) const;

  Map entries_;
  // The entries of the last payload's keys, in order; empty when one was not kept.
  std::vector<Map::value_type*> last_keys_;
  PyRef last_template_;  // null until the last keys came twice in a row
  size_t changes_ = 0;    // counts each start over and each change of the last keys
};

// Returns a new object for a payload value, or null with an exception set.
PyObject* build_payload_value(const PayloadValue& value);

}  // namespace tarnwick
