#include "bindings/call/conversions.hpp"

#include "bindings/text.hpp"

namespace veltrano::bindings {

// The wording, the target names ("PyBytes", "PyString", "PyList", class names) and the
// "argument 'x': " prefix below are texts callers match on: keep them (docs/design.md).
ErrorValue conversion_error(PyObject* object, const char* target) {
  std::string message = "'";
  message.append(type_qualname(object)).append("' object cannot be converted to '");
  message.append(target).append("'");
  return ErrorValue::type_error(std::move(message));
}

ErrorValue argument_error(const char* name, ErrorValue error) {
  if (error.type() != PyExc_TypeError) {
    return error;
  }
  const std::string prefix = std::string("argument '") + name + "': ";
  if (const ErrorValue::Lazy* lazy = error.as_lazy()) {
    return ErrorValue::type_error(prefix + lazy->message);
  }
  PyRef exception = std::move(error).into_exception();
  std::string message = lossy_str(exception.get()).value_or("");
  PyRef cause = PyRef::steal(PyException_GetCause(exception.get()));
  PyRef reworded =
      PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s#", (prefix + message).c_str(),
                                         static_cast<Py_ssize_t>(prefix.size() + message.size())));
  if (!reworded) {
    return ErrorValue::fetch();
  }
  if (cause) {
    PyException_SetCause(reworded.get(), cause.release());
  }
  PyRef type = PyRef::borrow(PyExc_TypeError);
  PyErr_Restore(type.release(), reworded.release(), nullptr);
  return ErrorValue::fetch();
}

Expected<std::span<const std::uint8_t>> to_bytes_view(PyObject* object) {
  if (!PyBytes_Check(object)) {
    return conversion_error(object, "PyBytes");
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) {
    return ErrorValue::fetch();
  }
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
}

Expected<std::span<const std::uint8_t>> extract_bytes(PyObject* object, const char* name) {
  auto view = to_bytes_view(object);
  if (!view.ok()) {
    return argument_error(name, std::move(view).error());
  }
  return view;
}

Expected<vesk::SecretBuffer> to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return conversion_error(object, "PyString");
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(object));
  if (!encoded) {
    return ErrorValue::fetch();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
    return ErrorValue::fetch();
  }
  return vesk::SecretBuffer(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
}

Expected<vesk::SecretBuffer> extract_text(PyObject* object, const char* name) {
  auto text = to_text(object);
  if (!text.ok()) {
    return argument_error(name, std::move(text).error());
  }
  return text;
}

}  // namespace veltrano::bindings
