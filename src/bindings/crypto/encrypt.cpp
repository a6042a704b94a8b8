// encrypt(plaintext, key) -> (Nonce, bytes, AuthTag): AES-256-GCM with a fresh random nonce.
#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/crypto/classes.hpp"
#include "bindings/crypto/module_functions.hpp"
#include "bindings/registration.hpp"
#include "vesk-crypto/aead.hpp"

namespace veltrano::bindings {
namespace {

constexpr std::string_view kParameters[] = {"plaintext", "key"};
const ParameterSpec kSpec{"", "encrypt", kParameters, 0, 2};

Expected<PyRef> encrypt_body(PyObject* args, PyObject* kwargs) {
  Slots<2> slots{};
  if (Status bound = bind_arguments(kSpec, args, kwargs, slots); !bound.ok()) {
    return std::move(bound).error();
  }
  auto plaintext = extract_bytes(slots[0], "plaintext");
  if (!plaintext.ok()) {
    return std::move(plaintext).error();
  }
  auto key = extract_class_ref<vesk::KeyBytes>(slots[1], key_cell(), "key");
  if (!key.ok()) {
    return std::move(key).error();
  }
  const std::span<const std::uint8_t> input = plaintext.value();
  if (input.size() > vesk::kMaxAeadPlaintext) {
    return ErrorValue::from_crypto_error(vesk::CryptoError::encryption_failed("aead::Error"));
  }
  // The ciphertext goes straight into the result object: nobody else can see it yet.
  PyRef ciphertext = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(input.size())));
  if (!ciphertext) {
    return ErrorValue::fetch();
  }
  std::span<std::uint8_t> output(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(ciphertext.get())),
                                 input.size());
  const vesk::KeyBytes& key_bytes = key.value().value();
  vesk::Result<vesk::Sealed> sealed =
      without_lock([&] { return vesk::seal(input, key_bytes.span(), output); });
  if (!sealed.ok()) {
    return ErrorValue::from_crypto_error(sealed.error());
  }
  PyRef nonce = new_nonce(sealed.value().nonce);
  PyRef tag = new_auth_tag(sealed.value().tag);
  PyObject* result = PyTuple_New(3);
  if (result == nullptr) {
    return ErrorValue::fetch();
  }
  PyTuple_SetItem(result, 0, nonce.release());
  PyTuple_SetItem(result, 1, ciphertext.release());
  PyTuple_SetItem(result, 2, tag.release());
  return PyRef::steal(result);
}

PyObject* encrypt_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guard([=] { return encrypt_body(args, kwargs); });
}

}  // namespace

const PyMethodDef encrypt_definition = {"encrypt", as_py_cfunction(encrypt_entry),
                                        METH_VARARGS | METH_KEYWORDS,
                                        "encrypt(plaintext, key)\n--\n\n"};

}  // namespace veltrano::bindings
