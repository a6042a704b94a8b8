// The method-table records of the module functions, one per file that implements them.
// Read-only after static initialisation.
#pragma once

#include <Python.h>

namespace veltrano::bindings {

extern const PyMethodDef derive_key_definition;
extern const PyMethodDef encrypt_definition;
extern const PyMethodDef decrypt_definition;

}  // namespace veltrano::bindings
