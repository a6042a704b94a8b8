// decrypt(ciphertext, key, nonce, auth_tag) -> bytes: verifies the tag, then opens the data.
#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/crypto/classes.hpp"
#include "bindings/crypto/module_functions.hpp"
#include "bindings/registration.hpp"
#include "vesk-crypto/aead.hpp"

namespace veltrano::bindings {
namespace {

constexpr std::string_view kParameters[] = {"ciphertext", "key", "nonce", "auth_tag"};
const ParameterSpec kSpec{"", "decrypt", kParameters, 0, 4};

Expected<PyRef> decrypt_body(PyObject* args, PyObject* kwargs) {
  Slots<4> slots{};
  if (Status bound = bind_arguments(kSpec, args, kwargs, slots); !bound.ok()) {
    return std::move(bound).error();
  }
  auto ciphertext = extract_bytes(slots[0], "ciphertext");
  if (!ciphertext.ok()) {
    return std::move(ciphertext).error();
  }
  auto key = extract_class_ref<vesk::KeyBytes>(slots[1], key_cell(), "key");
  if (!key.ok()) {
    return std::move(key).error();
  }
  auto nonce = extract_class_ref<vesk::NonceBytes>(slots[2], nonce_cell(), "nonce");
  if (!nonce.ok()) {
    return std::move(nonce).error();
  }
  auto tag = extract_class_ref<vesk::AuthTagBytes>(slots[3], auth_tag_cell(), "auth_tag");
  if (!tag.ok()) {
    return std::move(tag).error();
  }
  const std::span<const std::uint8_t> input = ciphertext.value();
  if (input.size() > vesk::kMaxAeadPlaintext) {
    return ErrorValue::from_crypto_error(vesk::CryptoError::authentication_failed());
  }
  // Opened in place in the result object, which is wiped by open() and dropped on failure.
  PyRef plaintext = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(input.size())));
  if (!plaintext) {
    return ErrorValue::fetch();
  }
  std::span<std::uint8_t> output(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(plaintext.get())),
                                 input.size());
  const vesk::KeyBytes& key_bytes = key.value().value();
  const vesk::NonceBytes& nonce_bytes = nonce.value().value();
  const vesk::AuthTagBytes& tag_bytes = tag.value().value();
  vesk::Result<std::monostate> opened = without_lock([&] {
    return vesk::open(input, key_bytes.span(), std::span<const std::uint8_t, vesk::kNonceSize>(nonce_bytes),
                      std::span<const std::uint8_t, vesk::kAuthTagSize>(tag_bytes), output);
  });
  if (!opened.ok()) {
    return ErrorValue::from_crypto_error(opened.error());
  }
  return plaintext;
}

PyObject* decrypt_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guard([=] { return decrypt_body(args, kwargs); });
}

}  // namespace

const PyMethodDef decrypt_definition = {"decrypt", as_py_cfunction(decrypt_entry),
                                        METH_VARARGS | METH_KEYWORDS,
                                        "decrypt(ciphertext, key, nonce, auth_tag)\n--\n\n"};

}  // namespace veltrano::bindings
