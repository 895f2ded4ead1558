#include "payload_keys.h"

namespace tarnwick {

PyObject* build_payload_value(const PayloadValue& value) {
  switch (value.kind) {
    case PayloadKind::Keyword:
    case PayloadKind::Text:
      return PyUnicode_FromStringAndSize(value.text.data(), static_cast<Py_ssize_t>(value.text.size()));
    case PayloadKind::Integer:
      return PyLong_FromLongLong(value.integer);
    case PayloadKind::Float:
      return PyFloat_FromDouble(value.number);
  }
  PyErr_SetString(PyExc_SystemError, "unknown payload value kind");
  return nullptr;
}

PyObject* PayloadKeyCache::key_object(std::string_view key, Map::value_type*& kept) {
  kept = nullptr;
  if (auto found = entries_.find(key); found != entries_.end()) {
    kept = &*found;
    return Py_NewRef(found->second);
  }
  PyRef object = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!object || key.size() > MAX_KEY_BYTES) return object.release();
  // The hash is computed now, once, rather than by the first dict it goes into.
  if (PyObject_Hash(object.get()) == -1) return nullptr;
  if (entries_.size() >= MAX_ENTRIES) clear();
  auto entry = entries_.emplace(std::string(key), object.get()).first;
  Py_INCREF(object.get());  // the cache's own reference, taken once the entry is in place
  kept = &*entry;
  return object.release();
}

bool PayloadKeyCache::same_as_last(std::span<const PayloadEntry> entries) const {
  if (entries.empty() || entries.size() != last_keys_.size()) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].key != last_keys_[i]->first) return false;
  }
  return true;
}

PyObject* PayloadKeyCache::build_dict(const Payload& payload) {
  const std::span<const PayloadEntry> entries = payload.entries;
  if (same_as_last(entries)) {
    // Everything is held here from the start: making an object can run the
    // garbage collector, whose finalizers may let another thread use the
    // cache meanwhile (and start it over, or move on to other keys).
    const size_t changes_before = changes_;
    std::vector<PyRef> held;
    held.reserve(entries.size());
    for (Map::value_type* key : last_keys_) held.push_back(PyRef::borrow(key->second));
    PyRef base = PyRef::borrow(last_template_.get());
    if (!base) {
      // The second payload in a row with these keys: the template is made once.
      base = PyRef::steal(PyDict_New());
      if (!base) return nullptr;
      for (const PyRef& key : held) {
        if (PyDict_SetItem(base.get(), key.get(), Py_None) < 0) return nullptr;
      }
      if (changes_ == changes_before) last_template_ = PyRef::borrow(base.get());
    }
    PyRef dict = PyRef::steal(PyDict_Copy(base.get()));
    if (!dict) return nullptr;
    // Every key of the copy gets its value; no key is added, so the order stays.
    for (size_t i = 0; i < entries.size(); ++i) {
      PyRef value = PyRef::steal(build_payload_value(entries[i].value));
      if (!value || PyDict_SetItem(dict.get(), held[i].get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  }

  last_keys_.clear();
  last_template_ = PyRef();
  ++changes_;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  std::vector<Map::value_type*> keys;
  keys.reserve(entries.size());
  bool all_kept = true;
  const size_t changes_before = changes_;
  for (const PayloadEntry& entry : entries) {
    PyRef value = PyRef::steal(build_payload_value(entry.value));
    if (!value) return nullptr;
    Map::value_type* kept;
    PyRef key = PyRef::steal(key_object(entry.key, kept));
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    all_kept = all_kept && kept != nullptr;
    keys.push_back(kept);
  }
  // Entries kept before the cache started over are gone.
  if (all_kept && changes_ == changes_before) last_keys_ = std::move(keys);
  return dict.release();
}

void PayloadKeyCache::clear() {
  // Moved out first, so that the cache is already empty while the objects go.
  last_keys_.clear();
  PyRef dropped_template = std::move(last_template_);
  Map dropped;
  dropped.swap(entries_);
  ++changes_;
  for (auto& [text, object] : dropped) Py_DECREF(object);
}

}  // namespace tarnwick
