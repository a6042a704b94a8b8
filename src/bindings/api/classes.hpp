// The module's five classes: their type cells (class_cell<Value>, which also selects the class of
// a ClassRef<Value> parameter), and the creation of instances from values the module already holds
// (without the constructors' checks). REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "bindings/call/conversions.hpp"
#include "bindings/class_type.hpp"
#include "bindings/py_ref.hpp"
#include "vesk-crypto/values.hpp"

namespace veltrano::bindings {

// The value stored in a DeriveKeyOptions instance.
struct DeriveKeyOptionsValue {
  std::string algorithm;
};

template <>
ClassTypeCell& class_cell<vesk::SaltBytes>();
template <>
ClassTypeCell& class_cell<vesk::NonceBytes>();
template <>
ClassTypeCell& class_cell<vesk::KeyBytes>();
template <>
ClassTypeCell& class_cell<vesk::AuthTagBytes>();
template <>
ClassTypeCell& class_cell<DeriveKeyOptionsValue>();

// A new instance of the class holding Value, without the constructor's checks; a failure to
// create the object is a fault (the value is dropped, a key wiped).
template <typename Value>
PyRef new_instance(Value value) {
  return create_instance_or_fault(class_cell<Value>(), std::move(value));
}

}  // namespace veltrano::bindings
