#include "bindings/class_type.hpp"

#include <utility>

#include "base/fault.hpp"

namespace veltrano::bindings {
namespace {

// A compatibility text that callers match on: keep it as it is (docs/design.md).
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return call_guard([type]() -> Expected<PyRef> {
    std::string name = "<unknown>";
    PyRef attribute =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (attribute && PyUnicode_Check(attribute.get())) {
      if (auto text = utf8_of(attribute.get())) {
        name = *text;
      }
    }
    PyErr_Clear();
    return ErrorValue::type_error("No constructor defined for " + name);
  });
}

}  // namespace

Expected<PyTypeObject*> ClassTypeCell::get() {
  if (type_) {
    return reinterpret_cast<PyTypeObject*>(type_.get());
  }
  std::vector<PyType_Slot> slots;
  if (spec_.text_signature != nullptr) {
    doc_ = std::string(spec_.name) + spec_.text_signature + "\n--\n\n";
    if (doc_.find('\0') != std::string::npos) {
      return ErrorValue::value_error("class doc cannot contain nul bytes");
    }
    slots.push_back({Py_tp_doc, const_cast<char*>(doc_.c_str())});
  }
  if (spec_.tp_new != nullptr) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec_.tp_new)});
  }
  if (spec_.tp_repr != nullptr) {
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec_.tp_repr)});
  }
  if (spec_.tp_call != nullptr) {
    slots.push_back({Py_tp_call, reinterpret_cast<void*>(spec_.tp_call)});
  }
  if (spec_.methods != nullptr) {
    slots.push_back({Py_tp_methods, spec_.methods});
  }
  if (spec_.getset != nullptr) {
    slots.push_back({Py_tp_getset, spec_.getset});
  }
  slots.push_back({Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)});
  if (spec_.tp_new == nullptr) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
  }
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec_.tp_dealloc)});
  slots.push_back({0, nullptr});

  // "builtins.Salt": how callers see the classes (docs/design.md).
  qualified_name_ = std::string("builtins.") + spec_.name;
  if (auto nul = qualified_name_.find('\0'); nul != std::string::npos) {
    return ErrorValue::value_error("nul byte found in provided data at position: " +
                                   std::to_string(nul));
  }
  PyType_Spec type_spec{qualified_name_.c_str(), spec_.basic_size, 0, Py_TPFLAGS_DEFAULT,
                        slots.data()};
  PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
  if (!type) {
    return ErrorValue::fetch();
  }
  return reinterpret_cast<PyTypeObject*>(type_.set_once(std::move(type)));
}

PyTypeObject* ClassTypeCell::get_or_fault() {
  Expected<PyTypeObject*> type = get();
  if (!type.ok()) {
    std::move(type).error().restore();
    PyErr_PrintEx(0);
    // A compatibility text that callers match on: keep it as it is (docs/design.md).
    throw Fault(std::string("failed to create type object for ") + spec_.name);
  }
  return type.value();
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_function == nullptr) {
    throw Fault("PyBaseObject_Type should have tp_free");
  }
  // The instance's reference to its heap type, given back once the memory is freed.
  PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
  free_function(self);
}

}  // namespace veltrano::bindings
