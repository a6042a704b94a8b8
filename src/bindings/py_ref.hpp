// PyRef: an owning handle for one strong reference to an interpreter object.
// Release follows the lock bookkeeping's rule, so a PyRef may be dropped on any thread.
#pragma once

#include <Python.h>

#include <utility>

#include "bindings/lock.hpp"

namespace veltrano::bindings {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a reference the caller owns (a "new reference" result).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object. REQUIRES: the lock is held.
  static PyRef borrow(PyObject* object) noexcept {
    Py_IncRef(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  // A second reference to the same object. REQUIRES: the lock is held.
  PyRef clone() const noexcept { return object_ ? borrow(object_) : PyRef(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { release_reference(std::exchange(object_, nullptr)); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace veltrano::bindings
