// define_function and define_constructor: a Python-visible callable declared once, from the C++
// function that implements it and its parameter names. The parameter types choose the conversions
// (arguments.hpp), and the declaration yields the rest: the ParameterSpec, the binding of the
// call's arguments, the conversions in parameter order (the first failure is raised), the
// call_guard entry and the method-table record or tp_new slot.
// Declarations run once, before the interpreter can reach the entries (static initialisation or
// module set-up); the entries then only read what the declaration wrote.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bindings/call/arguments.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/call/parameter_spec.hpp"

namespace veltrano::bindings {
namespace detail {

template <typename Function>
struct Signature;

template <typename... Params>
struct Signature<Expected<PyRef> (*)(Params...)> {
  using Parameters = std::tuple<std::remove_cvref_t<Params>...>;
};

// "(a, b, c=None)" from the names and the defaults (nullptr for a required parameter).
std::string text_signature(std::span<const std::string_view> names,
                           std::span<const char* const> defaults);

// One per declared callable. Its Python-visible parameters are those of Function after the first
// Leading ones, which the entry supplies itself (a constructor's subtype).
template <auto Function, std::size_t Leading>
class Binding {
  using All = typename Signature<decltype(Function)>::Parameters;

 public:
  static constexpr std::size_t kCount = std::tuple_size_v<All> - Leading;
  template <std::size_t I>
  using Parameter = std::tuple_element_t<Leading + I, All>;

  // Keeps the names (string literals) and builds the ParameterSpec; returns the text signature.
  static const std::string& declare(std::string_view owner, std::string_view function,
                                    const char* const (&names)[kCount]) {
    for (std::size_t i = 0; i < kCount; ++i) {
      names_[i] = names[i];
    }
    spec_ = ParameterSpec{owner, function, names_, 0, kRequired};
    static std::string signature;
    signature = text_signature(names_, kDefaults);
    return signature;
  }

  static PyObject* function_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_guard([=] { return bind_and_call(args, kwargs); });
  }

  static PyObject* constructor_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return call_guard([=] { return bind_and_call(args, kwargs, subtype); });
  }

 private:
  template <std::size_t... I>
  static constexpr std::array<const char*, kCount> defaults(std::index_sequence<I...>) {
    return {Argument<Parameter<I>>::kDefault...};
  }
  static constexpr std::array<const char*, kCount> kDefaults =
      defaults(std::make_index_sequence<kCount>());

  // bind_arguments knows only a run of required parameters followed by ones with defaults.
  static constexpr std::size_t required_count() {
    std::size_t required = 0;
    while (required < kCount && kDefaults[required] == nullptr) {
      ++required;
    }
    for (std::size_t i = required; i < kCount; ++i) {
      if (kDefaults[i] == nullptr) {
        return kCount + 1;
      }
    }
    return required;
  }
  static constexpr std::size_t kRequired = required_count();
  static_assert(kRequired <= kCount, "parameters with defaults come after the required ones");

  template <typename... Lead>
  static Expected<PyRef> bind_and_call(PyObject* args, PyObject* kwargs, Lead... lead) {
    Slots<kCount> slots{};
    if (Status bound = bind_arguments(spec_, args, kwargs, slots); !bound.ok()) {
      return std::move(bound).error();
    }
    return convert_from<0>(slots, lead...);
  }

  // Converts parameter I and the ones after it, each value staying in its frame until the call
  // returns, then calls Function with all of them.
  template <std::size_t I, typename... Done>
  static Expected<PyRef> convert_from(const Slots<kCount>& slots, Done&&... done) {
    if constexpr (I == kCount) {
      return Function(std::forward<Done>(done)...);
    } else {
      // The names are string literals, so data() is nul-terminated.
      Expected<Parameter<I>> converted =
          Argument<Parameter<I>>::extract(slots[I], names_[I].data());
      if (!converted.ok()) {
        return std::move(converted).error();
      }
      return convert_from<I + 1>(slots, std::forward<Done>(done)..., std::move(converted).value());
    }
  }

  static constinit inline std::array<std::string_view, kCount> names_{};
  static constinit inline ParameterSpec spec_{};
};

// A C entry of any method signature as the PyCFunction that method tables store; the flags tell
// the interpreter the real signature.
template <typename Entry>
PyCFunction as_py_cfunction(Entry* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace detail

// A module function: Function(converted arguments...) -> Expected<PyRef>, called with positional
// or keyword arguments. The record and its doc ("name(a, b=None)\n--\n\n", the text signature
// alone) live for the process.
template <auto Function, std::size_t N>
PyMethodDef define_function(const char* name, const char* const (&parameters)[N]) {
  using Callable = detail::Binding<Function, 0>;
  static_assert(N == Callable::kCount, "one name for each parameter");
  static std::string doc;
  doc = name + Callable::declare("", name, parameters) + "\n--\n\n";
  return PyMethodDef{name, detail::as_py_cfunction(&Callable::function_entry),
                     METH_VARARGS | METH_KEYWORDS, doc.c_str()};
}

// A class's constructor: the tp_new slot and its text signature ("(data)"), kept for the process.
struct ConstructorDefinition {
  newfunc tp_new;
  const char* text_signature;
};

// Function(subtype, converted arguments...) -> Expected<PyRef>, shown as "<owner>.__new__()" in
// the binding errors.
template <auto Function, std::size_t N>
ConstructorDefinition define_constructor(const char* owner, const char* const (&parameters)[N]) {
  using Callable = detail::Binding<Function, 1>;
  static_assert(N == Callable::kCount, "one name for each parameter after the subtype");
  using Parameters = typename detail::Signature<decltype(Function)>::Parameters;
  static_assert(std::is_same_v<std::tuple_element_t<0, Parameters>, PyTypeObject*>,
                "the subtype comes first");
  return ConstructorDefinition{&Callable::constructor_entry,
                               Callable::declare(owner, "__new__", parameters).c_str()};
}

}  // namespace veltrano::bindings
