// VectorStorage's properties and its sequence slots (len, in): each reads
// or sets one of the store's settings or counts.
#include "vector_storage_object.h"

#include <optional>
#include <string>

#include "binding.h"
#include "docstrings.h"
#include "persist/write_ahead_log.h"
#include "storage/search.h"

namespace tarnwick {

Py_ssize_t vector_storage_length(PyObject* self) {
  return guard_entry_point<Py_ssize_t>(
      -1, [&] { return static_cast<Py_ssize_t>(point_count(store_of(self))); });
}

// `id in store`: an int outside the id range is simply not stored; an object
// that is not an integer raises what the id conversion raises.
int vector_storage_contains(PyObject* self, PyObject* key) {
  uint64_t point_id;
  if (!convert_u64(key, point_id)) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return guard_entry_point(-1, [&] { return contains_point(store_of(self), point_id) ? 1 : 0; });
}

namespace {

PyObject* get_ef_search(PyObject* self, void*) {
  return guard_entry_point<PyObject*>(nullptr, [&] {
    return PyLong_FromUnsignedLongLong(graph_parameters(store_of(self)).ef_search);
  });
}

int set_ef_search_property(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'ef_search'");
    return -1;
  }
  PyRef number = PyRef::steal(PyNumber_Index(value));
  if (!number) return -1;
  int overflow = 0;
  long long ef = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (ef == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || ef < 1 || static_cast<unsigned long long>(ef) > MAX_EF_SEARCH) {
    PyErr_Format(PyExc_ValueError, "ef_search must be an int from 1 to %llu, got %R",
                 static_cast<unsigned long long>(MAX_EF_SEARCH), number.get());
    return -1;
  }
  return guard_entry_point(-1, [&] {
    return raise_status(set_ef_search(store_of(self), static_cast<uint64_t>(ef))) ? 0 : -1;
  });
}

PyObject* get_early_stop(PyObject* self, void*) {
  return PyBool_FromLong(store_of(self).fast_queries.load());
}

int set_early_stop_property(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'early_stop'");
    return -1;
  }
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "early_stop must be a bool, got %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  store_of(self).fast_queries.store(value == Py_True);
  return 0;
}

PyObject* get_m(PyObject* self, void*) {
  return guard_entry_point<PyObject*>(nullptr, [&] {
    return PyLong_FromUnsignedLongLong(graph_parameters(store_of(self)).m);
  });
}

PyObject* get_ef_construction(PyObject* self, void*) {
  return guard_entry_point<PyObject*>(nullptr, [&] {
    return PyLong_FromUnsignedLongLong(graph_parameters(store_of(self)).ef_construction);
  });
}

PyObject* get_change_count(PyObject* self, void*) {
  // A change in progress holds the count's lock: it is waited for without the
  // interpreter lock.
  return guard_entry_point<PyObject*>(nullptr, [&] {
    Store& store = store_of(self);
    return PyLong_FromUnsignedLongLong(without_interpreter_lock([&] { return changes_taken(store); }));
  });
}

PyObject* get_log_path(PyObject* self, void*) {
  return guard_entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string> path = log_path(store_of(self));
    if (!path) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(path->data(), static_cast<Py_ssize_t>(path->size()));
  });
}

PyObject* get_followed_log(PyObject* self, void*) {
  return guard_entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::shared_ptr<LogFollower>& follower = follower_of(self);
    if (!follower) Py_RETURN_NONE;
    const std::string& path = follower->given_log_path;
    return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  });
}

PyGetSetDef VECTOR_STORAGE_PROPERTIES[] = {
    {"ef_search", get_ef_search, set_ef_search_property, docs::EF_SEARCH, nullptr},
    {"m", get_m, nullptr, docs::M, nullptr},
    {"ef_construction", get_ef_construction, nullptr, docs::EF_CONSTRUCTION, nullptr},
    {"log_path", get_log_path, nullptr, docs::LOG_PATH, nullptr},
    {"followed_log", get_followed_log, nullptr, docs::FOLLOWED_LOG, nullptr},
    {"early_stop", get_early_stop, set_early_stop_property, docs::EARLY_STOP, nullptr},
    {"change_count", get_change_count, nullptr, docs::CHANGE_COUNT, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef* vector_storage_properties() { return VECTOR_STORAGE_PROPERTIES; }

}  // namespace tarnwick
