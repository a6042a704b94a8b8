// ClassTypeCell: the process-wide heap type of one class, built once from its ClassSpec, and the
// instance layout and creation shared by all classes. REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "bindings/errors/error_value.hpp"
#include "bindings/process_ref.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/text.hpp"

namespace veltrano::bindings {

// Everything a class's type object is built from.
struct ClassSpec {
  const char* name;            // "Salt"
  const char* text_signature;  // "(data)", or nullptr for no doc at all
  newfunc tp_new;              // nullptr: the "No constructor defined" stub
  reprfunc tp_repr;            // may be nullptr
  destructor tp_dealloc;
  PyMethodDef* methods;  // zero-terminated, or nullptr
  PyGetSetDef* getset;   // zero-terminated, or nullptr
  int basic_size;
  ternaryfunc tp_call = nullptr;  // makes instances callable
};

// Kept in a NoDestructor: the type outlives static destructors, and its name may point into the
// cell.
class ClassTypeCell {
 public:
  explicit ClassTypeCell(const ClassSpec& spec) : spec_(spec) {}
  ClassTypeCell(const ClassTypeCell&) = delete;
  ClassTypeCell& operator=(const ClassTypeCell&) = delete;

  const ClassSpec& spec() const { return spec_; }
  // The type, building it on first use; a borrowed reference kept for the process.
  Expected<PyTypeObject*> get();
  // As get(), but a failure prints the error and faults ("failed to create type object for X").
  PyTypeObject* get_or_fault();

 private:
  const ClassSpec& spec_;
  std::string doc_;             // built once and kept
  std::string qualified_name_;  // the type's tp_name may point into it
  ProcessRef type_;
};

// Every instance: the object header, the value stored inline, and the borrow counter
// (0 free, n > 0 shared borrows, -1 one exclusive borrow).
template <typename Value>
struct Instance {
  PyObject header;
  Value value;
  Py_ssize_t borrow_flag;
};

template <typename Value>
Instance<Value>* instance_of(PyObject* object) {
  return reinterpret_cast<Instance<Value>*>(object);
}

// Allocates an instance of type through its tp_alloc slot and moves value into it.
template <typename Value>
Expected<PyRef> create_instance(PyTypeObject* type, Value&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) {
    alloc = PyType_GenericAlloc;
  }
  PyObject* object = alloc(type, 0);
  if (object == nullptr) {
    return ErrorValue::fetch();
  }
  auto* instance = instance_of<std::decay_t<Value>>(object);
  ::new (static_cast<void*>(&instance->value)) std::decay_t<Value>(std::forward<Value>(value));
  instance->borrow_flag = 0;
  return PyRef::steal(object);
}

// As create_instance with the type from the cell; failures are faults (the value is dropped).
template <typename Value>
PyRef create_instance_or_fault(ClassTypeCell& cell, Value&& value) {
  Expected<PyRef> created = create_instance(cell.get_or_fault(), std::forward<Value>(value));
  if (!created.ok()) {
    std::move(created).error().restore();
    PyErr_PrintEx(0);
    throw Fault(std::string("could not create an instance of ") + cell.spec().name);
  }
  return std::move(created).value();
}

// Releases the instance's value, frees the object through its type's tp_free and releases the
// instance's reference to its heap type. Runs with fault capture; used as tp_dealloc.
void free_instance(PyObject* self);

template <typename Value>
void dealloc_instance(PyObject* self);

}  // namespace veltrano::bindings

#include "bindings/call/call_guard.hpp"

namespace veltrano::bindings {

template <typename Value>
void dealloc_instance(PyObject* self) {
  call_guard_dealloc([self] {
    instance_of<Value>(self)->value.~Value();
    free_instance(self);
  });
}

}  // namespace veltrano::bindings
