// decrypt(ciphertext, key, nonce, auth_tag) -> bytes: verifies the tag, then opens the data.
#include "bindings/api/classes.hpp"
#include "bindings/api/functions.hpp"
#include "bindings/bytes_buffer.hpp"
#include "bindings/call/define_function.hpp"
#include "vesk-crypto/aead.hpp"

namespace veltrano::bindings {
namespace {

Expected<PyRef> decrypt(BytesView ciphertext, ClassRef<vesk::KeyBytes> key,
                        ClassRef<vesk::NonceBytes> nonce, ClassRef<vesk::AuthTagBytes> auth_tag) {
  if (ciphertext.size() > vesk::kMaxAeadPlaintext) {
    return ErrorValue::from_crypto_error(vesk::CryptoError::authentication_failed());
  }
  // Opened in place in the result object, which is wiped by open() and dropped on failure.
  Expected<BytesBuffer> plaintext = new_bytes_buffer(ciphertext.size());
  if (!plaintext.ok()) {
    return std::move(plaintext).error();
  }
  const std::span<std::uint8_t> output = plaintext.value().bytes;
  const vesk::KeyBytes& key_bytes = key.value();
  const vesk::NonceBytes& nonce_bytes = nonce.value();
  const vesk::AuthTagBytes& tag_bytes = auth_tag.value();
  vesk::Result<void> opened = without_lock([&] {
    return vesk::open(ciphertext, key_bytes.span(),
                      std::span<const std::uint8_t, vesk::kNonceSize>(nonce_bytes),
                      std::span<const std::uint8_t, vesk::kAuthTagSize>(tag_bytes), output);
  });
  if (!opened.ok()) {
    return ErrorValue::from_crypto_error(opened.error());
  }
  return std::move(plaintext).value().object;
}

}  // namespace

const PyMethodDef decrypt_definition =
    define_function<&decrypt>("decrypt", {"ciphertext", "key", "nonce", "auth_tag"});

}  // namespace veltrano::bindings
