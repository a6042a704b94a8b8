#include "bindings/text.hpp"

#include "bindings/py_ref.hpp"

namespace veltrano::bindings {

std::optional<std::string> utf8_of(PyObject* text) {
  PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(text));
  if (!encoded) {
    PyErr_Clear();
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> lossy_str(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!encoded) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AsString(encoded.get()),
                                                    PyBytes_Size(encoded.get()), "replace"));
  if (!decoded) {
    PyErr_Clear();
    return std::nullopt;
  }
  return utf8_of(decoded.get());
}

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    if (auto text = utf8_of(name.get())) {
      return *text;
    }
  }
  PyErr_Clear();
  // A compatibility text that callers match on: keep it as it is (docs/design.md).
  return "<failed to extract type name>";
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace veltrano::bindings
