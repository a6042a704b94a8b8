// The PanicException type raised for internal faults inside entry points.
// Created once per process on first use; REQUIRES: the lock is held.
#pragma once

#include <Python.h>

namespace veltrano::bindings {

// Borrowed reference to "veltrano_runtime.PanicException"; throws Fault if it cannot be created.
PyObject* panic_exception_type();

}  // namespace veltrano::bindings

namespace veltrano::bindings {

// The type if it has been created already, else nullptr (never creates it).
PyObject* existing_panic_exception_type() noexcept;

}  // namespace veltrano::bindings
