// Tests of AES-256-GCM sealing and opening: Wycheproof's AES-GCM vectors (256-bit key, 96-bit IV,
// 128-bit tag, no associated data), round trips, tampering, and the length and buffer rules.
#include "vesk-crypto/aead.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "test_vectors.hpp"

namespace {

using test_vectors::Bytes;
using test_vectors::from_hex;
using test_vectors::to_hex;

constexpr char kWycheproofGcm[] = "wycheproof/aes_gcm_test.json";

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes out(n);
  for (auto& b : out) {
    b = static_cast<std::uint8_t>(generator());
  }
  return out;
}

bool all_zero(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0) {
      return false;
    }
  }
  return true;
}

vesk::KeyBytes test_key(std::uint32_t seed) {
  const Bytes bytes = random_bytes(vesk::kKeySize, seed);
  return vesk::KeyBytes(
      std::span<const std::uint8_t, vesk::kKeySize>(bytes.data(), vesk::kKeySize));
}

template <std::size_t N>
std::span<const std::uint8_t, N> fixed(const Bytes& bytes) {
  return std::span<const std::uint8_t, N>(bytes.data(), N);
}

TEST(AeadWycheproof, SealsAndOpensEveryVectorWithOurParameters) {
  VECTORS_OR_SKIP(doc, kWycheproofGcm);
  int valid = 0;
  int invalid = 0;
  for (const auto& group : doc["testGroups"]) {
    if (group["keySize"] != 256 || group["ivSize"] != 96 || group["tagSize"] != 128) {
      continue;
    }
    for (const auto& test : group["tests"]) {
      if (!test["aad"].get<std::string>().empty()) {
        continue;
      }
      SCOPED_TRACE("tcId " + std::to_string(test["tcId"].get<int>()) + " " +
                   test["comment"].get<std::string>());
      const Bytes key = from_hex(test["key"].get<std::string>());
      const Bytes nonce = from_hex(test["iv"].get<std::string>());
      const Bytes msg = from_hex(test["msg"].get<std::string>());
      const Bytes ct = from_hex(test["ct"].get<std::string>());
      const Bytes tag = from_hex(test["tag"].get<std::string>());
      const std::string result = test["result"];
      ASSERT_EQ(key.size(), vesk::kKeySize);
      ASSERT_EQ(nonce.size(), vesk::kNonceSize);
      ASSERT_EQ(tag.size(), vesk::kAuthTagSize);

      Bytes opened(ct.size(), 0xAA);
      auto open_result = vesk::open(ct, fixed<vesk::kKeySize>(key), fixed<vesk::kNonceSize>(nonce),
                                    fixed<vesk::kAuthTagSize>(tag), opened);
      if (result == "valid" || result == "acceptable") {
        ++valid;
        Bytes sealed(msg.size());
        auto seal_result = vesk::seal_with_nonce(msg, fixed<vesk::kKeySize>(key),
                                                 fixed<vesk::kNonceSize>(nonce), sealed);
        ASSERT_TRUE(seal_result.ok()) << seal_result.error().message();
        EXPECT_EQ(to_hex(sealed), to_hex(ct));
        EXPECT_EQ(to_hex(seal_result.value()), to_hex(tag));
        ASSERT_TRUE(open_result.ok()) << open_result.error().message();
        EXPECT_EQ(to_hex(opened), to_hex(msg));
      } else {
        ++invalid;
        ASSERT_FALSE(open_result.ok());
        EXPECT_EQ(open_result.error().kind(), vesk::CryptoError::Kind::AuthenticationFailed);
        EXPECT_TRUE(all_zero(opened)) << "plaintext left behind: " << to_hex(opened);
      }
    }
  }
  // The file holds 21 valid and 27 invalid vectors of this shape; a filter bug must not pass.
  EXPECT_GE(valid, 20);
  EXPECT_GE(invalid, 20);
}

class AeadRoundTrip : public testing::TestWithParam<std::size_t> {};

TEST_P(AeadRoundTrip, OpensWhatItSealedInSeparateAndSharedBuffers) {
  const std::size_t size = GetParam();
  const vesk::KeyBytes key = test_key(1);
  const Bytes plaintext = random_bytes(size, static_cast<std::uint32_t>(size) + 7);

  Bytes ciphertext(size);
  auto sealed = vesk::seal(plaintext, key.span(), ciphertext);
  ASSERT_TRUE(sealed.ok()) << sealed.error().message();
  if (size >= 16) {
    EXPECT_NE(ciphertext, plaintext);
  }
  Bytes opened(size, 0xAA);
  auto opened_result =
      vesk::open(ciphertext, key.span(), sealed.value().nonce, sealed.value().tag, opened);
  ASSERT_TRUE(opened_result.ok()) << opened_result.error().message();
  EXPECT_EQ(opened, plaintext);

  // In place: the same buffer is input and output.
  Bytes buffer = plaintext;
  auto in_place = vesk::seal(buffer, key.span(), buffer);
  ASSERT_TRUE(in_place.ok());
  auto again = vesk::seal_with_nonce(plaintext, key.span(), in_place.value().nonce, ciphertext);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(buffer, ciphertext);
  EXPECT_EQ(again.value(), in_place.value().tag);
  ASSERT_TRUE(
      vesk::open(buffer, key.span(), in_place.value().nonce, in_place.value().tag, buffer).ok());
  EXPECT_EQ(buffer, plaintext);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AeadRoundTrip,
                         testing::Values(0, 1, 15, 16, 17, 4095, 65536, 1 << 20));

