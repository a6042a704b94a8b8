// DeriveKeyOptions: the caller's choice of key-derivation algorithm, one writable text attribute.
#include "base/no_destructor.hpp"
#include "bindings/api/classes.hpp"
#include "bindings/call/define_function.hpp"

namespace veltrano::bindings {
namespace {

using Value = DeriveKeyOptionsValue;

constexpr const char* kDefaultAlgorithm = "argon2id";

std::string as_string(const vesk::SecretBuffer& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

Expected<PyRef> construct(PyTypeObject* subtype, Omittable<Utf8Text> algorithm) {
  Value value{kDefaultAlgorithm};
  if (algorithm.value) {
    value.algorithm = as_string(*algorithm.value);
  }
  return create_instance(subtype, std::move(value));
}

PyObject* get_algorithm(PyObject* self, void*) {
  return call_guard([self]() -> Expected<PyRef> {
    auto receiver = to_class_ref<Value>(self, class_cell<Value>());
    if (!receiver.ok()) {
      return std::move(receiver).error();
    }
    const std::string& algorithm = receiver.value().value().algorithm;
    return checked(
        PyUnicode_FromStringAndSize(algorithm.data(), static_cast<Py_ssize_t>(algorithm.size())));
  });
}

int set_algorithm(PyObject* self, PyObject* value, void*) {
  return call_guard_status([self, value]() -> Status {
    if (value == nullptr) {
      // A compatibility text that callers match on: keep it as it is (docs/design.md).
      return ErrorValue::attribute_error("can't delete attribute");
    }
    auto text = extract_text(value, "algorithm");
    if (!text.ok()) {
      return std::move(text).error();
    }
    PyTypeObject* type = class_cell<Value>().get_or_fault();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
      return conversion_error(self, "DeriveKeyOptions");
    }
    auto* instance = instance_of<Value>(self);
    auto borrow = ExclusiveBorrow::take(instance->borrow_flag);
    if (!borrow.ok()) {
      return std::move(borrow).error();
    }
    instance->value.algorithm = as_string(text.value());
    return ok_status();
  });
}

PyGetSetDef getset[] = {
    {"algorithm", get_algorithm, set_algorithm, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

template <>
ClassTypeCell& class_cell<DeriveKeyOptionsValue>() {
  static const ConstructorDefinition constructor =
      define_constructor<&construct>("DeriveKeyOptions", {"algorithm"});
  static const ClassSpec spec{
      "DeriveKeyOptions",
      constructor.text_signature,
      constructor.tp_new,
      nullptr,
      dealloc_instance<Value>,
      nullptr,
      getset,
      static_cast<int>(sizeof(Instance<Value>)),
  };
  static NoDestructor<ClassTypeCell> cell(spec);
  return *cell;
}

}  // namespace veltrano::bindings
