#include "bindings/api/module_lifecycle.hpp"

#include "bindings/bridge/task_panic.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/lock.hpp"
#include "vesk-crypto/process_state.hpp"

namespace veltrano::bindings {
namespace {

// Calling the hook does nothing: atexit runs its callbacks last-registered first, so callbacks
// registered before this module was imported still run after it, and may still derive keys.
// What matters is its release: at exit, atexit drops its callbacks only after the last one has
// run, just before the interpreter finalises, and that is when lock sections must stop.
PyObject* exit_hook(PyObject*, PyObject*) {
  return call_guard([]() -> Expected<PyRef> { return PyRef::borrow(Py_None); });
}

PyMethodDef exit_hook_definition = {"_veltrano_exit_hook", exit_hook, METH_NOARGS, nullptr};

constexpr char kExitMarkName[] = "veltrano._exit_mark";

// Guarded by the interpreter lock.
bool exit_hook_registered = false;

// At exit the interpreter releases the callbacks from its own shutdown code, once the program's
// code has ended: no Python frame runs then. A program that calls atexit._clear() or
// atexit._run_exitfuncs() releases them from Python code, and the interpreter goes on running.
void on_exit_mark_released(PyObject*) {
  exit_hook_registered = false;
  if (PyEval_GetFrame() == nullptr) {
    mark_interpreter_exiting();
  }
}

// Worker threads must not wait for the lock while the interpreter finalises: the hook's release
// turns later lock sections away and waits for those under way.
Status register_exit_hook() {
  // Any non-null pointer: the capsule exists only for its destructor.
  static constexpr char kMark = 0;
  PyRef mark =
      PyRef::steal(PyCapsule_New(const_cast<char*>(&kMark), kExitMarkName, &on_exit_mark_released));
  if (!mark) {
    return ErrorValue::fetch();
  }
  PyRef hook = PyRef::steal(PyCMethod_New(&exit_hook_definition, mark.get(), nullptr, nullptr));
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
  exit_hook_registered = true;
  return ok_status();
}

}  // namespace

Status ensure_exit_hook() {
  if (exit_hook_registered || interpreter_is_gone()) {
    return ok_status();
  }
  return register_exit_hook();
}

Status after_module_body(PyObject*) {
  // Before any other thread can use the module, and so before any fork can split a first use.
  vesk::prepare_process_state();
  if (Status hooked = register_exit_hook(); !hooked.ok()) {
    return hooked;
  }
  return bridge::install_async_module();
}

}  // namespace veltrano::bindings
