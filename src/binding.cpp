// Argument binding, conversions to and from Python objects, and the one
// mapping of core statuses to Python exceptions.
#include "binding.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string_view>

#include "buffer_reader.h"

namespace tarnwick {

namespace {

// A sequence's reported length only hints the capacity; it is capped so that an
// object claiming an absurd length cannot make us allocate before it yields.
constexpr Py_ssize_t MAX_RESERVED_ITEMS = Py_ssize_t{1} << 16;

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return {};
  return {data, static_cast<size_t>(size)};
}

// The qualified name of collections.abc.Sequence, looked up once per process.
const char* sequence_target_name() {
  static PyObject* qualname = nullptr;  // kept for the life of the process
  if (qualname == nullptr) {
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyRef sequence = abc ? PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : PyRef();
    PyRef name = sequence ? PyRef::steal(PyObject_GetAttrString(sequence.get(), "__qualname__"))
                          : PyRef();
    if (!name || !PyUnicode_Check(name.get()) || utf8_view(name.get()).data() == nullptr) {
      PyErr_Clear();
      return "Sequence";
    }
    if (qualname == nullptr) qualname = name.release();
  }
  return PyUnicode_AsUTF8(qualname);
}

void raise_missing(const MethodSpec& spec, PyObject** slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(spec.names[i]);
  }
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : i + 1 == missing.size() ? ", and " : ", ";
    names += "'";
    names += missing[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", spec.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
}

size_t positional_count(const MethodSpec& spec) { return std::min(spec.positional, spec.count); }

void raise_too_many_positional(const MethodSpec& spec, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const size_t positional = positional_count(spec);
  if (spec.required == positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 spec.full_name, positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 spec.full_name, spec.required, positional, given, verb);
  }
}

bool convert_item_to_float(PyObject* item, std::vector<float>& out) {
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  out.push_back(static_cast<float>(value));  // nearest, ties to even; overflow gives infinity
  return true;
}

// Walks an exact list or tuple as its own iterator would: index by index while
// the index is below the current size (an item's __float__ may resize a list).
bool convert_sequence_items(PyObject* object, std::vector<float>& out) {
  bool is_list = PyList_CheckExact(object);
  for (Py_ssize_t i = 0;; ++i) {
    Py_ssize_t size = is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
    if (i >= size) return true;
    PyObject* item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
    if (PyFloat_CheckExact(item)) {
      out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
      continue;
    }
    PyRef held = PyRef::borrow(item);  // the conversion may run code that drops it from the list
    if (!convert_item_to_float(held.get(), out)) return false;
  }
}

bool convert_iterated_items(PyObject* object, std::vector<float>& out) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!convert_item_to_float(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

bool check_sequence_argument(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_type_mismatch(object, sequence_target_name());
    return false;
  }
  return true;
}

Py_ssize_t capacity_hint(PyObject* object) {
  Py_ssize_t length = PyObject_Size(object);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(length, MAX_RESERVED_ITEMS);
}

}  // namespace

bool bind_arguments(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
  Py_ssize_t given = PyVectorcall_NARGS(nargsf);
  if (given > static_cast<Py_ssize_t>(positional_count(spec))) {
    raise_too_many_positional(spec, given);
    return false;
  }
  for (size_t i = 0; i < spec.count; ++i) slots[i] = i < static_cast<size_t>(given) ? args[i] : nullptr;

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::string_view text = utf8_view(keyword);
    if (text.data() == nullptr) PyErr_Clear();  // unreadable: no parameter has that name
    size_t match = spec.count;
    for (size_t i = 0; text.data() != nullptr && i < spec.count; ++i) {
      if (text == spec.names[i]) {
        match = i;
        break;
      }
    }
    if (match == spec.count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.full_name,
                   keyword);
      return false;
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", spec.full_name,
                   keyword);
      return false;
    }
    slots[match] = args[given + k];
  }

  for (size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(spec, slots);
      return false;
    }
  }
  return true;
}

void add_argument_note(const char* name) {
  static PyObject* add_note = PyUnicode_InternFromString("add_note");  // kept for the process
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  PyRef outcome = note && add_note
                      ? PyRef::steal(PyObject_CallMethodOneArg(raised, add_note, note.get()))
                      : PyRef();
  if (!outcome) PyErr_Clear();  // the exception is raised without its note
  PyErr_SetRaisedException(raised);
}

