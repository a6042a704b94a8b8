// The module's five classes: their type cells, and the creation of instances from values the
// module already holds (without the constructors' checks). REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <string>

#include "bindings/class_type.hpp"
#include "bindings/py_ref.hpp"
#include "vesk-crypto/values.hpp"

namespace veltrano::bindings {

ClassTypeCell& salt_cell();
ClassTypeCell& nonce_cell();
ClassTypeCell& key_cell();
ClassTypeCell& auth_tag_cell();
ClassTypeCell& derive_key_options_cell();

// The value stored in a DeriveKeyOptions instance.
struct DeriveKeyOptionsValue {
  std::string algorithm;
};

// New instances; a failure to create the object is a fault (the value is dropped, a key wiped).
PyRef new_key(vesk::KeyBytes key);
PyRef new_nonce(const vesk::NonceBytes& nonce);
PyRef new_auth_tag(const vesk::AuthTagBytes& tag);

}  // namespace veltrano::bindings