TEST(AeadSeal, DrawsAFreshNonceEveryCall) {
  const vesk::KeyBytes key = test_key(2);
  const Bytes plaintext(64, 0x42);
  Bytes first(64);
  Bytes second(64);
  auto a = vesk::seal(plaintext, key.span(), first);
  auto b = vesk::seal(plaintext, key.span(), second);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value().nonce, b.value().nonce);
  EXPECT_NE(first, second);
  EXPECT_NE(a.value().tag, b.value().tag);
}

TEST(AeadSeal, RefusesAnOverlongPlaintextWithoutTouchingEitherBuffer) {
  // Both spans cover inaccessible memory: reading or writing a byte would crash.
  test_vectors::InaccessibleRegion region(vesk::kMaxAeadPlaintext + 1);
  ASSERT_TRUE(region.ok());
  const vesk::KeyBytes key = test_key(3);
  auto sealed = vesk::seal(region.span(), key.span(), region.span());
  ASSERT_FALSE(sealed.ok());
  EXPECT_EQ(sealed.error().message(), "Encryption failed: aead::Error");
  const vesk::NonceBytes nonce{};
  auto with_nonce = vesk::seal_with_nonce(region.span(), key.span(), nonce, region.span());
  ASSERT_FALSE(with_nonce.ok());
  EXPECT_EQ(with_nonce.error().message(), "Encryption failed: aead::Error");
}

TEST(AeadOpen, RefusesAnOverlongCiphertextAsAnAuthenticationFailure) {
  test_vectors::InaccessibleRegion region(vesk::kMaxAeadPlaintext + 1);
  ASSERT_TRUE(region.ok());
  const vesk::KeyBytes key = test_key(4);
  const vesk::NonceBytes nonce{};
  const vesk::AuthTagBytes tag{};
  auto opened = vesk::open(region.span(), key.span(), nonce, tag, region.span());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message(), "Authentication failed: data corrupted or wrong key");
}

TEST(AeadBuffers, OutputOfAnotherLengthIsAnInternalFault) {
  const vesk::KeyBytes key = test_key(5);
  const Bytes input(32);
  Bytes shorter(31);
  const vesk::NonceBytes nonce{};
  const vesk::AuthTagBytes tag{};
  EXPECT_THROW((void)vesk::seal(input, key.span(), shorter), veltrano::Fault);
  EXPECT_THROW((void)vesk::open(input, key.span(), nonce, tag, shorter), veltrano::Fault);
}

// Every single-bit change of ciphertext, nonce, tag or key, and every change of length, must be
// refused, with nothing of the plaintext left in the output.
class AeadTamper : public testing::Test {
 protected:
  void SetUp() override {
    plaintext_ = random_bytes(33, 99);
    ciphertext_.resize(plaintext_.size());
    auto sealed = vesk::seal(plaintext_, key_.span(), ciphertext_);
    ASSERT_TRUE(sealed.ok());
    sealed_ = sealed.value();
  }

  void expect_refused(std::span<const std::uint8_t> ciphertext, const vesk::KeyBytes& key,
                      const vesk::NonceBytes& nonce, const vesk::AuthTagBytes& tag) {
    Bytes out(ciphertext.size(), 0xAA);
    auto opened = vesk::open(ciphertext, key.span(), nonce, tag, out);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind(), vesk::CryptoError::Kind::AuthenticationFailed);
    EXPECT_TRUE(all_zero(out));
  }

  vesk::KeyBytes key_ = test_key(6);
  Bytes plaintext_;
  Bytes ciphertext_;
  vesk::Sealed sealed_{};
};

TEST_F(AeadTamper, AnyCiphertextBitFlipIsRefused) {
  for (std::size_t bit = 0; bit < ciphertext_.size() * 8; ++bit) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    Bytes altered = ciphertext_;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(altered, key_, sealed_.nonce, sealed_.tag);
  }
}

TEST_F(AeadTamper, AnyNonceOrTagBitFlipIsRefused) {
  for (std::size_t bit = 0; bit < vesk::kNonceSize * 8; ++bit) {
    SCOPED_TRACE("nonce bit " + std::to_string(bit));
    vesk::NonceBytes nonce = sealed_.nonce;
    nonce[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(ciphertext_, key_, nonce, sealed_.tag);
  }
  for (std::size_t bit = 0; bit < vesk::kAuthTagSize * 8; ++bit) {
    SCOPED_TRACE("tag bit " + std::to_string(bit));
    vesk::AuthTagBytes tag = sealed_.tag;
    tag[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(ciphertext_, key_, sealed_.nonce, tag);
  }
}

TEST_F(AeadTamper, AnotherKeyIsRefused) {
  for (std::size_t bit : {0u, 77u, 255u}) {
    vesk::KeyBytes other = key_;
    other.data()[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(ciphertext_, other, sealed_.nonce, sealed_.tag);
  }
}

TEST_F(AeadTamper, ACutOrExtendedCiphertextIsRefused) {
  expect_refused(std::span<const std::uint8_t>(ciphertext_).first(ciphertext_.size() - 1), key_,
                 sealed_.nonce, sealed_.tag);
  Bytes longer = ciphertext_;
  longer.push_back(0);
  expect_refused(longer, key_, sealed_.nonce, sealed_.tag);
  expect_refused({}, key_, sealed_.nonce, sealed_.tag);
}

}  // namespace
