// Argument<T>: the conversion that a parameter of type T in a declared callable stands for, chosen
// by the type alone (see define_function.hpp). REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "bindings/call/conversions.hpp"
#include "bindings/errors/error_value.hpp"
#include "vesk-crypto/values.hpp"

namespace veltrano::bindings {

// A bytes object (or subclass): its internal buffer, valid for the call.
using BytesView = std::span<const std::uint8_t>;

// A str (or subclass): its strict UTF-8 encoding, copied into a buffer wiped on release.
using Utf8Text = vesk::SecretBuffer;

// A parameter that may be left out (not passed as None): empty when it was.
template <typename T>
struct Omittable {
  std::optional<T> value;
};

// Each specialisation says whether the parameter may be left out, how its default shows in a text
// signature, and how the bound object (NULL when left out) becomes the value; a failed conversion
// is reworded as "argument '<name>': ...".
template <typename T>
struct Argument;

template <>
struct Argument<BytesView> {
  static constexpr const char* kDefault = nullptr;  // required
  static Expected<BytesView> extract(PyObject* object, const char* name) {
    return extract_bytes(object, name);
  }
};

template <>
struct Argument<Utf8Text> {
  static constexpr const char* kDefault = nullptr;
  static Expected<Utf8Text> extract(PyObject* object, const char* name) {
    return extract_text(object, name);
  }
};

template <typename Value>
struct Argument<ClassRef<Value>> {
  static constexpr const char* kDefault = nullptr;
  static Expected<ClassRef<Value>> extract(PyObject* object, const char* name) {
    return extract_class_ref<Value>(object, class_cell<Value>(), name);
  }
};

// Left out or None: no instance.
template <typename Value>
struct Argument<std::optional<ClassRef<Value>>> {
  static constexpr const char* kDefault = "None";
  static Expected<std::optional<ClassRef<Value>>> extract(PyObject* object, const char* name) {
    return extract_optional_class_ref<Value>(object, class_cell<Value>(), name);
  }
};

template <typename T>
struct Argument<Omittable<T>> {
  static constexpr const char* kDefault = "...";
  static Expected<Omittable<T>> extract(PyObject* object, const char* name) {
    if (object == nullptr) {
      return Omittable<T>{};
    }
    Expected<T> converted = Argument<T>::extract(object, name);
    if (!converted.ok()) {
      return std::move(converted).error();
    }
    return Omittable<T>{std::move(converted).value()};
  }
};

}  // namespace veltrano::bindings
