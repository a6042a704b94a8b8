// ProcessRef: one strong reference kept for the rest of the process (a type, a cached module or
// callable, an interned name). Read and set only with the lock held.
#pragma once

#include <Python.h>

#include <utility>

#include "base/no_destructor.hpp"
#include "bindings/py_ref.hpp"

namespace veltrano::bindings {

// Set once and never released, not even by static destructors: threads the interpreter abandons
// at exit may still reach the object through it after those have run.
class ProcessRef {
 public:
  ProcessRef() = default;
  ProcessRef(const ProcessRef&) = delete;
  ProcessRef& operator=(const ProcessRef&) = delete;

  // Borrowed; nullptr until set.
  PyObject* get() const noexcept { return reference_->get(); }
  explicit operator bool() const noexcept { return get() != nullptr; }

  // Keeps object unless a reference is kept already (then object is dropped) and returns the kept
  // one, borrowed. REQUIRES: the lock is held.
  PyObject* set_once(PyRef object) noexcept {
    if (!*reference_) {
      *reference_ = std::move(object);
    }
    return get();
  }

 private:
  NoDestructor<PyRef> reference_;
};

}  // namespace veltrano::bindings
