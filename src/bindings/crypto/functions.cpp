#include "bindings/crypto/functions.hpp"

#include "bindings/crypto/module_functions.hpp"

namespace veltrano::bindings {

std::span<const PyMethodDef* const> module_functions() {
  static const PyMethodDef* const functions[] = {&encrypt_definition, &decrypt_definition};
  return functions;
}

Status after_module_body(PyObject*) { return ok_status(); }

}  // namespace veltrano::bindings
