#include "bindings/registration.hpp"

#include <deque>
#include <utility>

#include "base/fault.hpp"
#include "base/no_destructor.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/process_ref.hpp"
#include "bindings/text.hpp"

namespace veltrano::bindings {
namespace {

PyObject* interned(ProcessRef& kept, const char* text) {
  if (!kept) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(text));
    if (!name) {
      throw Fault(std::string("could not intern ") + text);
    }
    kept.set_once(std::move(name));
  }
  return kept.get();
}

PyObject* all_name() {
  static ProcessRef name;
  return interned(name, "__all__");
}

PyObject* name_attribute() {
  static ProcessRef name;
  return interned(name, "__name__");
}

}  // namespace

Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return ErrorValue::fetch();
    }
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) {
      return ErrorValue::fetch();
    }
    if (PyObject_SetAttr(module, all_name(), all.get()) != 0) {
      return ErrorValue::fetch();
    }
  } else if (!PyList_Check(all.get())) {
    return conversion_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) != 0) {
    ErrorValue error = ErrorValue::fetch();
    std::string detail = "unknown error";
    PyRef exception = std::move(error).into_exception();
    if (auto text = lossy_str(exception.get())) {
      detail = *text;
    }
    // A compatibility text that callers match on: keep it as it is (docs/design.md).
    throw Fault("could not append __name__ to __all__: " + detail);
  }
  if (PyObject_SetAttr(module, name, value) != 0) {
    return ErrorValue::fetch();
  }
  return ok_status();
}

Status register_class(PyObject* module, ClassTypeCell& cell, const char* name) {
  Expected<PyTypeObject*> type = cell.get();
  if (!type.ok()) {
    PyRef cause = std::move(type).error().into_exception();
    // A compatibility text that callers match on: keep it as it is (docs/design.md).
    PyRef error = PyRef::steal(PyObject_CallFunction(
        PyExc_RuntimeError, "s",
        (std::string("An error occurred while initializing class ") + cell.spec().name).c_str()));
    if (!error) {
      return ErrorValue::fetch();
    }
    PyException_SetCause(error.get(), cause.release());
    PyRef error_type = PyRef::borrow(PyExc_RuntimeError);
    PyErr_Restore(error_type.release(), error.release(), nullptr);
    return ErrorValue::fetch();
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key) {
    return ErrorValue::fetch();
  }
  return add_to_module(module, key.get(), reinterpret_cast<PyObject*>(type.value()));
}

Status register_function(PyObject* module, const PyMethodDef& definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return ErrorValue::fetch();
  }
  // The function object refers to its record for the life of the process.
  static NoDestructor<std::deque<PyMethodDef>> records;
  PyMethodDef& record = records->emplace_back(definition);
  PyRef function = PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
  if (!function) {
    return ErrorValue::fetch();
  }
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attribute()));
  if (!name) {
    return ErrorValue::fetch();
  }
  if (!PyUnicode_Check(name.get())) {
    return conversion_error(name.get(), "PyString");
  }
  return add_to_module(module, name.get(), function.get());
}

}  // namespace veltrano::bindings
