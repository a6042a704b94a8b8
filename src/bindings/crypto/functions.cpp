#include "bindings/crypto/functions.hpp"

#include "bindings/bridge/task_panic.hpp"
#include "bindings/crypto/module_functions.hpp"

namespace veltrano::bindings {

std::span<const PyMethodDef* const> module_functions() {
  static const PyMethodDef* const functions[] = {&derive_key_definition, &encrypt_definition,
                                                   &decrypt_definition};
  return functions;
}

Status after_module_body(PyObject*) { return bridge::install_async_module(); }

}  // namespace veltrano::bindings
