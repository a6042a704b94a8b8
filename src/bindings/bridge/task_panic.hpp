// The bridge's fault exception "veltrano_async.TaskPanic" and the companion module that holds it.
// REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings::bridge {

// Borrowed reference to TaskPanic, created once per process (an Exception subclass without a
// docstring); throws Fault("Failed to initialize new exception type.") if it cannot be made.
PyObject* task_panic_type();

// Makes type (borrowed) the class task_panic_type() returns, unless it exists already: for a
// second copy of this machinery linked into another extension, which must raise the module's
// own class.
void share_task_panic_type(PyObject* type);

// A new "veltrano_async" module whose one attribute is TaskPanic.
Expected<PyRef> create_async_module();

// Makes `import veltrano_async` find the companion module (registers it in sys.modules).
Status install_async_module();

}  // namespace veltrano::bindings::bridge
