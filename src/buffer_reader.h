// The buffer reader: vectors and ids read straight from the memory of NumPy
// arrays and of the built-in buffers (memoryview, array.array, bytes,
// bytearray), in any element type the walk handles (bool, integers, half,
// single and double floats), any strides and either byte order. The results
// and errors are those of walking the same object item by item: the walk stays
// the definition, and anything it would treat differently from this reading of
// the bytes (a subclass, another format, another shape) is left to it.
#pragma once

#include "py_ref.h"

#include <cstdint>
#include <vector>

#include "binding.h"

namespace tarnwick {

// Each function borrows `object` and returns false, having appended nothing and
// with no exception set, to leave `object` to the walk. A buffer holding more
// elements than a vector can is refused as the walk would refuse it, by
// throwing std::bad_alloc.

// Appends the elements of a 1-D buffer to `out` when `object` is one we read.
bool append_buffer_vector(PyObject* object, std::vector<float>& out);

// Appends the rows of a 2-D buffer to `out`, each a vector, when `object` is one we read.
bool append_buffer_rows(PyObject* object, VectorList& out);

// Appends the ids of a 1-D integer buffer to `out` when `object` is one we
// read and holds no negative id.
bool append_buffer_ids(PyObject* object, std::vector<uint64_t>& out);

}  // namespace tarnwick
