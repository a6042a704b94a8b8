#include "bindings/api/functions.hpp"

namespace veltrano::bindings {

std::span<const PyMethodDef* const> module_functions() {
  static const PyMethodDef* const functions[] = {&derive_key_definition, &encrypt_definition,
                                                 &decrypt_definition};
  return functions;
}

}  // namespace veltrano::bindings
