// The parameter types of VectorStorage's methods and their conversions: each
// parameter's type says how its argument is converted; convert_parameter
// converts one (`object` is null for a parameter not given) and returns false
// with a Python exception set, noted with the argument's name. Included by the
// module alone.
#pragma once

#include "py_ref.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "filter_reader.h"
#include "persist/log_follower.h"
#include "persist/write_ahead_log.h"
#include "storage/search.h"

namespace tarnwick {

// Converts one argument, adding the note that names it when the conversion fails.
template <typename Convert, typename Value>
inline bool convert_argument(const char* name, Convert convert, PyObject* object, Value& out) {
  if (convert(object, out)) return true;
  add_argument_note(name);
  return false;
}

inline bool convert_parameter(PyObject* object, const char* name, uint64_t& out) {
  return convert_argument(name, convert_u64, object, out);
}

inline bool convert_parameter(PyObject* object, const char* name, std::string& out) {
  return convert_argument(name, convert_text, object, out);
}

inline bool convert_parameter(PyObject* object, const char* name, std::vector<float>& out) {
  return convert_argument(name, convert_vector, object, out);
}

// A file path of the methods added after the five: a str, or an os.PathLike
// whose path is a str (a pathlib.Path).
struct FilePath {
  std::string text;
};

inline bool convert_file_path(PyObject* object, std::string& out) {
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  return path && convert_text(path.get(), out);
}

inline bool convert_parameter(PyObject* object, const char* name, FilePath& out) {
  return convert_argument(name, convert_file_path, object, out.text);
}

// A batch of queries: any failure, of the list or of one item, is noted with
// the argument's name alone.
inline bool convert_parameter(PyObject* object, const char* name, VectorList& out) {
  return convert_argument(name, convert_vector_list, object, out);
}

// A batch of vectors to store: a failing item is noted with its index.
struct NumberedVectorList {
  VectorList list;
};

inline bool convert_parameter(PyObject* object, const char* name, NumberedVectorList& out) {
  size_t failed_item = SIZE_MAX;
  if (convert_vector_list_items(object, out.list, failed_item)) return true;
  if (failed_item == SIZE_MAX) {
    add_argument_note(name);
  } else {
    add_item_note(name, failed_item);
  }
  return false;
}

// An absent or None tenant_id means no tenant filter.
inline bool convert_parameter(PyObject* object, const char* name, std::optional<std::string>& out) {
  if (object == nullptr || object == Py_None) return true;
  out.emplace();
  return convert_argument(name, convert_text, object, *out);
}

inline bool convert_parameter(PyObject* object, const char*, std::unique_ptr<Payload>& out) {
  return convert_payload(object, out);
}

inline bool convert_parameter(PyObject* object, const char* name, std::vector<uint64_t>& out) {
  return convert_id_list(object, name, out);
}

// Absent or None: no payloads at all, as opposed to a list of them.
inline bool convert_parameter(PyObject* object, const char* name,
                       std::optional<std::vector<std::unique_ptr<Payload>>>& out) {
  if (object == nullptr || object == Py_None) return true;
  return convert_payload_list(object, name, out.emplace());
}

// A callable argument that may be left out or None (then null). Borrowed.
struct Callback {
  PyObject* callable = nullptr;
};

inline bool convert_parameter(PyObject* object, const char* name, Callback& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyCallable_Check(object)) {
    out.callable = object;
    return true;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object is not callable", qualname.get());
  add_argument_note(name);
  return false;
}

// The parameters of query and batch_query, which default to a value of their
// own when left out.

// limit: 10 when left out.
struct QueryLimit {
  uint64_t value = 10;
};

inline bool convert_parameter(PyObject* object, const char* name, QueryLimit& out) {
  if (object == nullptr) return true;
  return convert_argument(name, convert_u64, object, out.value);
}

// metric: "cosine" when left out.
struct MetricName {
  std::string text = "cosine";
};

inline bool convert_parameter(PyObject* object, const char* name, MetricName& out) {
  if (object == nullptr) return true;
  return convert_argument(name, convert_text, object, out.text);
}

// ef: left out or None keeps the store's beam (0); else an int from 1 to MAX_EF_SEARCH.
struct BeamOverride {
  uint64_t value = 0;
};

inline bool convert_beam(PyObject* object, uint64_t& out) {
  if (!convert_u64(object, out)) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    out = 0;  // out of range: refused below
  }
  if (out >= 1 && out <= MAX_EF_SEARCH) return true;
  PyErr_Format(PyExc_ValueError, "ef must be an int from 1 to %llu, got %R",
               static_cast<unsigned long long>(MAX_EF_SEARCH), object);
  return false;
}

