// Tests of PBKDF2-HMAC-SHA-256: Wycheproof's vectors, the fixed-cost keys of derived_keys.json at
// 600,000 iterations, and a cross-check against libcrypto's PKCS5_PBKDF2_HMAC on random inputs.
// Built twice by `make test`: into the native tests with the fast path, and on its own with the
// deprecated libcrypto API hidden (veltrano_pbkdf2_fallback_tests), so the fallback is covered too.
#include "vesk-crypto/domain/pbkdf2.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "test_vectors.hpp"

namespace {

using test_vectors::Bytes;
using test_vectors::from_hex;
using test_vectors::to_hex;

constexpr char kDerivedKeys[] = "derived_keys.json";
constexpr char kWycheproofPbkdf2[] = "wycheproof/pbkdf2_hmacsha256_test.json";
constexpr std::uint32_t kFixedIterations = 600000;

Bytes random_bytes(std::mt19937& generator, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) {
    b = static_cast<std::uint8_t>(generator());
  }
  return out;
}

// The build this binary tests: the fallback target defines VELTRANO_EXPECT_PBKDF2_FALLBACK, so
// a build that silently kept the fast path (or lost it) fails here.
TEST(Pbkdf2, BuildUsesTheExpectedPath) {
#ifdef VELTRANO_EXPECT_PBKDF2_FALLBACK
  EXPECT_FALSE(vesk::pbkdf2_has_fast_path());
#else
  EXPECT_TRUE(vesk::pbkdf2_has_fast_path());
#endif
}

TEST(Pbkdf2, MatchesTheFixedCostKeys) {
  VECTORS_OR_SKIP(doc, kDerivedKeys);
  const auto& vectors = doc["fixed_cost"];
  ASSERT_FALSE(vectors.empty());
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector["comment"].get<std::string>());
    Bytes key(32);
    vesk::pbkdf2_hmac_sha256(from_hex(vector["passphrase_utf8_hex"].get<std::string>()),
                             from_hex(vector["salt_hex"].get<std::string>()), kFixedIterations,
                             key);
    EXPECT_EQ(to_hex(key), vector["pbkdf2"].get<std::string>());
  }
}

TEST(Pbkdf2, MatchesWycheproofVectors) {
  VECTORS_OR_SKIP(doc, kWycheproofPbkdf2);
  // Vectors above 100,000 iterations would only slow the suite; the fixed-cost keys cover
  // 600,000. The file has none today, so every vector runs.
  constexpr std::uint32_t kMaxIterations = 100000;
  int checked = 0;
  int skipped = 0;
  for (const auto& group : doc["testGroups"]) {
    for (const auto& test : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(test["tcId"].get<int>()));
      const auto iterations = test["iterationCount"].get<std::uint32_t>();
      if (iterations > kMaxIterations) {
        ++skipped;
        continue;
      }
      ASSERT_EQ(test["result"], "valid");
      const Bytes password = from_hex(test["password"].get<std::string>());
      const Bytes salt = from_hex(test["salt"].get<std::string>());
      Bytes dk(test["dkLen"].get<std::size_t>());
      vesk::pbkdf2_hmac_sha256(password, salt, iterations, dk);
      EXPECT_EQ(to_hex(dk), test["dk"].get<std::string>());
      ++checked;
    }
  }
  EXPECT_GT(checked, 50);
  if (skipped > 0) {
    std::cout << "skipped " << skipped << " vectors above " << kMaxIterations << " iterations\n";
  }
}

TEST(Pbkdf2, AgreesWithLibcryptoOnRandomInputs) {
  std::mt19937 generator(20240611);
  // Passphrase lengths around the 64-byte HMAC block, where the key is hashed first.
  std::vector<std::size_t> lengths = {0, 1, 31, 32, 55, 56, 63, 64, 65, 127, 128, 200};
  for (int i = 0; i < 40; ++i) {
    lengths.push_back(generator() % 201);
  }
  for (std::size_t length : lengths) {
    const Bytes passphrase = random_bytes(generator, length);
    const Bytes salt = random_bytes(generator, generator() % 80);
    const std::uint32_t iterations = 1 + generator() % 3000;
    const std::size_t dk_len = 1 + generator() % 100;
    SCOPED_TRACE("passphrase " + std::to_string(length) + " bytes, salt " +
                 std::to_string(salt.size()) + ", c = " + std::to_string(iterations) + ", dkLen " +
                 std::to_string(dk_len));
    Bytes ours(dk_len);
    vesk::pbkdf2_hmac_sha256(passphrase, salt, iterations, ours);
    Bytes theirs(dk_len);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(passphrase.data()),
                                static_cast<int>(passphrase.size()), salt.data(),
                                static_cast<int>(salt.size()), static_cast<int>(iterations),
                                EVP_sha256(), static_cast<int>(dk_len), theirs.data()),
              1);
    EXPECT_EQ(to_hex(ours), to_hex(theirs));
  }
}

}  // namespace
