// Reading a `where` mapping into a plain Filter, naming the place of every fault.
#include "filter_reader.h"

#include <new>
#include <string>
#include <string_view>

namespace tarnwick {

namespace {

struct FieldOperator {
  std::string_view name;
  FilterOp op;
};

constexpr FieldOperator FIELD_OPERATORS[] = {
    {"$eq", FilterOp::Eq},   {"$ne", FilterOp::Ne},   {"$gt", FilterOp::Gt},
    {"$gte", FilterOp::Gte}, {"$lt", FilterOp::Lt},   {"$lte", FilterOp::Lte},
    {"$in", FilterOp::In},   {"$nin", FilterOp::Nin}, {"$exists", FilterOp::Exists},
};

// `object` as a dict: itself when it is one, a copy of its entries when it is
// another collections.abc.Mapping (a MappingProxyType, say). Returns 1 with
// `out` set, 0 (no error set) when it is no mapping, -1 with an error set.
int dict_of(PyObject* object, PyRef& out) {
  if (PyDict_Check(object)) {
    out = PyRef::borrow(object);
    return 1;
  }
  // The values a filter holds most are no mappings: answered without the ABC.
  if (PyUnicode_Check(object) || PyLong_Check(object) || PyFloat_Check(object) || PyList_Check(object) ||
      PyTuple_Check(object)) {
    return 0;
  }
  // Guarded by the interpreter lock, not by a static's initialisation guard:
  // the import may let other threads run, and one waiting on such a guard
  // would hold the interpreter lock the import needs back. Kept for the process.
  static PyObject* mapping_type = nullptr;
  if (mapping_type == nullptr) {
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyObject* found = abc ? PyObject_GetAttrString(abc.get(), "Mapping") : nullptr;
    if (found == nullptr) return -1;
    if (mapping_type == nullptr) {
      mapping_type = found;
    } else {
      Py_DECREF(found);  // another thread found it meanwhile
    }
  }
  const int is_mapping = PyObject_IsInstance(object, mapping_type);
  if (is_mapping <= 0) return is_mapping;
  PyRef copy = PyRef::steal(PyDict_New());
  if (!copy || PyDict_Merge(copy.get(), object, 1) < 0) return -1;
  out = std::move(copy);
  return 1;
}

// Adds a note naming the place of the raised error in the filter.
void add_place_note(const std::string& path, const char* what) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("%s: %s", path.c_str(), what));
  PyRef outcome = note ? PyRef::steal(PyObject_CallMethod(raised, "add_note", "O", note.get()))
                       : PyRef();
  if (!outcome) PyErr_Clear();  // the exception is raised without its note
  PyErr_SetRaisedException(raised);
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data == nullptr ? std::string_view() : std::string_view(data, static_cast<size_t>(size));
}

// The path of a dict's entry: where["year"] (quotes and backslashes escaped).
std::string key_path(const std::string& path, std::string_view key) {
  std::string out = path + "[\"";
  for (char c : key) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"]";
}

