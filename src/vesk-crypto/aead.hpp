// AES-256-GCM seal and open: 12-byte nonce, detached 16-byte tag, no associated data.
// Thread-safe: every call keys its own cipher context; nothing key-dependent outlives a call.
#pragma once

#include <cstdint>
#include <span>

#include "vesk-crypto/crypto_error.hpp"
#include "vesk-crypto/values.hpp"

namespace vesk {

// What seal() hands back besides the ciphertext it wrote.
struct Sealed {
  NonceBytes nonce;
  AuthTagBytes tag;
};

// The longest plaintext GCM may process under one nonce: 2^39 - 256 bits.
inline constexpr std::uint64_t kMaxAeadPlaintext = (1ull << 36) - 32;

// Fetches the cipher for the process, which seal() and open() otherwise do on their first call.
// Later calls return at once. A failure is reported by every seal() and open().
void prepare_aead() noexcept;

// Draws a fresh nonce from the calling thread's random generator and encrypts `plaintext` into
// `ciphertext_out`. Returns the nonce and the tag.
// A plaintext longer than kMaxAeadPlaintext gives encryption_failed("aead::Error") before any byte
// of either buffer is touched. A cipher that cannot be set up gives encryption_failed with
// libcrypto's error text.
// REQUIRES: ciphertext_out.size() == plaintext.size() (else veltrano::Fault is thrown).
// REQUIRES: the two buffers are the same memory (in-place) or do not overlap at all.
// Throws veltrano::Fault if the random source fails (whatever it threw becomes the message).
Result<Sealed> seal(std::span<const std::uint8_t> plaintext,
                    std::span<const std::uint8_t, kKeySize> key,
                    std::span<std::uint8_t> ciphertext_out);

// seal() with a caller-chosen nonce, for known-answer tests. Reusing a nonce under one key
// destroys GCM's security; production callers use seal().
Result<AuthTagBytes> seal_with_nonce(std::span<const std::uint8_t> plaintext,
                                     std::span<const std::uint8_t, kKeySize> key,
                                     std::span<const std::uint8_t, kNonceSize> nonce,
                                     std::span<std::uint8_t> ciphertext_out);

// Verifies `tag` over `ciphertext` and decrypts it into `plaintext_out`.
// Any mismatch (wrong key, nonce, tag or ciphertext) gives authentication_failed(), and so does a
// ciphertext longer than kMaxAeadPlaintext, refused before either buffer is touched. A cipher that
// cannot be set up gives decryption_failed with libcrypto's error text. After every failure that
// got past the length check, plaintext_out has been overwritten with zeros, since libcrypto
// decrypts while it authenticates.
// The tag comparison is constant time.
// REQUIRES: plaintext_out.size() == ciphertext.size() (else veltrano::Fault is thrown).
// REQUIRES: the two buffers are the same memory (in-place) or do not overlap at all.
Result<void> open(std::span<const std::uint8_t> ciphertext,
                  std::span<const std::uint8_t, kKeySize> key,
                  std::span<const std::uint8_t, kNonceSize> nonce,
                  std::span<const std::uint8_t, kAuthTagSize> tag,
                  std::span<std::uint8_t> plaintext_out);

}  // namespace vesk
