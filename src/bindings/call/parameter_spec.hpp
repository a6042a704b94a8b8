// ParameterSpec and bind_arguments: mapping a call's positional tuple and keyword dict onto the
// parameters of a callable, with the interpreter's own TypeError texts. REQUIRES: the lock is held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// Static description of a callable's parameters.
struct ParameterSpec {
  std::string_view owner;  // empty for module functions
  std::string_view function;
  std::span<const std::string_view> positional;
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;
  std::span<const KeywordOnlyParameter> keyword_only = {};

  std::size_t parameter_count() const { return positional.size() + keyword_only.size(); }
  // "Salt.__new__()" or "encrypt()".
  std::string display_name() const;
};

// Fills slots (one per parameter, positional first, then keyword-only) with borrowed references
// to the bound objects; empty slots stay NULL. The caller's tuple and dict keep them alive.
// REQUIRES: slots.size() == spec.parameter_count() and all slots are NULL.
Status bind_arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots);

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_name_list(std::span<const std::string_view> names);

// A slot array sized for a spec, on the stack.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

}  // namespace veltrano::bindings
