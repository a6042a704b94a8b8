// The module functions (derive_key, encrypt, decrypt) in registration order, and the set-up that
// runs after the module body. REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <span>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

// Definitions in registration order; they live for the process.
std::span<const PyMethodDef* const> module_functions();

// Process set-up that needs the finished module (exit hook, companion module).
Status after_module_body(PyObject* module);

}  // namespace veltrano::bindings
