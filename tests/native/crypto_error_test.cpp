// CryptoError: the one place where the texts of the crypto layer's failures are formatted. Python
// callers see them as ValueError and match on them, so each kind's text is pinned here.
#include "vesk-crypto/crypto_error.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace vesk {
namespace {

TEST(CryptoErrorMessage, FixedTexts) {
  EXPECT_EQ(CryptoError::passphrase_required().message(), "Passphrase is required");
  EXPECT_EQ(CryptoError::authentication_failed().message(),
            "Authentication failed: data corrupted or wrong key");
}

TEST(CryptoErrorMessage, SizesShowExpectedThenGot) {
  EXPECT_EQ(CryptoError::invalid_salt_size(32, 3).message(),
            "Invalid salt size: expected 32, got 3");
  EXPECT_EQ(CryptoError::invalid_nonce_size(12, 0).message(),
            "Invalid nonce size: expected 12, got 0");
  EXPECT_EQ(CryptoError::invalid_auth_tag_size(16, 17).message(),
            "Invalid auth tag size: expected 16, got 17");
  // Counts are unsigned 64-bit: no truncation, no sign.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(CryptoError::invalid_salt_size(32, kMax).message(),
            "Invalid salt size: expected 32, got 18446744073709551615");
}

TEST(CryptoErrorMessage, DetailsFollowTheirPrefixVerbatim) {
  EXPECT_EQ(CryptoError::key_derivation_failed("password is too long").message(),
            "Key derivation failed: password is too long");
  EXPECT_EQ(CryptoError::encryption_failed("aead::Error").message(),
            "Encryption failed: aead::Error");
  EXPECT_EQ(CryptoError::decryption_failed("bad tag").message(), "Decryption failed: bad tag");
  // A worker's panic text is passed on as it is, quotes and escapes included.
  const std::string panic = "task 5 panicked with message \"a\\nb\"";
  EXPECT_EQ(CryptoError::key_derivation_failed(panic).message(), "Key derivation failed: " + panic);
  EXPECT_EQ(CryptoError::decryption_failed("").message(), "Decryption failed: ");
}

TEST(CryptoErrorKind, EachFactoryMakesItsKindAndKeepsItsDetail) {
  // The declaration order of the kinds is part of the error model.
  const CryptoError errors[] = {
      CryptoError::passphrase_required(),        CryptoError::invalid_salt_size(1, 2),
      CryptoError::invalid_nonce_size(1, 2),     CryptoError::invalid_auth_tag_size(1, 2),
      CryptoError::key_derivation_failed("kdf"), CryptoError::encryption_failed("enc"),
      CryptoError::authentication_failed(),      CryptoError::decryption_failed("dec"),
  };
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(static_cast<int>(errors[i].kind()), i);
  }
  EXPECT_EQ(errors[4].detail(), "kdf");
  EXPECT_EQ(errors[5].detail(), "enc");
  EXPECT_EQ(errors[7].detail(), "dec");
  EXPECT_EQ(errors[0].detail(), "");
}

TEST(CryptoResult, HoldsAValueOrAnError) {
  Result<int> value = 7;
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(value.value(), 7);
  Result<int> error = CryptoError::passphrase_required();
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().kind(), CryptoError::Kind::PassphraseRequired);
}

}  // namespace
}  // namespace vesk
