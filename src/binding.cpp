#include "binding.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

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

// Buffers. Some exact types are read through the buffer protocol rather than
// walked item by item, with the results and errors the walk would give: the
// walk stays the definition and anything it would treat differently from our
// reading of the bytes is left to it.

// The exporters whose walk we know element by element. A subclass may walk
// differently, so only the exact types qualify.
enum class Exporter {
  NONE,
  NUMPY_ARRAY,  // walks 1-D arrays as NumPy scalars, 2-D arrays as rows
  BUILTIN,      // memoryview, array.array, bytes, bytearray: walk 1-D as Python numbers
};

// A type named `name` that Python code cannot have made: a class statement
// gives a mutable type, whose name could be set to anything.
bool is_immutable_type_named(PyTypeObject* type, const char* name) {
  return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && std::strcmp(type->tp_name, name) == 0;
}

Exporter exporter_of(PyObject* object) {
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) {
    return Exporter::BUILTIN;  // memoryview cannot be subclassed
  }
  PyTypeObject* type = Py_TYPE(object);
  if (is_immutable_type_named(type, "numpy.ndarray")) return Exporter::NUMPY_ARRAY;
  if (is_immutable_type_named(type, "array.array")) return Exporter::BUILTIN;
  return Exporter::NONE;
}

enum class ElementKind { BOOL, SIGNED, UNSIGNED, HALF, SINGLE, DOUBLE };

struct ElementFormat {
  ElementKind kind;
  size_t size;
  bool native_order_prefix;  // no prefix or '@': native sizes, alignment and order
  bool swapped;              // stored in the other byte order than this machine's
};

// Parses a struct-module format naming one element ("f", "<q", "=H", "@?").
// Returns nullopt for any other format.
std::optional<ElementFormat> parse_element_format(const char* format) {
  char order = '@';
  if (format[0] != '\0' && std::strchr("@=<>!", format[0]) != nullptr) order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const bool native = order == '@';
  constexpr bool little_endian = std::endian::native == std::endian::little;
  const bool swapped = little_endian ? (order == '>' || order == '!') : order == '<';
  auto element = [&](ElementKind kind, size_t native_size, size_t standard_size) {
    return ElementFormat{kind, native ? native_size : standard_size, native, swapped};
  };
  switch (format[0]) {
    case '?': return element(ElementKind::BOOL, sizeof(bool), 1);
    case 'b': return element(ElementKind::SIGNED, sizeof(signed char), 1);
    case 'B': return element(ElementKind::UNSIGNED, sizeof(unsigned char), 1);
    case 'h': return element(ElementKind::SIGNED, sizeof(short), 2);
    case 'H': return element(ElementKind::UNSIGNED, sizeof(unsigned short), 2);
    case 'i': return element(ElementKind::SIGNED, sizeof(int), 4);
    case 'I': return element(ElementKind::UNSIGNED, sizeof(unsigned int), 4);
    case 'l': return element(ElementKind::SIGNED, sizeof(long), 4);
    case 'L': return element(ElementKind::UNSIGNED, sizeof(unsigned long), 4);
    case 'q': return element(ElementKind::SIGNED, sizeof(long long), 8);
    case 'Q': return element(ElementKind::UNSIGNED, sizeof(unsigned long long), 8);
    case 'n':
      if (!native) return std::nullopt;
      return element(ElementKind::SIGNED, sizeof(Py_ssize_t), 0);
    case 'N':
      if (!native) return std::nullopt;
      return element(ElementKind::UNSIGNED, sizeof(size_t), 0);
    case 'e': return element(ElementKind::HALF, 2, 2);
    case 'f': return element(ElementKind::SINGLE, sizeof(float), 4);
    case 'd': return element(ElementKind::DOUBLE, sizeof(double), 8);
    default: return std::nullopt;
  }
}

// A buffer exported for the length of one conversion, released when dropped.
// No Python code runs while it is held.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Asks `object` (borrowed) for a strided buffer with its format. Returns
  // false, with no exception set, when it exports none.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The elements of a 1-D or 2-D buffer as `rows` runs of `columns` elements; a
