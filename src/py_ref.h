// An owned reference to a Python object, released when the handle is dropped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  // Once the interpreter is finalising, CPython 3.12 ends any other thread that
  // tries to take the interpreter lock back with pthread_exit, which unwinds
  // through C++ frames; the reference is then left behind, since the thread no
  // longer owns the interpreter it would touch.
  ~PyRef() {
    if (object_ != nullptr && !_Py_IsFinalizing()) Py_DECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller. Returns a new reference.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tarnwick
