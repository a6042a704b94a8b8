// The process set-up that needs the finished module: the exit hook that ends lock sections before
// the interpreter finalises, and the veltrano_async companion module. REQUIRES: the lock is held.
#pragma once

#include <Python.h>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

// Registers the exit hook and installs veltrano_async; run once, after the module body.
Status after_module_body(PyObject* module);

}  // namespace veltrano::bindings