void add_item_note(const char* name, size_t index) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s' item %zu", name, index));
  PyRef outcome = note ? PyRef::steal(PyObject_CallMethod(raised, "add_note", "O", note.get()))
                       : PyRef();
  if (!outcome) PyErr_Clear();  // the exception is raised without its note
  PyErr_SetRaisedException(raised);
}

void raise_type_mismatch(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  std::string_view name = qualname ? utf8_view(qualname.get()) : std::string_view();
  if (name.data() == nullptr) {
    PyErr_Clear();
    name = "<failed to extract type name>";
  }
  PyErr_Format(PyExc_TypeError, "'%.*s' object is not an instance of '%s'",
               static_cast<int>(name.size()), name.data(), target);
}

bool convert_u64(PyObject* object, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_text(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, "str");
    return false;
  }
  std::string_view text = utf8_view(object);
  if (text.data() == nullptr) return false;
  out.assign(text);
  return true;
}

bool convert_vector(PyObject* object, std::vector<float>& out) {
  if (!check_sequence_argument(object)) return false;
  if (append_buffer_vector(object, out)) return true;
  // Grows geometrically: a batch appends vector after vector to one buffer, and
  // reserving each one's exact size would copy the whole buffer every time.
  size_t wanted = out.size() + static_cast<size_t>(capacity_hint(object));
  if (wanted > out.capacity()) out.reserve(std::max(wanted, 2 * out.capacity()));
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    return convert_sequence_items(object, out);
  }
  return convert_iterated_items(object, out);
}

bool convert_vector_list(PyObject* object, VectorList& out) {
  size_t failed_item;
  return convert_vector_list_items(object, out, failed_item);
}

bool convert_vector_list_items(PyObject* object, VectorList& out, size_t& failed_item) {
  if (!check_sequence_argument(object)) return false;
  if (append_buffer_rows(object, out)) return true;
  out.ends.reserve(capacity_hint(object));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!convert_vector(item.get(), out.values)) {
      failed_item = out.ends.size();
      return false;
    }
    out.ends.push_back(out.values.size());
  }
  return !PyErr_Occurred();
}

bool convert_id_list(PyObject* object, const char* name, std::vector<uint64_t>& out) {
  if (!check_sequence_argument(object)) {
    add_argument_note(name);
    return false;
  }
  if (append_buffer_ids(object, out)) return true;
  out.reserve(static_cast<size_t>(capacity_hint(object)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    add_argument_note(name);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    uint64_t id;
    if (!convert_u64(item.get(), id)) {
      add_item_note(name, out.size());
      return false;
    }
    out.push_back(id);
  }
  if (PyErr_Occurred()) {
    add_argument_note(name);
    return false;
  }
  return true;
}

namespace {

// Converts None or a dict; a non-dict raises the type mismatch, without a note.
bool convert_payload_value(PyObject* object, std::unique_ptr<Payload>& out) {
  out.reset();
  if (object == Py_None) return true;
  if (!PyDict_Check(object)) {
    raise_type_mismatch(object, "dict");
    return false;
  }
  std::vector<PayloadEntry> entries;
  const Py_ssize_t recorded_size = PyDict_GET_SIZE(object);
  Py_ssize_t position = 0, seen = 0;
  PyObject* key;
  PyObject* value;
  // PyDict_Next reads the dict's own storage and runs no Python code, so the
  // dict cannot change under the walk; the checks guard the assumption.
  while (PyDict_Next(object, &position, &key, &value)) {
    if (PyDict_GET_SIZE(object) != recorded_size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
    if (++seen > recorded_size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
      return false;
    }
    if (!PyUnicode_Check(key)) {
      raise_type_mismatch(key, "str");
      return false;
    }
    std::string_view key_text = utf8_view(key);
    if (key_text.data() == nullptr) return false;

    if (PyUnicode_Check(value)) {
      std::string_view text = utf8_view(value);
      if (text.data() == nullptr) return false;
      entries.push_back({std::string(key_text), PayloadValue::from_text(std::string(text))});
    } else if (PyLong_Check(value)) {
      long long integer = PyLong_AsLongLong(value);
      if (integer == -1 && PyErr_Occurred()) return false;
      entries.push_back({std::string(key_text), PayloadValue::from_integer(integer)});
    } else if (PyFloat_Check(value)) {
      entries.push_back({std::string(key_text), PayloadValue::from_float(PyFloat_AS_DOUBLE(value))});
    }
    // Every other kind of value is left out.
  }
  out = std::make_unique<Payload>(make_payload(std::move(entries)));
  return true;
}

}  // namespace

bool convert_payload(PyObject* object, std::unique_ptr<Payload>& out) {
  if (object != Py_None && !PyDict_Check(object)) {
    raise_type_mismatch(object, "dict");
    add_argument_note("payload");
    return false;
  }
  return convert_payload_value(object, out);
}

bool convert_payload_list(PyObject* object, const char* name,
                          std::vector<std::unique_ptr<Payload>>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyUnicode_Check(object) || PyDict_Check(object) || !PySequence_Check(object)) {
    raise_type_mismatch(object, sequence_target_name());
    add_argument_note(name);
    return false;
  }
  out.reserve(static_cast<size_t>(capacity_hint(object)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    add_argument_note(name);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::unique_ptr<Payload> payload;
    if (!convert_payload_value(item.get(), payload)) {
      add_item_note(name, out.size());
      return false;
    }
    out.push_back(std::move(payload));
  }
  if (PyErr_Occurred()) {
    add_argument_note(name);
    return false;
  }
  return true;
}

PyObject* build_payload_dict(const Payload& payload, PayloadKeyCache& keys) {
  return keys.build_dict(payload);
}

PyObject* build_float_list(std::span<const float> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list.release();
}

PyObject* build_result_list(std::span<const ScoredPoint> results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) return nullptr;
    PyObject* id = PyLong_FromUnsignedLongLong(results[i].id);
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair.get(), 0, id);
    PyObject* score = PyFloat_FromDouble(static_cast<double>(results[i].score));
    if (score == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair.get(), 1, score);
    // A pair of a number and a number can be in no cycle: the collector need
    // not follow it (it would untrack it at its first pass anyway), which
    // keeps a large batch's results from making every collection longer.
    PyObject_GC_UnTrack(pair.get());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list.release();
}

