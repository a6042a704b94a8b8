// The argument conversions: bytes view, text, class reference and optional class reference, and
// the rewording of conversion TypeErrors as "argument 'x': ...". REQUIRES for all: the lock is
// held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "bindings/call/borrow.hpp"
#include "bindings/class_type.hpp"
#include "bindings/errors/error_value.hpp"
#include "bindings/py_ref.hpp"
#include "vesk-crypto/values.hpp"

namespace veltrano::bindings {

// "'bytearray' object cannot be converted to 'PyBytes'"
ErrorValue conversion_error(PyObject* object, const char* target);

// Rewords a TypeError (exactly) as "argument 'name': <message>", keeping its cause.
ErrorValue argument_error(const char* name, ErrorValue error);

// The internal buffer of a bytes object (or subclass); valid while the object lives.
Expected<std::span<const std::uint8_t>> to_bytes_view(PyObject* object);
Expected<std::span<const std::uint8_t>> extract_bytes(PyObject* object, const char* name);

// The strict UTF-8 encoding of a str (or subclass), copied into a buffer that is wiped on release.
// An encoding failure (lone surrogates) is passed on unchanged.
Expected<vesk::SecretBuffer> to_text(PyObject* object);
Expected<vesk::SecretBuffer> extract_text(PyObject* object, const char* name);

// The class whose instances hold Value. Each class specialises it; the specialisations are
// declared with the classes, before any use.
template <typename Value>
ClassTypeCell& class_cell();

// A reference to an instance of one class, with a shared borrow of its value, held until the end
// of the call.
template <typename Value>
class ClassRef {
 public:
  ClassRef(PyRef object, SharedBorrow borrow)
      : object_(std::move(object)), borrow_(std::move(borrow)) {}
  const Value& value() const { return instance_of<Value>(object_.get())->value; }
  PyObject* object() const { return object_.get(); }

 private:
  PyRef object_;
  SharedBorrow borrow_;  // released before the reference (members are destroyed in reverse)
};

template <typename Value>
Expected<ClassRef<Value>> to_class_ref(PyObject* object, ClassTypeCell& cell) {
  PyTypeObject* type = cell.get_or_fault();
  if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) {
    return conversion_error(object, cell.spec().name);
  }
  Expected<SharedBorrow> borrow = SharedBorrow::take(instance_of<Value>(object)->borrow_flag);
  if (!borrow.ok()) {
    return std::move(borrow).error();
  }
  return ClassRef<Value>(PyRef::borrow(object), std::move(borrow).value());
}

template <typename Value>
Expected<ClassRef<Value>> extract_class_ref(PyObject* object, ClassTypeCell& cell,
                                            const char* name) {
  Expected<ClassRef<Value>> converted = to_class_ref<Value>(object, cell);
  if (!converted.ok()) {
    return argument_error(name, std::move(converted).error());
  }
  return converted;
}

// An empty slot or None: no value.
template <typename Value>
Expected<std::optional<ClassRef<Value>>> extract_optional_class_ref(PyObject* object,
                                                                    ClassTypeCell& cell,
                                                                    const char* name) {
  if (object == nullptr || object == Py_None) {
    return std::optional<ClassRef<Value>>();
  }
  Expected<ClassRef<Value>> converted = extract_class_ref<Value>(object, cell, name);
  if (!converted.ok()) {
    return std::move(converted).error();
  }
  return std::optional<ClassRef<Value>>(std::move(converted).value());
}

}  // namespace veltrano::bindings
