// The module functions: the method-table record of each, defined (with define_function) in the file
// that implements it, and their registration order. Read-only after static initialisation.
#pragma once

#include <Python.h>

#include <span>

namespace veltrano::bindings {

extern const PyMethodDef derive_key_definition;
extern const PyMethodDef encrypt_definition;
extern const PyMethodDef decrypt_definition;

// The records in registration order; they live for the process.
std::span<const PyMethodDef* const> module_functions();

}  // namespace veltrano::bindings
