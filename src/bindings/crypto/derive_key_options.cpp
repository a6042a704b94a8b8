// DeriveKeyOptions: the caller's choice of key-derivation algorithm, one writable text attribute.
#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/crypto/classes.hpp"

namespace veltrano::bindings {
namespace {

using Value = DeriveKeyOptionsValue;

constexpr std::string_view kAlgorithmParameter[] = {"algorithm"};
constexpr const char* kDefaultAlgorithm = "argon2id";

std::string as_string(const vesk::SecretBuffer& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

PyObject* options_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return call_guard([&]() -> Expected<PyRef> {
    static const ParameterSpec parameters{"DeriveKeyOptions", "__new__", kAlgorithmParameter, 0, 0};
    Slots<1> slots{};
    if (Status bound = bind_arguments(parameters, args, kwargs, slots); !bound.ok()) {
      return std::move(bound).error();
    }
    Value value{kDefaultAlgorithm};
    if (slots[0] != nullptr) {
      auto text = extract_text(slots[0], "algorithm");
      if (!text.ok()) {
        return std::move(text).error();
      }
      value.algorithm = as_string(text.value());
    }
    return create_instance(subtype, std::move(value));
  });
}

PyObject* get_algorithm(PyObject* self, void*) {
  return call_guard([self]() -> Expected<PyRef> {
    auto receiver = to_class_ref<Value>(self, derive_key_options_cell());
    if (!receiver.ok()) {
      return std::move(receiver).error();
    }
    const std::string& algorithm = receiver.value().value().algorithm;
    return checked(PyUnicode_FromStringAndSize(algorithm.data(),
                                               static_cast<Py_ssize_t>(algorithm.size())));
  });
}

int set_algorithm(PyObject* self, PyObject* value, void*) {
  return call_guard_status([self, value]() -> Status {
    if (value == nullptr) {
      return ErrorValue::attribute_error("can't delete attribute");
    }
    auto text = extract_text(value, "algorithm");
    if (!text.ok()) {
      return std::move(text).error();
    }
    PyTypeObject* type = derive_key_options_cell().get_or_fault();
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

const ClassSpec options_spec{
    "DeriveKeyOptions",
    "(algorithm=...)",
    options_new,
    nullptr,
    dealloc_instance<Value>,
    nullptr,
    getset,
    static_cast<int>(sizeof(Instance<Value>)),
};

}  // namespace

ClassTypeCell& derive_key_options_cell() {
  static ClassTypeCell cell(options_spec);
  return cell;
}

}  // namespace veltrano::bindings