// 1-D buffer is one row.
struct BufferLayout {
  const char* first;
  ElementFormat element;
  bool numpy_scalars;  // walked as NumPy scalars rather than Python numbers
  Py_ssize_t rows;
  Py_ssize_t columns;
  Py_ssize_t row_stride;
  Py_ssize_t column_stride;
};

// Exports the buffer of `object` (borrowed) into `buffer` when `object` is of
// an exact type whose walk we reproduce, with `ndim` dimensions and one
// element we read. Returns false, with no exception set, otherwise.
bool read_layout(PyObject* object, int ndim, HeldBuffer& buffer, BufferLayout& layout) {
  const Exporter exporter = exporter_of(object);
  // memoryview refuses to walk anything but one dimension, and the others
  // have only one.
  if (exporter == Exporter::NONE || (ndim != 1 && exporter != Exporter::NUMPY_ARRAY)) return false;
  if (!buffer.acquire(object)) return false;
  const Py_buffer& view = buffer.view();
  if (view.ndim != ndim || view.shape == nullptr || view.suboffsets != nullptr) return false;
  std::optional<ElementFormat> element = parse_element_format(view.format ? view.format : "B");
  if (!element || static_cast<size_t>(view.itemsize) != element->size) return false;
  // memoryview walks only native single-character formats, and array.array,
  // bytes and bytearray export nothing else.
  if (exporter == Exporter::BUILTIN && !element->native_order_prefix) return false;
  for (int axis = 0; axis < ndim; ++axis) {
    if (view.shape[axis] < 0) return false;
  }
  const Py_ssize_t last = ndim - 1;
  layout.first = static_cast<const char*>(view.buf);
  layout.element = *element;
  layout.numpy_scalars = exporter == Exporter::NUMPY_ARRAY;
  layout.rows = ndim == 2 ? view.shape[0] : 1;
  layout.columns = view.shape[last];
  layout.column_stride = view.strides ? view.strides[last] : view.itemsize;
  layout.row_stride = ndim == 2 ? (view.strides ? view.strides[0] : view.itemsize * layout.columns) : 0;
  return true;
}

// The element count a buffer asks us to store, refused as the walk would
// refuse it, by running out of memory, when no vector could hold it.
size_t checked_count(Py_ssize_t rows, Py_ssize_t columns, size_t max_size, size_t used) {
  const size_t available = max_size - used;
  if (columns != 0 && static_cast<size_t>(rows) > available / static_cast<size_t>(columns)) {
    throw std::bad_alloc();
  }
  return static_cast<size_t>(rows) * static_cast<size_t>(columns);
}

template <typename Bits, bool SWAPPED>
Bits load_bits(const char* at) {
  Bits bits;
  std::memcpy(&bits, at, sizeof bits);
  if constexpr (SWAPPED && sizeof(Bits) > 1) {
    Bits reversed = 0;
    for (size_t i = 0; i < sizeof(Bits); ++i) {
      reversed = static_cast<Bits>((reversed << CHAR_BIT) | ((bits >> (i * CHAR_BIT)) & 0xff));
    }
    bits = reversed;
  }
  return bits;
}

// How the walk turns each kind of element into a float. An integer becomes
// the nearest double, then the nearest float, as a Python int does.
template <typename Integer>
struct IntegerElement {
  using Bits = std::make_unsigned_t<Integer>;
  static float to_float(Bits bits) {
    return static_cast<float>(static_cast<double>(static_cast<Integer>(bits)));
  }
};

struct BoolElement {
  using Bits = unsigned char;
  static float to_float(Bits bits) { return bits != 0 ? 1.0f : 0.0f; }
};

// A float widens to a double and narrows back unchanged, except that a
// signalling NaN comes back quiet, as the hardware conversions leave it.
struct SingleElement {
  using Bits = uint32_t;
  static float to_float(Bits bits) {
    if ((bits & 0x7fffffffu) > 0x7f800000u) bits |= 0x00400000u;
    return std::bit_cast<float>(bits);
  }
};

struct DoubleElement {
  using Bits = uint64_t;
  static float to_float(Bits bits) { return static_cast<float>(std::bit_cast<double>(bits)); }
};

