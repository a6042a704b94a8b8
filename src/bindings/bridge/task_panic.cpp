#include "bindings/bridge/task_panic.hpp"

#include <utility>

#include "base/fault.hpp"
#include "bindings/process_ref.hpp"

namespace veltrano::bindings::bridge {
namespace {

ProcessRef task_panic;

PyModuleDef async_module_definition = {
    PyModuleDef_HEAD_INIT,
    "veltrano_async",
    nullptr,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* task_panic_type() {
  if (!task_panic) {
    // "veltrano_async.TaskPanic" is a name callers match on (docs/design.md).
    PyRef type =
        PyRef::steal(PyErr_NewException("veltrano_async.TaskPanic", PyExc_Exception, nullptr));
    if (!type) {
      PyErr_Clear();
      throw Fault("Failed to initialize new exception type.");
    }
    task_panic.set_once(std::move(type));
  }
  return task_panic.get();
}

void share_task_panic_type(PyObject* type) {
  // Checked first: the caller may not count the lock as held, so nothing is released here.
  if (!task_panic) {
    task_panic.set_once(PyRef::borrow(type));
  }
}

Expected<PyRef> create_async_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&async_module_definition, 3));
  if (!module) {
    return ErrorValue::fetch();
  }
  PyRef type = PyRef::borrow(task_panic_type());
  // The module takes the reference only when the call succeeds.
  if (PyModule_AddObject(module.get(), "TaskPanic", type.get()) != 0) {
    return ErrorValue::fetch();
  }
  type.release();
  return module;
}

Status install_async_module() {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr) {
    return ErrorValue::fetch();
  }
  // Another module of that name (a stray one, or a leftover) is replaced: the name is this
  // module's, and background faults must raise its own class.
  if (PyObject* present = PyDict_GetItemString(modules, "veltrano_async")) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(present, "TaskPanic"));
    if (!type) {
      PyErr_Clear();
    } else if (type.get() == task_panic_type()) {
      return ok_status();
    }
  }
  Expected<PyRef> module = create_async_module();
  if (!module.ok()) {
    return std::move(module).error();
  }
  if (PyDict_SetItemString(modules, "veltrano_async", module.value().get()) != 0) {
    return ErrorValue::fetch();
  }
  return ok_status();
}

}  // namespace veltrano::bindings::bridge
