// The process set-up that needs the finished module: the libraries' process-wide state made
// ready, the exit hook that ends lock sections before the interpreter finalises, and the
// veltrano_async companion module. REQUIRES: the lock is held.
#pragma once

#include <Python.h>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

// Readies the libraries, registers the exit hook and installs veltrano_async; run once, after the
// module body.
Status after_module_body(PyObject* module);

// Registers the exit hook again if a program released it early (atexit._clear() or
// atexit._run_exitfuncs(), as multiprocessing's children do when they start). Does nothing once
// the interpreter is exiting.
Status ensure_exit_hook();

}  // namespace veltrano::bindings
