// encrypt(plaintext, key) -> (Nonce, bytes, AuthTag): AES-256-GCM with a fresh random nonce.
#include "bindings/api/classes.hpp"
#include "bindings/api/functions.hpp"
#include "bindings/bytes_buffer.hpp"
#include "bindings/call/define_function.hpp"
#include "vesk-crypto/aead.hpp"

namespace veltrano::bindings {
namespace {

Expected<PyRef> encrypt(BytesView plaintext, ClassRef<vesk::KeyBytes> key) {
  if (plaintext.size() > vesk::kMaxAeadPlaintext) {
    // "aead::Error" is a text callers match on, odd as it looks (docs/design.md).
    return ErrorValue::from_crypto_error(vesk::CryptoError::encryption_failed("aead::Error"));
  }
  // The ciphertext goes straight into the result object: nobody else can see it yet.
  Expected<BytesBuffer> ciphertext = new_bytes_buffer(plaintext.size());
  if (!ciphertext.ok()) {
    return std::move(ciphertext).error();
  }
  const std::span<std::uint8_t> output = ciphertext.value().bytes;
  const vesk::KeyBytes& key_bytes = key.value();
  vesk::Result<vesk::Sealed> sealed =
      without_lock([&] { return vesk::seal(plaintext, key_bytes.span(), output); });
  if (!sealed.ok()) {
    return ErrorValue::from_crypto_error(sealed.error());
  }
  PyRef nonce = new_instance(sealed.value().nonce);
  PyRef tag = new_instance(sealed.value().tag);
  PyObject* result = PyTuple_New(3);
  if (result == nullptr) {
    return ErrorValue::fetch();
  }
  PyTuple_SetItem(result, 0, nonce.release());
  PyTuple_SetItem(result, 1, ciphertext.value().object.release());
  PyTuple_SetItem(result, 2, tag.release());
  return PyRef::steal(result);
}

}  // namespace

const PyMethodDef encrypt_definition = define_function<&encrypt>("encrypt", {"plaintext", "key"});

}  // namespace veltrano::bindings
