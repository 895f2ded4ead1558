// Argument binding and conversion for VectorStorage's methods, and the Python
// results they return. Every function here runs with the interpreter lock held
// and follows CPython's protocol: a failure returns false (or null) with a
// Python exception set.
#pragma once

#include "payload_keys.h"
#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <cxxabi.h>

#include "table/payload.h"
#include "storage/search.h"
#include "util/status.h"

namespace tarnwick {

// The parameters of one method: the first `positional` may be given by
// position or keyword, the rest by keyword only; the first `required` must be
// given, the rest default to None.
struct MethodSpec {
  const char* full_name;  // "VectorStorage.search()"
  const char* const* names;
  size_t count;
  size_t required;
  size_t positional = SIZE_MAX;  // SIZE_MAX: all of them
};

inline constexpr size_t MAX_PARAMETERS = 8;

// Fills slots[0..spec.count) with borrowed references, null for parameters not
// given. Raises TypeError on a binding error.
bool bind_arguments(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// Adds the note "while processing '<name>'" to the exception being raised.
void add_argument_note(const char* name);
// Adds the note "while processing '<name>' item <index>" to the exception being raised.
void add_item_note(const char* name, size_t index);

// Raises TypeError "'<type>' object is not an instance of '<target>'".
void raise_type_mismatch(PyObject* object, const char* target);

// Conversions. Borrow `object`; raise the conversion's own exception on failure
// (without the argument note, which the caller adds).
bool convert_u64(PyObject* object, uint64_t& out);
bool convert_text(PyObject* object, std::string& out);
// Appends the floats of one vector to `out`. Exact NumPy arrays, memoryview,
// array.array, bytes and bytearray of numeric elements are read as buffers, with
// the results and errors of walking them item by item; everything else is walked.
bool convert_vector(PyObject* object, std::vector<float>& out);

// Vectors of one batch, back to back.
struct VectorList {
  std::vector<float> values;
  std::vector<size_t> ends;  // vector i is values[ends[i-1] .. ends[i])
  size_t size() const { return ends.size(); }
  std::span<const float> operator[](size_t i) const {
    size_t begin = i == 0 ? 0 : ends[i - 1];
    return {values.data() + begin, ends[i] - begin};
  }
};
// A 2-D NumPy array is read as one buffer, each of its rows a vector.
bool convert_vector_list(PyObject* object, VectorList& out);
// The same; when an item fails, `failed_item` receives its index (it is left
// alone when the list itself fails).
bool convert_vector_list_items(PyObject* object, VectorList& out, size_t& failed_item);

// Converts a sequence of point ids, each as convert_u64 does; a 1-D integer
// buffer is read directly. Adds the argument note itself: naming the item's
// index when an item fails.
bool convert_id_list(PyObject* object, const char* name, std::vector<uint64_t>& out);

// Converts a payload argument: None gives a null payload. A non-dict raises the
// type mismatch for "dict" with the note for "payload"; failures inside the
// dict raise their own exceptions, without a note.
bool convert_payload(PyObject* object, std::unique_ptr<Payload>& out);

// Converts None or a sequence of payloads (each None or a dict). Adds the
// argument note itself, naming the item's index when an item fails.
bool convert_payload_list(PyObject* object, const char* name,
                          std::vector<std::unique_ptr<Payload>>& out);

// Returns a new dict holding the payload's entries, or null with an exception set.
// Its keys are the cache's objects.
PyObject* build_payload_dict(const Payload& payload, PayloadKeyCache& keys);
// Returns a new list of floats, or null with an exception set.
PyObject* build_float_list(std::span<const float> values);

// Returns a new list of (int, float) tuples, or null with an exception set.
PyObject* build_result_list(std::span<const ScoredPoint> results);

// Returns a new list of (int, float, dict or None) tuples, the payloads in
// the order of the results, or null with an exception set.
PyObject* build_payload_result_list(std::span<const ScoredPoint> results,
                                    std::span<const std::optional<Payload>> payloads,
                                    PayloadKeyCache& keys);

// Runs `body` with the interpreter lock released, and takes the lock back
// before returning or passing on what `body` threw. `body` touches nothing of
// Python's, and releases every store lock it takes before it returns, so that
// no thread waits for the interpreter lock while holding one. Taking the lock
// back happens outside any destructor: a thread that CPython ends there (the
// interpreter is finalising) unwinds from an ordinary call.
template <typename Body>
auto without_interpreter_lock(Body&& body) -> decltype(body()) {
  using Result = decltype(body());
  PyThreadState* state = PyEval_SaveThread();
  std::exception_ptr failure;
  if constexpr (std::is_void_v<Result>) {
    try {
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(body());
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

// The one place where a core status becomes a Python exception. Raises, with
// the status text as the only argument, OSError for IOError and Corruption,
// ValueError for InvalidArgument, MemoryError for NoMemory and SystemError for
// Internal, and returns false; issues a Warning as RuntimeWarning and returns
// true, or false when the warning filters turned it into an exception.
bool raise_status(const Status& status);

// Returns None (a new reference) for a status that took effect, or null with
// the exception raise_status set.
PyObject* none_or_raise(const Status& status);

// Raises the Python exception for the C++ exception being handled: MemoryError
// for std::bad_alloc, SystemError with its text for anything else. Call it only
// from inside a catch block.
void raise_exception_in_flight();

// Runs the body of an entry point from CPython so that no C++ exception unwinds
// into the interpreter; `failed` is what the entry point returns with an
// exception set. The one exception let through is the forced unwinding of a
// thread that CPython ends with pthread_exit (a daemon thread that asks for the
// interpreter lock back while the interpreter is finalising): it must go on
// unwinding, and swallowing it would abort the process.
template <typename Result, typename Body>
Result guard_entry_point(Result failed, Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_exception_in_flight();
    return failed;
  }
}

}  // namespace tarnwick
