// Small text helpers over str objects: UTF-8 extraction and descriptions for messages.
// REQUIRES for all: the interpreter lock is held.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace veltrano::bindings {

// The strict UTF-8 form of a str; nullopt (and the interpreter's error cleared) if it fails.
std::optional<std::string> utf8_of(PyObject* text);

// str(object) as UTF-8 with lone surrogates replaced; nullopt if str() fails (error cleared).
std::optional<std::string> lossy_str(PyObject* object);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// A new str from UTF-8 bytes, or NULL with the interpreter's error set.
PyObject* new_str(const std::string& text);

}  // namespace veltrano::bindings
