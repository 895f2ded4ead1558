// The VectorStorage object's layout, shared by the files that bind its
// methods and its properties.
#pragma once

#include "py_ref.h"

#include <memory>

#include "payload_keys.h"
#include "persist/log_follower.h"
#include "storage/store.h"

namespace tarnwick {

struct VectorStorageObject {
  PyObject_HEAD
  Store* store;  // owned; created by __new__, dropped by dealloc
  // Constructed by __new__, dropped by dealloc; null unless the store follows
  // a log. Read and replaced with the interpreter lock held; a call working on
  // the follower without it holds a reference of its own.
  std::shared_ptr<LogFollower> follower;
  // Constructed by __new__, dropped by dealloc; the str objects of payload
  // keys that results reuse. Used with the interpreter lock held.
  PayloadKeyCache payload_keys;
};

inline Store& store_of(PyObject* self) {
  return *reinterpret_cast<VectorStorageObject*>(self)->store;
}
inline PayloadKeyCache& payload_keys_of(PyObject* self) {
  return reinterpret_cast<VectorStorageObject*>(self)->payload_keys;
}
inline std::shared_ptr<LogFollower>& follower_of(PyObject* self) {
  return reinterpret_cast<VectorStorageObject*>(self)->follower;
}

// The class's properties (ef_search, early_stop, m, ef_construction,
// log_path, followed_log, change_count), as the type's getset table.
PyGetSetDef* vector_storage_properties();

// len(store) and `id in store`.
Py_ssize_t vector_storage_length(PyObject* self);
int vector_storage_contains(PyObject* self, PyObject* key);

}  // namespace tarnwick
