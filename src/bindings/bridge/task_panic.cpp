#include "bindings/bridge/task_panic.hpp"

#include "base/fault.hpp"

namespace veltrano::bindings::bridge {
namespace {

PyObject* task_panic = nullptr;  // written once with the lock held; never released

PyModuleDef async_module_definition = {
    PyModuleDef_HEAD_INIT, "veltrano_async", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* task_panic_type() {
  if (task_panic == nullptr) {
    // "veltrano_async.TaskPanic" is a name callers match on (docs/design.md).
    PyObject* type = PyErr_NewException("veltrano_async.TaskPanic", PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw Fault("Failed to initialize new exception type.");
    }
    task_panic = type;
  }
  return task_panic;
}

void share_task_panic_type(PyObject* type) {
  if (task_panic == nullptr) {
    Py_IncRef(type);
    task_panic = type;
  }
}

Expected<PyRef> create_async_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&async_module_definition, 3));
  if (!module) {
    return ErrorValue::fetch();
  }
  PyObject* type = task_panic_type();
  Py_IncRef(type);
  if (PyModule_AddObject(module.get(), "TaskPanic", type) != 0) {
    Py_DecRef(type);
    return ErrorValue::fetch();
  }
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