// A half widens exactly. A NaN comes back quiet: NumPy's scalars keep its
// payload, memoryview's Python floats do not.
template <bool KEEP_NAN_PAYLOAD>
struct HalfElement {
  using Bits = uint16_t;
  static float to_float(Bits bits) {
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    const uint32_t exponent = (bits >> 10) & 0x1fu;
    const uint32_t mantissa = bits & 0x3ffu;
    if (exponent == 0x1f) {
      if (mantissa == 0) return std::bit_cast<float>(sign | 0x7f800000u);
      return std::bit_cast<float>(sign | 0x7fc00000u | (KEEP_NAN_PAYLOAD ? mantissa << 13 : 0));
    }
    if (exponent == 0) {  // zero or subnormal: mantissa * 2^-24, exact in a float
      const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
      return sign != 0 ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
  }
};

// Converts `count` elements, `stride` bytes apart from `first`, into `out`.
using FloatRun = void (*)(const char* first, Py_ssize_t count, Py_ssize_t stride, float* out);

template <typename Element, bool SWAPPED>
void convert_float_run(const char* first, Py_ssize_t count, Py_ssize_t stride, float* out) {
  using Bits = typename Element::Bits;
  if (stride == sizeof(Bits)) {  // contiguous: a constant stride the compiler can vectorise
    for (Py_ssize_t i = 0; i < count; ++i) {
      out[i] = Element::to_float(load_bits<Bits, SWAPPED>(first + i * sizeof(Bits)));
    }
    return;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    out[i] = Element::to_float(load_bits<Bits, SWAPPED>(first + i * stride));
  }
}

template <bool SWAPPED>
FloatRun select_float_run_in_order(const ElementFormat& element, bool numpy_scalars) {
  switch (element.kind) {
    case ElementKind::BOOL: return convert_float_run<BoolElement, SWAPPED>;
    case ElementKind::HALF:
      return numpy_scalars ? convert_float_run<HalfElement<true>, SWAPPED>
                           : convert_float_run<HalfElement<false>, SWAPPED>;
    case ElementKind::SINGLE: return convert_float_run<SingleElement, SWAPPED>;
    case ElementKind::DOUBLE: return convert_float_run<DoubleElement, SWAPPED>;
    case ElementKind::SIGNED:
      switch (element.size) {
        case 1: return convert_float_run<IntegerElement<int8_t>, SWAPPED>;
        case 2: return convert_float_run<IntegerElement<int16_t>, SWAPPED>;
        case 4: return convert_float_run<IntegerElement<int32_t>, SWAPPED>;
        case 8: return convert_float_run<IntegerElement<int64_t>, SWAPPED>;
      }
      return nullptr;
    case ElementKind::UNSIGNED:
      switch (element.size) {
        case 1: return convert_float_run<IntegerElement<uint8_t>, SWAPPED>;
        case 2: return convert_float_run<IntegerElement<uint16_t>, SWAPPED>;
        case 4: return convert_float_run<IntegerElement<uint32_t>, SWAPPED>;
        case 8: return convert_float_run<IntegerElement<uint64_t>, SWAPPED>;
      }
      return nullptr;
  }
  return nullptr;
}

FloatRun select_float_run(const BufferLayout& layout) {
  return layout.element.swapped ? select_float_run_in_order<true>(layout.element, layout.numpy_scalars)
                                : select_float_run_in_order<false>(layout.element, layout.numpy_scalars);
}

// Converts `count` integers, `stride` bytes apart from `first`, into ids.
// Returns false at a negative one, which the walk refuses.
using IdRun = bool (*)(const char* first, Py_ssize_t count, Py_ssize_t stride, uint64_t* out);

template <typename Integer, bool SWAPPED>
bool convert_id_run(const char* first, Py_ssize_t count, Py_ssize_t stride, uint64_t* out) {
  using Bits = std::make_unsigned_t<Integer>;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Integer value = static_cast<Integer>(load_bits<Bits, SWAPPED>(first + i * stride));
    if constexpr (std::is_signed_v<Integer>) {
      if (value < 0) return false;
    }
    out[i] = static_cast<uint64_t>(value);
  }
  return true;
}