std::string item_path(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

class FilterReader {
 public:
  explicit FilterReader(Filter& out) : out_(out) {}

  // Reads a condition mapping (its entries are ANDed) as one subtree.
  bool read_condition(PyObject* condition, const std::string& path, size_t depth) {
    if (depth > FILTER_MAX_DEPTH) {
      return fail(PyExc_ValueError, path, "conditions nested deeper than 32 levels");
    }
    PyRef dict;
    const int kind = dict_of(condition, dict);
    if (kind < 0) return false;
    if (kind == 0) return fail_type(path, "a condition must be a dict", condition);
    const Py_ssize_t entries = PyDict_GET_SIZE(dict.get());
    if (entries == 0) return fail(PyExc_ValueError, path, "an empty condition");
    size_t at = 0;
    if (entries > 1 && !push(FilterOp::And, path, at)) return false;
    bool ok = for_each_entry(dict.get(), path, [&](std::string_view name, PyObject* value) {
      const std::string entry = key_path(path, name);
      if (name == "$and" || name == "$or") return read_list(name == "$and" ? FilterOp::And : FilterOp::Or, value, entry, depth);
      if (name == "$not") {
        size_t not_at = 0;
        if (!push(FilterOp::Not, entry, not_at) || !read_condition(value, entry, depth + 1)) return false;
        close(not_at);
        return true;
      }
      if (!name.empty() && name[0] == '$') {
        return fail(PyExc_ValueError, entry, "unknown operator (use a payload key, $and, $or or $not)");
      }
      return read_field(name, value, entry);
    });
    if (!ok) return false;
    if (entries > 1) close(at);
    return true;
  }

 private:
  bool fail(PyObject* type, const std::string& path, const char* message) {
    PyErr_Format(type, "%s: %s", path.c_str(), message);
    return false;
  }

  bool fail_type(const std::string& path, const char* message, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "%s: %s, not '%s'", path.c_str(), message, Py_TYPE(object)->tp_name);
    return false;
  }

  bool push(FilterOp op, const std::string& path, size_t& at) {
    if (out_.nodes.size() >= FILTER_MAX_NODES) {
      return fail(PyExc_ValueError, path, "the filter has more than 10000 nodes");
    }
    at = out_.nodes.size();
    out_.nodes.emplace_back().op = op;
    return true;
  }

  void close(size_t at) { out_.nodes[at].subtree = static_cast<uint32_t>(out_.nodes.size() - at); }

  // Calls on_entry(key_text, value) for each entry of the dict, in its
  // order; keys must be str.
  template <typename OnEntry>
  bool for_each_entry(PyObject* dict, const std::string& path, OnEntry&& on_entry) {
    // The entries are copied out first, holding their keys and values:
    // nothing read later depends on the dict staying as it is.
    PyRef items = PyRef::steal(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      PyObject* key = PyTuple_GET_ITEM(item, 0);
      if (!PyUnicode_Check(key)) return fail_type(path, "keys must be str", key);
      std::string_view name = utf8_of(key);
      if (name.data() == nullptr) {
        add_place_note(path, "a key is text that UTF-8 cannot encode");
        return false;
      }
      if (!on_entry(name, PyTuple_GET_ITEM(item, 1))) return false;
    }
    return true;
  }

  // $and / $or: a non-empty list (or tuple) of condition dicts.
  bool read_list(FilterOp op, PyObject* list, const std::string& path, size_t depth) {
    if (!PyList_Check(list) && !PyTuple_Check(list)) {
      return fail_type(path, "expected a list of conditions", list);
    }
    PyRef items = PyRef::steal(PySequence_Tuple(list));
    if (!items) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count == 0) return fail(PyExc_ValueError, path, "an empty list of conditions");
    size_t at = 0;
    if (!push(op, path, at)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!read_condition(PyTuple_GET_ITEM(items.get(), i), item_path(path, static_cast<size_t>(i)), depth + 1)) {
        return false;
      }
    }
    close(at);
    return true;
  }

  // A payload key's condition: a value (equality) or a mapping of operators.
  bool read_field(std::string_view key, PyObject* value, const std::string& path) {
    PyRef operators;
    const int kind = dict_of(value, operators);
    if (kind < 0) return false;
    if (kind == 0) return read_leaf(FilterOp::Eq, key, value, path);
    const Py_ssize_t entries = PyDict_GET_SIZE(operators.get());
    if (entries == 0) return fail(PyExc_ValueError, path, "an empty condition");
    size_t at = 0;
    if (entries > 1 && !push(FilterOp::And, path, at)) return false;
    bool ok = for_each_entry(operators.get(), path, [&](std::string_view name, PyObject* operand) {
      const std::string entry = key_path(path, name);
      for (const FieldOperator& known : FIELD_OPERATORS) {
        if (known.name == name) return read_leaf(known.op, key, operand, entry);
      }
      return fail(PyExc_ValueError, entry,
                  "unknown operator (use $eq, $ne, $gt, $gte, $lt, $lte, $in, $nin or $exists)");
    });
    if (!ok) return false;
    if (entries > 1) close(at);
    return true;
  }

  bool read_leaf(FilterOp op, std::string_view key, PyObject* operand, const std::string& path) {
    size_t at = 0;
    if (!push(op, path, at)) return false;
    out_.nodes[at].key = std::string(key);
    if (op == FilterOp::Exists) {
      if (!PyBool_Check(operand)) return fail_type(path, "$exists takes a bool", operand);
      out_.nodes[at].exists = operand == Py_True;
      return true;
    }
    out_.nodes[at].first_value = static_cast<uint32_t>(out_.values.size());
    if (op == FilterOp::In || op == FilterOp::Nin) {
      if (!PyList_Check(operand) && !PyTuple_Check(operand)) {
        return fail_type(path, "expected a list of values", operand);
      }
      PyRef items = PyRef::steal(PySequence_Tuple(operand));
      if (!items) return false;
      const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
      if (count == 0) return fail(PyExc_ValueError, path, "an empty list of values");
      for (Py_ssize_t i = 0; i < count; ++i) {
        if (!read_value(PyTuple_GET_ITEM(items.get(), i), item_path(path, static_cast<size_t>(i)))) return false;
      }
    } else if (!read_value(operand, path)) {
      return false;
    }
    out_.nodes[at].value_count = static_cast<uint32_t>(out_.values.size() - out_.nodes[at].first_value);
    return true;
  }

  // A value as a payload would hold it: str, int (bool included) within
  // int64, or float.
  bool read_value(PyObject* object, const std::string& path) {
    if (PyUnicode_Check(object)) {
      std::string_view text = utf8_of(object);
      if (text.data() == nullptr) {
        add_place_note(path, "text that UTF-8 cannot encode");
        return false;
      }
      out_.values.push_back(PayloadValue::from_text(std::string(text)));
    } else if (PyLong_Check(object)) {
      long long integer = PyLong_AsLongLong(object);
      if (integer == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return fail(PyExc_OverflowError, path, "int too large to convert to a 64-bit integer");
      }
      out_.values.push_back(PayloadValue::from_integer(integer));
    } else if (PyFloat_Check(object)) {
      out_.values.push_back(PayloadValue::from_float(PyFloat_AS_DOUBLE(object)));
    } else {
      return fail_type(path, "a value must be a str, int or float", object);
    }
    return true;
  }

  Filter& out_;
};

}  // namespace

bool read_filter(PyObject* where, Filter& out) {
  out = Filter{};
  if (where == Py_None) return true;
  PyRef dict;
  const int kind = dict_of(where, dict);
  if (kind < 0) return false;
  if (kind == 0) {
    PyErr_Format(PyExc_TypeError, "where must be a dict (or another mapping) or None, not '%s'",
                 Py_TYPE(where)->tp_name);
    return false;
  }
  if (PyDict_GET_SIZE(dict.get()) == 0) return true;  // no condition: every point matches
  try {
    FilterReader reader(out);
    if (reader.read_condition(dict.get(), "where", 1)) return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error while reading the filter");
  }
  out = Filter{};
  return false;
}

}  // namespace tarnwick
