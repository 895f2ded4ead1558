#include "buffer_reader.h"

#include <bit>
#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>

namespace tarnwick {

namespace {

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

}  // namespace

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

}  // namespace tarnwick