template <bool SWAPPED>
IdRun select_id_run_in_order(const ElementFormat& element) {
  const bool is_signed = element.kind == ElementKind::SIGNED;
  if (!is_signed && element.kind != ElementKind::UNSIGNED) return nullptr;
  switch (element.size) {
    case 1: return is_signed ? convert_id_run<int8_t, SWAPPED> : convert_id_run<uint8_t, SWAPPED>;
    case 2: return is_signed ? convert_id_run<int16_t, SWAPPED> : convert_id_run<uint16_t, SWAPPED>;
    case 4: return is_signed ? convert_id_run<int32_t, SWAPPED> : convert_id_run<uint32_t, SWAPPED>;
    case 8: return is_signed ? convert_id_run<int64_t, SWAPPED> : convert_id_run<uint64_t, SWAPPED>;
  }
  return nullptr;
}

IdRun select_id_run(const ElementFormat& element) {
  return element.swapped ? select_id_run_in_order<true>(element)
                         : select_id_run_in_order<false>(element);
}

// Appends the elements of a 1-D buffer to `out` when `object` is one we read.
// Returns false, having appended nothing, to leave `object` to the walk.
bool append_buffer_vector(PyObject* object, std::vector<float>& out) {
  HeldBuffer buffer;
  BufferLayout layout;
  if (!read_layout(object, 1, buffer, layout)) return false;
  FloatRun run = select_float_run(layout);
  if (run == nullptr) return false;
  const size_t begin = out.size();
  out.resize(begin + checked_count(1, layout.columns, out.max_size(), begin));
  run(layout.first, layout.columns, layout.column_stride, out.data() + begin);
  return true;
}

// Appends the rows of a 2-D buffer to `out` when `object` is one we read.
// Returns false, having appended nothing, to leave `object` to the walk.
bool append_buffer_rows(PyObject* object, VectorList& out) {
  HeldBuffer buffer;
  BufferLayout layout;
  if (!read_layout(object, 2, buffer, layout)) return false;
  FloatRun run = select_float_run(layout);
  if (run == nullptr) return false;
  const size_t begin = out.values.size();
  out.values.resize(begin + checked_count(layout.rows, layout.columns, out.values.max_size(), begin));
  out.ends.reserve(out.ends.size() + checked_count(layout.rows, 1, out.ends.max_size(), out.ends.size()));
  size_t end = begin;
  for (Py_ssize_t row = 0; row < layout.rows; ++row) {
    run(layout.first + row * layout.row_stride, layout.columns, layout.column_stride,
        out.values.data() + end);
    end += static_cast<size_t>(layout.columns);
    out.ends.push_back(end);
  }
  return true;
}

// Appends the ids of a 1-D integer buffer to `out` when `object` is one we
// read and holds no negative id. Returns false, having appended nothing, to
// leave `object` to the walk.
bool append_buffer_ids(PyObject* object, std::vector<uint64_t>& out) {
  HeldBuffer buffer;
  BufferLayout layout;
  if (!read_layout(object, 1, buffer, layout)) return false;
  IdRun run = select_id_run(layout.element);
  if (run == nullptr) return false;
  const size_t begin = out.size();
  out.resize(begin + checked_count(1, layout.columns, out.max_size(), begin));
  if (!run(layout.first, layout.columns, layout.column_stride, out.data() + begin)) {
    out.resize(begin);
    return false;
  }
  return true;
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

PyObject* build_payload_dict(const Payload& payload) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const PayloadEntry& entry : payload.entries) {
    PyRef value;
    switch (entry.value.kind) {
      case PayloadKind::Keyword:
      case PayloadKind::Text:
        value = PyRef::steal(PyUnicode_FromStringAndSize(
            entry.value.text.data(), static_cast<Py_ssize_t>(entry.value.text.size())));
        break;
      case PayloadKind::Integer:
        value = PyRef::steal(PyLong_FromLongLong(entry.value.integer));
        break;
      case PayloadKind::Float:
        value = PyRef::steal(PyFloat_FromDouble(entry.value.number));
        break;
    }
    if (!value) return nullptr;
    PyRef key = PyRef::steal(
        PyUnicode_FromStringAndSize(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size())));
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
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
    PyObject* id = PyLong_FromUnsignedLongLong(results[i].id);
    PyObject* score = id ? PyFloat_FromDouble(static_cast<double>(results[i].score)) : nullptr;
    PyObject* pair = score ? PyTuple_Pack(2, id, score) : nullptr;
    Py_XDECREF(id);
    Py_XDECREF(score);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
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
