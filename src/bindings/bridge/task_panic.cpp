#include "bindings/bridge/task_panic.hpp"

#include "runtime/fault.hpp"

namespace veltrano::bindings::bridge {
namespace {

PyObject* task_panic = nullptr;  // written once with the lock held; never released

PyModuleDef async_module_definition = {
    PyModuleDef_HEAD_INIT, "veltrano_async", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module installed in sys.modules, if any: the process then shares its TaskPanic.
PyObject* installed_task_panic() {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* module = modules ? PyDict_GetItemString(modules, "veltrano_async") : nullptr;
  if (module == nullptr) {
    return nullptr;
  }
  PyObject* type = PyObject_GetAttrString(module, "TaskPanic");
  if (type == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyExceptionClass_Check(type)) {
    Py_DecRef(type);
    return nullptr;
  }
  return type;
}

}  // namespace

PyObject* task_panic_type() {
  if (task_panic == nullptr) {
    PyObject* type = installed_task_panic();
    if (type == nullptr) {
      type = PyErr_NewException("veltrano_async.TaskPanic", PyExc_Exception, nullptr);
    }
    if (type == nullptr) {
      PyErr_Clear();
      throw Fault("Failed to initialize new exception type.");
    }
    task_panic = type;
  }
  return task_panic;
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
  if (PyDict_GetItemString(modules, "veltrano_async") != nullptr) {
    return ok_status();
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
