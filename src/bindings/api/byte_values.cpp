// Salt, Nonce, AuthTag and Key: immutable fixed-size byte values sharing one template.
#include <algorithm>
#include <cstdint>

#include "base/fault.hpp"
#include "base/no_destructor.hpp"
#include "bindings/api/classes.hpp"
#include "bindings/call/define_function.hpp"
#include "random/fill.hpp"
#include "vesk-crypto/crypto_error.hpp"

namespace veltrano::bindings {
namespace {

// What sets one byte-value class apart from the others.
struct ByteValueKind {
  const char* name;
  std::size_t size;
  // The error for data of another size; nullptr for a class without a constructor.
  vesk::CryptoError (*size_error)(std::uint64_t expected, std::uint64_t got);
  // Whether Python code may construct one (a flag, not a test of size_error: the sanitizer's
  // null checks make a comparison of that pointer no constant expression).
  bool constructible;
  bool generates;  // has the static generate()
  bool redacted;   // repr shows no bytes
};

constexpr ByteValueKind kSalt{
    "Salt", vesk::kSaltSize, &vesk::CryptoError::invalid_salt_size, true, true, false};
constexpr ByteValueKind kNonce{
    "Nonce", vesk::kNonceSize, &vesk::CryptoError::invalid_nonce_size, true, true, false};
constexpr ByteValueKind kAuthTag{
    "AuthTag", vesk::kAuthTagSize, &vesk::CryptoError::invalid_auth_tag_size, true, false, false};
// Its value (vesk::KeyBytes) wipes itself when the instance is released.
constexpr ByteValueKind kKey{"Key", vesk::kKeySize, nullptr, false, false, true};

template <const ByteValueKind& Kind, typename Value>
class ByteValueClass {
 public:
  static ClassTypeCell& cell() {
    static NoDestructor<ClassTypeCell> instance(spec());
    return *instance;
  }

 private:
  static const ClassSpec& spec() {
    static PyMethodDef methods[] = {
        {"generate", reinterpret_cast<PyCFunction>(generate), METH_STATIC | METH_NOARGS,
         "generate()\n--\n\n"},
        {"as_bytes", reinterpret_cast<PyCFunction>(as_bytes), METH_NOARGS,
         "as_bytes($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static const ConstructorDefinition constructor = define_new();
    static const ClassSpec instance{
        Kind.name,
        constructor.text_signature,
        constructor.tp_new,
        repr,
        dealloc_instance<Value>,
        Kind.generates ? methods : methods + 1,
        nullptr,
        static_cast<int>(sizeof(Instance<Value>)),
    };
    return instance;
  }

  static ConstructorDefinition define_new() {
    if constexpr (Kind.constructible) {
      return define_constructor<&construct>(Kind.name, {"data"});
    } else {
      return ConstructorDefinition{nullptr, nullptr};
    }
  }

  static Expected<PyRef> construct(PyTypeObject* subtype, BytesView data) {
    if (data.size() != Kind.size) {
      return ErrorValue::from_crypto_error(Kind.size_error(Kind.size, data.size()));
    }
    Value value{};
    std::copy(data.begin(), data.end(), value.begin());
    return create_instance(subtype, std::move(value));
  }

  static PyObject* generate(PyObject*, PyObject*) {
    return call_guard([]() -> Expected<PyRef> {
      Value value{};
      if (auto filled = random::fill(value.data(), Kind.size); !filled.ok()) {
        throw Fault(filled.error().text());
      }
      return create_instance_or_fault(cell(), std::move(value));
    });
  }

  static PyObject* as_bytes(PyObject* self, PyObject*) {
    return call_guard([self]() -> Expected<PyRef> {
      auto receiver = to_class_ref<Value>(self, cell());
      if (!receiver.ok()) {
        return std::move(receiver).error();
      }
      return checked(PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(receiver.value().value().data()), Kind.size));
    });
  }

  static PyObject* repr(PyObject* self) {
    return call_guard([self]() -> Expected<PyRef> {
      auto receiver = to_class_ref<Value>(self, cell());
      if (!receiver.ok()) {
        return std::move(receiver).error();
      }
      if constexpr (Kind.redacted) {
        // The reprs are texts callers match on (docs/design.md).
        return checked(PyUnicode_FromString("Key([REDACTED])"));
      } else {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text = std::string(Kind.name) + "(";
        for (std::uint8_t byte : receiver.value().value()) {
          text.push_back(kHex[byte >> 4]);
          text.push_back(kHex[byte & 0x0f]);
        }
        text.push_back(')');
        return checked(new_str(text));
      }
    });
  }
};

using SaltClass = ByteValueClass<kSalt, vesk::SaltBytes>;
using NonceClass = ByteValueClass<kNonce, vesk::NonceBytes>;
using AuthTagClass = ByteValueClass<kAuthTag, vesk::AuthTagBytes>;
using KeyClass = ByteValueClass<kKey, vesk::KeyBytes>;

}  // namespace

template <>
ClassTypeCell& class_cell<vesk::SaltBytes>() {
  return SaltClass::cell();
}
template <>
ClassTypeCell& class_cell<vesk::NonceBytes>() {
  return NonceClass::cell();
}
template <>
ClassTypeCell& class_cell<vesk::AuthTagBytes>() {
  return AuthTagClass::cell();
}
template <>
ClassTypeCell& class_cell<vesk::KeyBytes>() {
  return KeyClass::cell();
}

}  // namespace veltrano::bindings
