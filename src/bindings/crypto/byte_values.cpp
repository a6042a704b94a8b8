// Salt, Nonce, AuthTag and Key: immutable fixed-size byte values sharing one template.
#include <array>
#include <cstdint>

#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/crypto/classes.hpp"
#include "random/fill.hpp"
#include "vesk-crypto/crypto_error.hpp"

namespace veltrano::bindings {
namespace {

struct SaltTraits {
  static constexpr const char* kName = "Salt";
  static constexpr std::size_t kSize = vesk::kSaltSize;
  using Value = vesk::SaltBytes;
  static constexpr bool kConstructible = true;
  static constexpr bool kGenerates = true;
  static constexpr bool kRedacted = false;
  static vesk::CryptoError size_error(std::size_t got) {
    return vesk::CryptoError::invalid_salt_size(kSize, got);
  }
};

struct NonceTraits {
  static constexpr const char* kName = "Nonce";
  static constexpr std::size_t kSize = vesk::kNonceSize;
  using Value = vesk::NonceBytes;
  static constexpr bool kConstructible = true;
  static constexpr bool kGenerates = true;
  static constexpr bool kRedacted = false;
  static vesk::CryptoError size_error(std::size_t got) {
    return vesk::CryptoError::invalid_nonce_size(kSize, got);
  }
};

struct AuthTagTraits {
  static constexpr const char* kName = "AuthTag";
  static constexpr std::size_t kSize = vesk::kAuthTagSize;
  using Value = vesk::AuthTagBytes;
  static constexpr bool kConstructible = true;
  static constexpr bool kGenerates = false;
  static constexpr bool kRedacted = false;
  static vesk::CryptoError size_error(std::size_t got) {
    return vesk::CryptoError::invalid_auth_tag_size(kSize, got);
  }
};

struct KeyTraits {
  static constexpr const char* kName = "Key";
  static constexpr std::size_t kSize = vesk::kKeySize;
  using Value = vesk::KeyBytes;  // wipes itself when the instance is released
  static constexpr bool kConstructible = false;
  static constexpr bool kGenerates = false;
  static constexpr bool kRedacted = true;
};

constexpr std::string_view kDataParameter[] = {"data"};

template <typename Traits>
class ByteValueClass {
 public:
  using Value = typename Traits::Value;

  static ClassTypeCell& cell() {
    static ClassTypeCell instance(spec());
    return instance;
  }

 private:
  static const ClassSpec& spec() {
    static PyMethodDef methods[] = {
        {"generate", reinterpret_cast<PyCFunction>(generate), METH_STATIC | METH_NOARGS,
         "generate()\n--\n\n"},
        {"as_bytes", reinterpret_cast<PyCFunction>(as_bytes), METH_NOARGS, "as_bytes($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static const ClassSpec instance{
        Traits::kName,
        Traits::kConstructible ? "(data)" : nullptr,
        Traits::kConstructible ? tp_new : nullptr,
        repr,
        dealloc_instance<Value>,
        Traits::kGenerates ? methods : methods + 1,
        nullptr,
        static_cast<int>(sizeof(Instance<Value>)),
    };
    return instance;
  }

  static const std::uint8_t* bytes_of(const Value& value) { return value.data(); }

  static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    if constexpr (Traits::kConstructible) {
      return call_guard([&]() -> Expected<PyRef> {
        static const ParameterSpec parameters{Traits::kName, "__new__", kDataParameter, 0, 1};
        Slots<1> slots{};
        if (Status bound = bind_arguments(parameters, args, kwargs, slots); !bound.ok()) {
          return std::move(bound).error();
        }
        auto data = extract_bytes(slots[0], "data");
        if (!data.ok()) {
          return std::move(data).error();
        }
        if (data.value().size() != Traits::kSize) {
          return ErrorValue::from_crypto_error(Traits::size_error(data.value().size()));
        }
        Value value{};
        std::copy(data.value().begin(), data.value().end(), value.begin());
        return create_instance(subtype, std::move(value));
      });
    } else {
      return nullptr;
    }
  }

  static PyObject* generate(PyObject*, PyObject*) {
    return call_guard([]() -> Expected<PyRef> {
      Value value{};
      random::fill(value.data(), Traits::kSize);
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
          reinterpret_cast<const char*>(bytes_of(receiver.value().value())), Traits::kSize));
    });
  }

  static PyObject* repr(PyObject* self) {
    return call_guard([self]() -> Expected<PyRef> {
      auto receiver = to_class_ref<Value>(self, cell());
      if (!receiver.ok()) {
        return std::move(receiver).error();
      }
      if constexpr (Traits::kRedacted) {
        return checked(PyUnicode_FromString("Key([REDACTED])"));
      } else {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text = std::string(Traits::kName) + "(";
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

}  // namespace

ClassTypeCell& salt_cell() { return ByteValueClass<SaltTraits>::cell(); }
ClassTypeCell& nonce_cell() { return ByteValueClass<NonceTraits>::cell(); }
ClassTypeCell& auth_tag_cell() { return ByteValueClass<AuthTagTraits>::cell(); }
ClassTypeCell& key_cell() { return ByteValueClass<KeyTraits>::cell(); }

PyRef new_key(vesk::KeyBytes key) { return create_instance_or_fault(key_cell(), std::move(key)); }
PyRef new_nonce(const vesk::NonceBytes& nonce) {
  return create_instance_or_fault(nonce_cell(), vesk::NonceBytes(nonce));
}
PyRef new_auth_tag(const vesk::AuthTagBytes& tag) {
  return create_instance_or_fault(auth_tag_cell(), vesk::AuthTagBytes(tag));
}

}  // namespace veltrano::bindings
