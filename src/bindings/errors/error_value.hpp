// ErrorValue: an error on its way to the interpreter, lazy (type + message, no interpreter object,
// movable between threads) or fetched (the interpreter's own triple). Expected<T>: T or an error.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <variant>

#include "base/result.hpp"
#include "bindings/py_ref.hpp"
#include "vesk-crypto/crypto_error.hpp"

namespace veltrano::bindings {

class ErrorValue {
 public:
  // Returns the exception type (a borrowed reference). REQUIRES: the lock is held.
  using TypeGetter = PyObject* (*)();

  struct Lazy {
    TypeGetter type;
    std::string message;
  };
  struct Fetched {
    PyRef type;
    PyRef value;
    PyRef traceback;
  };

  static ErrorValue lazy(TypeGetter type, std::string message) {
    return ErrorValue(Lazy{type, std::move(message)});
  }
  static ErrorValue type_error(std::string message);
  static ErrorValue value_error(std::string message);
  static ErrorValue runtime_error(std::string message);
  static ErrorValue attribute_error(std::string message);
  static ErrorValue import_error(std::string message);
  static ErrorValue system_error(std::string message);
  // The ValueError of a crypto-layer failure. Makes no interpreter call; safe on any thread.
  static ErrorValue from_crypto_error(const vesk::CryptoError& error);

  // Takes the interpreter's current error; a lazy SystemError if none is set. A fetched
  // PanicException resumes the fault (prints it and throws Fault). REQUIRES: the lock is held.
  static ErrorValue fetch();

  ErrorValue(ErrorValue&&) noexcept = default;
  ErrorValue& operator=(ErrorValue&&) noexcept = default;

  bool is_lazy() const noexcept { return std::holds_alternative<Lazy>(state_); }
  const Lazy* as_lazy() const noexcept { return std::get_if<Lazy>(&state_); }
  // The exception type. REQUIRES: the lock is held.
  PyObject* type() const;

  // Makes this the interpreter's current error. REQUIRES: the lock is held.
  void restore() &&;
  // The exception object itself (normalising a fetched triple; creating a lazy one).
  // REQUIRES: the lock is held. Throws Fault if no exception object can be made.
  PyRef into_exception() &&;

 private:
  explicit ErrorValue(Lazy lazy) : state_(std::move(lazy)) {}
  explicit ErrorValue(Fetched fetched) : state_(std::move(fetched)) {}
  std::variant<Lazy, Fetched> state_;
};

// The result of boundary code: a value or an ErrorValue.
template <typename T>
using Expected = Result<T, ErrorValue>;

using Status = Expected<void>;
inline Status ok_status() { return Status(); }

// Wraps a NULL-or-new-reference result of the C API: the reference, or the fetched error.
// REQUIRES: the lock is held.
inline Expected<PyRef> checked(PyObject* result) {
  if (result == nullptr) {
    return ErrorValue::fetch();
  }
  return PyRef::steal(result);
}

}  // namespace veltrano::bindings
