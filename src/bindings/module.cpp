// The exported initialisation functions: PyInit_veltrano and its module body.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "bindings/api/classes.hpp"
#include "bindings/api/functions.hpp"
#include "bindings/api/module_lifecycle.hpp"
#include "bindings/bridge/task_panic.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/process_ref.hpp"
#include "bindings/registration.hpp"

namespace veltrano::bindings {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "veltrano", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
ProcessRef cached_module;

Status module_body(PyObject* module) {
  struct ClassEntry {
    ClassTypeCell& (*cell)();
    const char* name;
  };
  const ClassEntry classes[] = {
      {class_cell<vesk::SaltBytes>, "Salt"},
      {class_cell<vesk::NonceBytes>, "Nonce"},
      {class_cell<vesk::KeyBytes>, "Key"},
      {class_cell<vesk::AuthTagBytes>, "AuthTag"},
      {class_cell<DeriveKeyOptionsValue>, "DeriveKeyOptions"},
  };
  for (const ClassEntry& entry : classes) {
    if (Status added = register_class(module, entry.cell(), entry.name); !added.ok()) {
      return added;
    }
  }
  for (const PyMethodDef* definition : module_functions()) {
    if (Status added = register_function(module, *definition); !added.ok()) {
      return added;
    }
  }
  return ok_status();
}

Expected<PyRef> initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = interpreter == nullptr ? -1 : PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    return ErrorValue::fetch();
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    // A compatibility text that callers match on: keep it as it is (docs/design.md).
    return ErrorValue::import_error(
        "veltrano does not support sub-interpreters: it can be imported only in the first "
        "interpreter that imported it in this process");
  }
  if (cached_module) {
    return PyRef::borrow(cached_module.get());
  }
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
  if (!module) {
    return ErrorValue::fetch();
  }
  if (Status body = module_body(module.get()); !body.ok()) {
    return std::move(body).error();
  }
  if (Status extra = after_module_body(module.get()); !extra.ok()) {
    return std::move(extra).error();
  }
  if (cached_module) {
    return PyRef::borrow(cached_module.get());
  }
  cached_module.set_once(module.clone());
  return module;
}

}  // namespace
}  // namespace veltrano::bindings

// Defined only in static libc++ builds (cmake/system_unwinder.cpp): why the system's unwinder
// could not be loaded, or null. Elsewhere the weak reference stays null.
extern "C" [[gnu::weak, gnu::visibility("hidden")]] const char*
veltrano_unwinder_load_error() noexcept;

namespace {

// Without an unwinder the first C++ exception would end the process: the import fails instead,
// with ImportError set, before any code that could throw. Returns whether it failed.
bool refuse_without_unwinder() noexcept {
  const char* error =
      veltrano_unwinder_load_error != nullptr ? veltrano_unwinder_load_error() : nullptr;
  if (error == nullptr) {
    return false;
  }
  PyErr_Format(PyExc_ImportError, "%s", error);
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_veltrano(void) {
  if (refuse_without_unwinder()) {
    return nullptr;
  }
  return veltrano::bindings::call_guard(veltrano::bindings::initialise);
}

// The bridge's companion module; `import veltrano` also registers it in sys.modules.
PyMODINIT_FUNC PyInit_veltrano_async(void) {
  if (refuse_without_unwinder()) {
    return nullptr;
  }
  return veltrano::bindings::call_guard(veltrano::bindings::bridge::create_async_module);
}
