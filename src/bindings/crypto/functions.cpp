#include "bindings/crypto/functions.hpp"

#include "bindings/bridge/task_panic.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/lock.hpp"
#include "bindings/crypto/module_functions.hpp"

namespace veltrano::bindings {

std::span<const PyMethodDef* const> module_functions() {
  static const PyMethodDef* const functions[] = {&derive_key_definition, &encrypt_definition,
                                                   &decrypt_definition};
  return functions;
}

namespace {

PyObject* exit_hook(PyObject*, PyObject*) {
  return call_guard([]() -> Expected<PyRef> {
    mark_interpreter_exiting();
    return PyRef::borrow(Py_None);
  });
}

PyMethodDef exit_hook_definition = {"_veltrano_exit_hook", exit_hook, METH_NOARGS, nullptr};

// Worker threads must not wait for the lock while the interpreter finalises: the hook runs
// before finalisation starts and turns later lock sections away.
Status register_exit_hook() {
  PyRef hook = PyRef::steal(PyCMethod_New(&exit_hook_definition, nullptr, nullptr, nullptr));
  if (!hook) {
    return ErrorValue::fetch();
  }
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) {
    return ErrorValue::fetch();
  }
  PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!registered) {
    return ErrorValue::fetch();
  }
  return ok_status();
}

}  // namespace

Status after_module_body(PyObject*) {
  if (Status hooked = register_exit_hook(); !hooked.ok()) {
    return hooked;
  }
  return bridge::install_async_module();
}

}  // namespace veltrano::bindings
