#include "vesk-crypto/crypto_error.hpp"

namespace vesk {

std::string CryptoError::message() const {
  auto sizes = [this](const char* what) {
    return std::string("Invalid ") + what + " size: expected " + std::to_string(expected_) +
           ", got " + std::to_string(got_);
  };
  switch (kind_) {
    case Kind::PassphraseRequired:
      return "Passphrase is required";
    case Kind::InvalidSaltSize:
      return sizes("salt");
    case Kind::InvalidNonceSize:
      return sizes("nonce");
    case Kind::InvalidAuthTagSize:
      return sizes("auth tag");
    case Kind::KeyDerivationFailed:
      return "Key derivation failed: " + detail_;
    case Kind::EncryptionFailed:
      return "Encryption failed: " + detail_;
    case Kind::AuthenticationFailed:
      return "Authentication failed: data corrupted or wrong key";
    case Kind::DecryptionFailed:
      return "Decryption failed: " + detail_;
  }
  return "unknown error";
}

}  // namespace vesk