inline bool convert_parameter(PyObject* object, const char* name, BeamOverride& out) {
  if (object == nullptr || object == Py_None) return true;
  return convert_argument(name, convert_beam, object, out.value);
}

// with_payload: a bool, False when left out.
struct Flag {
  bool value = false;
};

inline bool convert_flag(PyObject* object, bool& out) {
  if (!PyBool_Check(object)) {
    raise_type_mismatch(object, "bool");
    return false;
  }
  out = object == Py_True;
  return true;
}

inline bool convert_parameter(PyObject* object, const char* name, Flag& out) {
  if (object == nullptr) return true;
  return convert_argument(name, convert_flag, object, out.value);
}

// early_stop: a bool; left out or None leaves the choice to the store.
struct OptionalFlag {
  std::optional<bool> value;
};

inline bool convert_parameter(PyObject* object, const char* name, OptionalFlag& out) {
  if (object == nullptr || object == Py_None) return true;
  bool value = false;
  if (!convert_argument(name, convert_flag, object, value)) return false;
  out.value = value;
  return true;
}

// where: left out or None means no condition.
struct WhereArgument {
  std::optional<Filter> filter;
};

inline bool convert_parameter(PyObject* object, const char* name, WhereArgument& out) {
  if (object == nullptr || object == Py_None) return true;
  if (read_filter(object, out.filter.emplace())) return true;
  add_argument_note(name);
  return false;
}

inline const Filter* where_filter(const WhereArgument& where) {
  return where.filter ? &*where.filter : nullptr;
}

// How an open log syncs: absent means "always".
struct SyncChoice {
  LogSync mode = LogSync::Always;
};

inline bool convert_parameter(PyObject* object, const char* name, SyncChoice& out) {
  if (object == nullptr) return true;
  std::string text;
  if (!convert_argument(name, convert_text, object, text)) return false;
  if (text == "always") {
    out.mode = LogSync::Always;
  } else if (text == "batch") {
    out.mode = LogSync::Batch;
  } else if (text == "none") {
    out.mode = LogSync::None;
  } else {
    PyErr_Format(PyExc_ValueError, "sync must be 'always', 'batch' or 'none', got %R", object);
    add_argument_note(name);
    return false;
  }
  return true;
}

// The priority a follower's polling thread applies records at: absent means low.
struct FollowPriority {
  PollingPriority priority = PollingPriority::Low;
};

inline bool convert_parameter(PyObject* object, const char* name, FollowPriority& out) {
  if (object == nullptr) return true;
  std::string text;
  if (!convert_argument(name, convert_text, object, text)) return false;
  if (text == "low") {
    out.priority = PollingPriority::Low;
  } else if (text == "normal") {
    out.priority = PollingPriority::Normal;
  } else {
    PyErr_Format(PyExc_ValueError, "priority must be 'low' or 'normal', got %R", object);
    add_argument_note(name);
    return false;
  }
  return true;
}

// How often a follower's thread looks for new records: absent means every
// 50 ms; None means no thread (catch_up alone); else seconds, above 0 and at
// most an hour.
struct PollInterval {
  std::chrono::nanoseconds interval{std::chrono::milliseconds(50)};
};

inline bool convert_poll(PyObject* object, std::chrono::nanoseconds& out) {
  double seconds = PyFloat_AsDouble(object);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds > 0.0 && seconds <= 3600.0)) {
    PyErr_Format(PyExc_ValueError, "poll must be None or a number of seconds above 0 and at most 3600, got %R",
                 object);
    return false;
  }
  out = std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
  if (out.count() == 0) out = std::chrono::nanoseconds(1);
  return true;
}

inline bool convert_parameter(PyObject* object, const char* name, PollInterval& out) {
  if (object == nullptr) return true;
  if (object == Py_None) {
    out.interval = std::chrono::nanoseconds(0);
    return true;
  }
  return convert_argument(name, convert_poll, object, out.interval);
}

}  // namespace tarnwick