PyObject* build_payload_result_list(std::span<const ScoredPoint> results,
                                    std::span<const std::optional<Payload>> payloads,
                                    PayloadKeyCache& keys) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyRef triple = PyRef::steal(PyTuple_New(3));
    if (!triple) return nullptr;
    PyObject* id = PyLong_FromUnsignedLongLong(results[i].id);
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(triple.get(), 0, id);
    PyObject* score = PyFloat_FromDouble(static_cast<double>(results[i].score));
    if (score == nullptr) return nullptr;
    PyTuple_SET_ITEM(triple.get(), 1, score);
    PyObject* payload = payloads[i] ? build_payload_dict(*payloads[i], keys) : Py_NewRef(Py_None);
    if (payload == nullptr) return nullptr;
    PyTuple_SET_ITEM(triple.get(), 2, payload);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), triple.release());
  }
  return list.release();
}

bool raise_status(const Status& status) {
  switch (status.kind()) {
    case Status::Kind::Ok:
      return true;
    case Status::Kind::Warning:
      return PyErr_WarnEx(PyExc_RuntimeWarning, status.text().c_str(), 1) == 0;
    case Status::Kind::IOError:
    case Status::Kind::Corruption:
      PyErr_SetString(PyExc_OSError, status.text().c_str());
      return false;
    case Status::Kind::InvalidArgument:
      PyErr_SetString(PyExc_ValueError, status.text().c_str());
      return false;
    case Status::Kind::NoMemory:
      PyErr_NoMemory();
      return false;
    case Status::Kind::Internal:
      break;
  }
  PyErr_SetString(PyExc_SystemError, status.text().c_str());
  return false;
}

PyObject* none_or_raise(const Status& status) {
  if (!raise_status(status)) return nullptr;
  Py_RETURN_NONE;
}

void raise_exception_in_flight() {
  // The status is built in a nested handler; raising it needs no allocation
  // beyond its text, and a text that cannot be made falls back to a fixed one.
  Status status;
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      status = Status::NoMemory();
    } catch (const std::exception& error) {
      status = Status::Internal(std::string("unexpected C++ exception: ") + error.what());
    } catch (...) {
      status = Status::Internal("unexpected C++ exception of unknown type");
    }
  } catch (...) {
    status = Status::NoMemory();  // building the text itself ran out of memory
  }
  raise_status(status);
}

}  // namespace tarnwick
