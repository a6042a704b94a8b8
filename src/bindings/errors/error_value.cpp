#include "bindings/errors/error_value.hpp"

#include <cstdio>

#include "base/fault.hpp"
#include "bindings/errors/panic_exception.hpp"
#include "bindings/text.hpp"

namespace veltrano::bindings {
namespace {

PyObject* type_error_type() { return PyExc_TypeError; }
PyObject* value_error_type() { return PyExc_ValueError; }
PyObject* runtime_error_type() { return PyExc_RuntimeError; }
PyObject* attribute_error_type() { return PyExc_AttributeError; }
PyObject* import_error_type() { return PyExc_ImportError; }
PyObject* system_error_type() { return PyExc_SystemError; }

// This text and those of resume_fault are texts callers match on (docs/design.md).
constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";

[[noreturn]] void resume_fault(PyRef type, PyRef value, PyRef traceback) {
  std::string message = "Unwrapped panic from Python code";
  if (value) {
    if (auto text = lossy_str(value.get())) {
      message = *text;
    }
  }
  std::fputs(
      "--- A fault is being resumed after a PanicException was fetched from the interpreter ---\n",
      stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  throw Fault(std::move(message));
}

}  // namespace

ErrorValue ErrorValue::type_error(std::string message) {
  return lazy(type_error_type, std::move(message));
}
ErrorValue ErrorValue::value_error(std::string message) {
  return lazy(value_error_type, std::move(message));
}
ErrorValue ErrorValue::runtime_error(std::string message) {
  return lazy(runtime_error_type, std::move(message));
}
ErrorValue ErrorValue::attribute_error(std::string message) {
  return lazy(attribute_error_type, std::move(message));
}
ErrorValue ErrorValue::import_error(std::string message) {
  return lazy(import_error_type, std::move(message));
}
ErrorValue ErrorValue::system_error(std::string message) {
  return lazy(system_error_type, std::move(message));
}
ErrorValue ErrorValue::from_crypto_error(const vesk::CryptoError& error) {
  return value_error(error.message());
}

ErrorValue ErrorValue::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Fetched fetched{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
  if (!fetched.type) {
    return system_error(kNoErrorSet);
  }
  if (PyObject* panic = existing_panic_exception_type(); panic != nullptr && type == panic) {
    resume_fault(std::move(fetched.type), std::move(fetched.value), std::move(fetched.traceback));
  }
  return ErrorValue(std::move(fetched));
}

PyObject* ErrorValue::type() const {
  if (const Lazy* lazy = std::get_if<Lazy>(&state_)) {
    return lazy->type();
  }
  return std::get<Fetched>(state_).type.get();
}

void ErrorValue::restore() && {
  if (Lazy* lazy = std::get_if<Lazy>(&state_)) {
    PyRef message = PyRef::steal(new_str(lazy->message));
    if (!message) {
      throw Fault("could not create the message of an exception");
    }
    PyObject* type = lazy->type();
    if (!PyExceptionClass_Check(type)) {
      PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
      return;
    }
    PyErr_SetObject(type, message.get());
    return;
  }
  Fetched& fetched = std::get<Fetched>(state_);
  PyErr_Restore(fetched.type.release(), fetched.value.release(), fetched.traceback.release());
}

PyRef ErrorValue::into_exception() && {
  if (is_lazy()) {
    // Let the interpreter build it exactly as it would be raised, then take it back.
    std::move(*this).restore();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
      throw Fault("could not create an exception");
    }
    state_ = Fetched{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
  }
  Fetched& fetched = std::get<Fetched>(state_);
  PyObject* type = fetched.type.release();
  PyObject* value = fetched.value.release();
  PyObject* traceback = fetched.traceback.release();
  // Normalising may replace each of the three; the results are owned again below.
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef normalised_type = PyRef::steal(type);
  PyRef normalised_value = PyRef::steal(value);
  PyRef normalised_traceback = PyRef::steal(traceback);
  if (normalised_value && normalised_traceback) {
    PyException_SetTraceback(normalised_value.get(), normalised_traceback.get());
  }
  if (!normalised_value) {
    throw Fault("could not normalise an exception");
  }
  return normalised_value;
}

}  // namespace veltrano::bindings
