// Adding classes and functions to a module and to its __all__.
// REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include "bindings/class_type.hpp"
#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

// Sets module.<name> = value and appends name to module.__all__ (created if absent).
Status add_to_module(PyObject* module, PyObject* name, PyObject* value);

// Builds the class's type if needed and adds it under name.
Status register_class(PyObject* module, ClassTypeCell& cell, const char* name);

// Creates the builtin function (its __self__ is the module) and adds it under its __name__.
// The definition must live for the process.
Status register_function(PyObject* module, const PyMethodDef& definition);

}  // namespace veltrano::bindings
