// BytesBuffer: a new bytes object whose contents are still to be written, for results produced in
// place. Nobody else can see the object until it is handed out. REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "bindings/errors/error_value.hpp"
#include "bindings/py_ref.hpp"

namespace veltrano::bindings {

struct BytesBuffer {
  PyRef object;
  std::span<std::uint8_t> bytes;  // the object's own storage; valid while the object lives
};

inline Expected<BytesBuffer> new_bytes_buffer(std::size_t size) {
  PyRef object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!object) {
    return ErrorValue::fetch();
  }
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object.get()));
  return BytesBuffer{std::move(object), std::span<std::uint8_t>(data, size)};
}

}  // namespace veltrano::bindings
