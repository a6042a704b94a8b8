#include "vesk-crypto/domain/scrypt.hpp"

#include <sodium.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "vesk-crypto/domain/sodium_ready.hpp"

namespace vesk {
namespace {

// The costs that libsodium refuses before touching memory, worded per parameter; empty when
// they are computable.
std::string cost_refusal(std::uint64_t n, std::uint32_t r, std::uint32_t p, std::size_t out_size) {
  if (out_size > std::uint64_t{32} * 0xffffffff) {
    return "scrypt output is too long";
  }
  if (std::uint64_t{r} * p >= std::uint64_t{1} << 30) {
    return "scrypt r * p must be below 2^30";
  }
  if (n < 2 || (n & (n - 1)) != 0) {
    return "scrypt N must be a power of two of at least 2";
  }
  if (n > std::uint64_t{1} << 31) {
    return "scrypt N above 2^31 is not supported";
  }
  if (r == 0 || p == 0) {
    return "scrypt r and p must be at least 1";
  }
  return {};
}

// V's size, 128 * r * n bytes, in the largest unit that divides it. r * n < 2^61 here, so the
// units are computed without overflow.
std::string work_memory_text(std::uint64_t n, std::uint32_t r) {
  const std::uint64_t blocks = n * r;  // 128-byte units
  std::string amount;
  if (blocks % 8192 == 0) {
    amount = std::to_string(blocks / 8192) + " MiB";
  } else if (blocks % 8 == 0) {
    amount = std::to_string(blocks / 8) + " KiB";
  } else {
    amount = std::to_string(blocks * 128) + " bytes";
  }
  return "could not allocate " + amount + " of work memory";
}

}  // namespace

void prepare_scrypt() noexcept { (void)sodium_ready(); }

Result<void> scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
                    std::uint64_t n, std::uint32_t r, std::uint32_t p,
                    std::span<std::uint8_t> out) {
  if (std::string refusal = cost_refusal(n, r, p, out.size()); !refusal.empty()) {
    return CryptoError::key_derivation_failed(std::move(refusal));
  }
  if (!sodium_ready()) {
    return CryptoError::key_derivation_failed("libsodium could not be initialised");
  }
  // Empty inputs still get a valid pointer: libsodium copies from them with memcpy.
  static const std::uint8_t kNoBytes = 0;
  const std::uint8_t* passphrase_bytes = passphrase.empty() ? &kNoBytes : passphrase.data();
  const std::uint8_t* salt_bytes = salt.empty() ? &kNoBytes : salt.data();

  // The costs passed the checks above, so the only failure left is the work memory, which
  // libsodium reports as ENOMEM.
  errno = 0;
  if (crypto_pwhash_scryptsalsa208sha256_ll(passphrase_bytes, passphrase.size(), salt_bytes,
                                            salt.size(), n, r, p, out.data(), out.size()) != 0) {
    const int error = errno;
    if (error == ENOMEM || error == 0) {
      return CryptoError::key_derivation_failed(work_memory_text(n, r));
    }
    return CryptoError::key_derivation_failed(
        "scrypt failed: " + std::error_code(error, std::generic_category()).message());
  }
  return {};
}

}  // namespace vesk
