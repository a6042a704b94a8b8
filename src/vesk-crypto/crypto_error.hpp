// CryptoError: the crypto layer's failures as values, and Result<T>, a value or a CryptoError.
// Plain values, moved between threads, never shared.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/result.hpp"

namespace vesk {

class CryptoError {
 public:
  // Declaration order is part of the error model; keep it.
  enum class Kind : std::uint8_t {
    PassphraseRequired,
    InvalidSaltSize,
    InvalidNonceSize,
    InvalidAuthTagSize,
    KeyDerivationFailed,
    EncryptionFailed,
    AuthenticationFailed,
    DecryptionFailed,
  };

  static CryptoError passphrase_required() { return CryptoError(Kind::PassphraseRequired); }
  static CryptoError invalid_salt_size(std::uint64_t expected, std::uint64_t got) {
    return CryptoError(Kind::InvalidSaltSize, expected, got);
  }
  static CryptoError invalid_nonce_size(std::uint64_t expected, std::uint64_t got) {
    return CryptoError(Kind::InvalidNonceSize, expected, got);
  }
  static CryptoError invalid_auth_tag_size(std::uint64_t expected, std::uint64_t got) {
    return CryptoError(Kind::InvalidAuthTagSize, expected, got);
  }
  static CryptoError key_derivation_failed(std::string detail) {
    return CryptoError(Kind::KeyDerivationFailed, std::move(detail));
  }
  static CryptoError encryption_failed(std::string detail) {
    return CryptoError(Kind::EncryptionFailed, std::move(detail));
  }
  static CryptoError authentication_failed() { return CryptoError(Kind::AuthenticationFailed); }
  static CryptoError decryption_failed(std::string detail) {
    return CryptoError(Kind::DecryptionFailed, std::move(detail));
  }

  Kind kind() const noexcept { return kind_; }
  const std::string& detail() const noexcept { return detail_; }

  // The user-visible message, e.g. "Invalid salt size: expected 32, got 3". This is the only
  // place where the messages are formatted.
  std::string message() const;

 private:
  explicit CryptoError(Kind kind) : kind_(kind) {}
  CryptoError(Kind kind, std::uint64_t expected, std::uint64_t got)
      : kind_(kind), expected_(expected), got_(got) {}
  CryptoError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::uint64_t expected_ = 0;
  std::uint64_t got_ = 0;
  std::string detail_;
};

// A value of T or a CryptoError.
template <typename T>
using Result = veltrano::Result<T, CryptoError>;

}  // namespace vesk
