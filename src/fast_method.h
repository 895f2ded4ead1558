// The fast-call wrapper every VectorStorage method shares: binds the
// arguments as the method's spec describes, converts each with
// convert_parameter, and calls the method's _impl. Included by the module alone.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <tuple>
#include <utility>

#include "binding.h"
#include "method_arguments.h"

namespace tarnwick {

// The parameter types of an _impl, after self: each taken by reference, so
// that the _impl may move out of its converted arguments.
template <typename Impl>
struct ImplParameters;
template <typename... Parameters>
struct ImplParameters<PyObject* (*)(PyObject*, Parameters&...)> {
  using Values = std::tuple<Parameters...>;
  static constexpr size_t count = sizeof...(Parameters);
};

// The entry point of a method from CPython: binds the arguments as SPEC
// describes, converts them in order (the first failure raises), and calls IMPL
// with them. No C++ exception leaves it.
template <const MethodSpec& SPEC, auto IMPL>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  using Parameters = ImplParameters<decltype(IMPL)>;
  static_assert(Parameters::count == SPEC.count && SPEC.count <= MAX_PARAMETERS,
                "an _impl takes the parameters its spec names, in order");
  return guard_entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[MAX_PARAMETERS];
    if (!bind_arguments(SPEC, args, nargsf, kwnames, slots)) return nullptr;
    typename Parameters::Values values;
    const bool converted = [&]<size_t... I>(std::index_sequence<I...>) {
      return (convert_parameter(slots[I], SPEC.names[I], std::get<I>(values)) && ...);
    }(std::make_index_sequence<Parameters::count>());
    if (!converted) return nullptr;
    return std::apply([&](auto&... value) { return IMPL(self, value...); }, values);
  });
}

// The method table's entry for a method whose wrapper is fast_method<SPEC, IMPL>.
template <const MethodSpec& SPEC, auto IMPL>
PyMethodDef method_entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_method<SPEC, IMPL>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace tarnwick
