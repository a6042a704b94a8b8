// Tests of key derivation: fixed-cost keys from derived_keys.json through run_kdf, the RFC 9106 and
// RFC 7914 examples through the parameterised cores, a cross-check of scrypt against libcrypto's
// own, and the refusals of Argon2id and scrypt, including work memory under an address-space
// limit. PBKDF2's own vectors are in pbkdf2_test.cpp.
#include "vesk-crypto/domain/key_derivation.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_check.hpp"
#include "test_vectors.hpp"
#include "vesk-crypto/domain/argon2id.hpp"
#include "vesk-crypto/domain/scrypt.hpp"

namespace {

using test_vectors::Bytes;
using test_vectors::bytes_of;
using test_vectors::from_hex;
using test_vectors::to_hex;

constexpr char kDerivedKeys[] = "derived_keys.json";

Bytes random_bytes(std::mt19937& generator, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) {
    b = static_cast<std::uint8_t>(generator());
  }
  return out;
}

vesk::SaltBytes salt_of(const Bytes& bytes) {
  vesk::SaltBytes salt{};
  EXPECT_EQ(bytes.size(), salt.size());
  std::copy_n(bytes.begin(), std::min(bytes.size(), salt.size()), salt.begin());
  return salt;
}

std::string derive_hex(const Bytes& passphrase, const vesk::SaltBytes& salt,
                       vesk::KdfAlgorithm algorithm) {
  auto key = vesk::run_kdf(vesk::KdfJob{vesk::SecretBuffer(passphrase), salt, algorithm});
  if (!key.ok()) {
    return "error: " + key.error().message();
  }
  return to_hex(key.value().span());
}

struct FixedCostCase {
  vesk::KdfAlgorithm algorithm;
  const char* field;  // the key's field in derived_keys.json
};

void PrintTo(const FixedCostCase& c, std::ostream* os) { *os << c.field; }

class FixedCostKeys : public testing::TestWithParam<FixedCostCase> {};

TEST_P(FixedCostKeys, MatchTheReferenceKeysByteForByte) {
  VECTORS_OR_SKIP(doc, kDerivedKeys);
  const auto& vectors = doc["fixed_cost"];
  ASSERT_FALSE(vectors.empty());
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector["comment"].get<std::string>());
    const Bytes passphrase = from_hex(vector["passphrase_utf8_hex"].get<std::string>());
    const vesk::SaltBytes salt = salt_of(from_hex(vector["salt_hex"].get<std::string>()));
    EXPECT_EQ(derive_hex(passphrase, salt, GetParam().algorithm),
              vector[GetParam().field].get<std::string>());
  }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, FixedCostKeys,
                         testing::Values(FixedCostCase{vesk::KdfAlgorithm::Argon2id, "argon2id"},
                                         FixedCostCase{vesk::KdfAlgorithm::Pbkdf2, "pbkdf2"},
                                         FixedCostCase{vesk::KdfAlgorithm::Scrypt, "scrypt"}),
                         [](const testing::TestParamInfo<FixedCostCase>& info) {
                           return std::string(info.param.field);
                         });

TEST(RunKdf, TheThreeAlgorithmsGiveThreeDifferentKeys) {
  const Bytes passphrase = bytes_of("same passphrase");
  vesk::SaltBytes salt{};
  salt.fill(0x5a);
  const std::string argon2id = derive_hex(passphrase, salt, vesk::KdfAlgorithm::Argon2id);
  const std::string pbkdf2 = derive_hex(passphrase, salt, vesk::KdfAlgorithm::Pbkdf2);
  const std::string scrypt = derive_hex(passphrase, salt, vesk::KdfAlgorithm::Scrypt);
  EXPECT_EQ(argon2id.size(), 64u) << argon2id;
  EXPECT_NE(argon2id, pbkdf2);
  EXPECT_NE(argon2id, scrypt);
  EXPECT_NE(pbkdf2, scrypt);
}

TEST(Argon2id, MatchesTheRfc9106Example) {
  VECTORS_OR_SKIP(doc, kDerivedKeys);
  const auto& example = doc["rfc"]["argon2id_rfc9106"];
  const Bytes password = from_hex(example["password_hex"].get<std::string>());
  const Bytes salt = from_hex(example["salt_hex"].get<std::string>());
  const Bytes secret = from_hex(example["secret_hex"].get<std::string>());
  const Bytes ad = from_hex(example["ad_hex"].get<std::string>());
  Bytes tag(example["tag_len"].get<std::size_t>());
  auto done = vesk::argon2id_raw(password, salt, example["m_kib"].get<std::uint32_t>(),
                                 example["t"].get<std::uint32_t>(),
                                 example["p"].get<std::uint32_t>(), tag, secret, ad);
  ASSERT_TRUE(done.ok()) << done.error().message();
  EXPECT_EQ(to_hex(tag), example["tag_hex"].get<std::string>());
}

// A passphrase of 2^32 bytes: the span covers inaccessible memory, so the length must be refused
// before any byte is read.
class Argon2idRefusals : public testing::Test {
 protected:
  // The library's own words for a refusal, or "accepted".
  static std::string refusal(const vesk::Result<void>& done) {
    return done.ok() ? "accepted" : done.error().detail();
  }

  test_vectors::InaccessibleRegion huge_{std::size_t{1} << 32};
  Bytes out_ = Bytes(32);
  Bytes salt_ = Bytes(16, 1);
};

TEST_F(Argon2idRefusals, PassphraseOf2To32BytesIsTooLong) {
  ASSERT_TRUE(huge_.ok());
  auto done = vesk::argon2id_raw(huge_.span(), salt_, 65536, 3, 4, out_);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error().kind(), vesk::CryptoError::Kind::KeyDerivationFailed);
  EXPECT_EQ(done.error().message(), "Key derivation failed: password is too long");
}

TEST_F(Argon2idRefusals, ChecksOutputThenPassphraseThenSalt) {
  ASSERT_TRUE(huge_.ok());
  Bytes short_out(3);
  const Bytes short_salt(7);
  EXPECT_EQ(refusal(vesk::argon2id_raw(huge_.span(), short_salt, 65536, 3, 4, short_out)),
            "output is too short");
  EXPECT_EQ(refusal(vesk::argon2id_raw(huge_.span(), short_salt, 65536, 3, 4, out_)),
            "password is too long");
  EXPECT_EQ(refusal(vesk::argon2id_raw(bytes_of("pw"), short_salt, 65536, 3, 4, out_)),
            "salt is too short");
}

TEST_F(Argon2idRefusals, ReportsLibraryRefusalsInItsOwnWords) {
  EXPECT_EQ(refusal(vesk::argon2id_raw(bytes_of("pw"), salt_, 64, 0, 4, out_)),
            "time cost is too small");
  EXPECT_EQ(refusal(vesk::argon2id_raw(bytes_of("pw"), salt_, 8, 1, 4, out_)),
            "memory cost is too small");
}

TEST_F(Argon2idRefusals, WorkMemoryThatCannotBeObtainedIsAnError) {
  // Asks for 4 TiB. The kernel refuses that outright unless it is set to grant every request.
  std::ifstream policy("/proc/sys/vm/overcommit_memory");
  int mode = -1;
  if (!(policy >> mode) || mode == 1) {
    GTEST_SKIP() << "vm.overcommit_memory is 1 or unreadable: a 4 TiB request might be granted";
  }
  auto done = vesk::argon2id_raw(bytes_of("pw"), salt_, 0xFFFFFFFF, 1, 4, out_);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error().message(),
            "Key derivation failed: could not allocate 4294967295 KiB of work memory");
}

TEST(Scrypt, MatchesTheRfc7914Examples) {
  VECTORS_OR_SKIP(doc, kDerivedKeys);
  const auto& examples = doc["rfc"]["scrypt_rfc7914"];
  ASSERT_FALSE(examples.empty());
  for (const auto& example : examples) {
    SCOPED_TRACE("N = " + std::to_string(example["N"].get<std::uint64_t>()));
    Bytes dk(example["dk_len"].get<std::size_t>());
    auto done = vesk::scrypt(bytes_of(example["password"].get<std::string>()),
                             bytes_of(example["salt"].get<std::string>()),
                             example["N"].get<std::uint64_t>(), example["r"].get<std::uint32_t>(),
                             example["p"].get<std::uint32_t>(), dk);
    ASSERT_TRUE(done.ok()) << done.error().message();
    EXPECT_EQ(to_hex(dk), example["dk_hex"].get<std::string>());
  }
}

TEST(Scrypt, AgreesWithEvpPbeScryptAtSmallCosts) {
  std::mt19937 generator(7914);
  // Empty inputs and passphrases around the 64-byte HMAC block first, then random lengths.
  const std::vector<std::pair<std::size_t, std::size_t>> edges = {
      {0, 0}, {0, 16}, {1, 0}, {64, 32}, {65, 32}};
  for (std::size_t i = 0; i < edges.size() + 24; ++i) {
    const std::uint64_t n = std::uint64_t{2} << (generator() % 10);  // 2 .. 1024
    const std::uint32_t r = 1 + generator() % 8;
    const std::uint32_t p = 1 + generator() % 3;
    const bool edge = i < edges.size();
    const Bytes passphrase = random_bytes(generator, edge ? edges[i].first : generator() % 150);
    const Bytes salt = random_bytes(generator, edge ? edges[i].second : generator() % 40);
    const std::size_t dk_len = 1 + generator() % 80;
    SCOPED_TRACE("N = " + std::to_string(n) + ", r = " + std::to_string(r) +
                 ", p = " + std::to_string(p) + ", passphrase " +
                 std::to_string(passphrase.size()) + " bytes, salt " + std::to_string(salt.size()));
    Bytes ours(dk_len);
    auto done = vesk::scrypt(passphrase, salt, n, r, p, ours);
    ASSERT_TRUE(done.ok()) << done.error().message();
    Bytes theirs(dk_len);
    ASSERT_EQ(EVP_PBE_scrypt(reinterpret_cast<const char*>(passphrase.data()), passphrase.size(),
                             salt.data(), salt.size(), n, r, p, 0, theirs.data(), dk_len),
              1);
    EXPECT_EQ(to_hex(ours), to_hex(theirs));
  }
}

TEST(Scrypt, RefusesACostThatIsNotAPowerOfTwo) {
  Bytes dk(32);
  auto done = vesk::scrypt(bytes_of("pw"), bytes_of("salt"), 1000, 8, 1, dk);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error().kind(), vesk::CryptoError::Kind::KeyDerivationFailed);
  EXPECT_FALSE(done.error().detail().empty());
}

TEST(Scrypt, RefusesCostsOutsideWhatItComputesByName) {
  struct Case {
    std::uint64_t n;
    std::uint32_t r;
    std::uint32_t p;
    const char* detail;
  };
  const Case cases[] = {
      {0, 8, 1, "scrypt N must be a power of two of at least 2"},
      {1, 8, 1, "scrypt N must be a power of two of at least 2"},
      {3, 8, 1, "scrypt N must be a power of two of at least 2"},
      {std::uint64_t{1} << 32, 1, 1, "scrypt N above 2^31 is not supported"},
      {16, 0, 1, "scrypt r and p must be at least 1"},
      {16, 1, 0, "scrypt r and p must be at least 1"},
      {16, 1U << 15, 1U << 15, "scrypt r * p must be below 2^30"},
  };
  Bytes dk(32);
  for (const Case& c : cases) {
    SCOPED_TRACE("N = " + std::to_string(c.n) + ", r = " + std::to_string(c.r) +
                 ", p = " + std::to_string(c.p));
    auto done = vesk::scrypt(bytes_of("pw"), bytes_of("salt"), c.n, c.r, c.p, dk);
    ASSERT_FALSE(done.ok());
    EXPECT_EQ(done.error().kind(), vesk::CryptoError::Kind::KeyDerivationFailed);
    EXPECT_EQ(done.error().detail(), c.detail);
  }
}

TEST(Scrypt, WorkMemoryThatCannotBeObtainedIsAnError) {
  // V = 128 * 2^20 * 2^31 = 2^58 bytes, beyond the address space under any overcommit policy.
  Bytes dk(32);
  auto done =
      vesk::scrypt(bytes_of("pw"), bytes_of("salt"), std::uint64_t{1} << 31, 1U << 20, 1, dk);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error().message(),
            "Key derivation failed: could not allocate 274877906944 MiB of work memory");
}

// Bytes of address space this process has mapped, from /proc/self/status ("VmSize: ... kB").
std::uint64_t mapped_bytes() {
  std::ifstream status("/proc/self/status");
  std::string field;
  while (status >> field) {
    if (field == "VmSize:") {
      std::uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

// Each case in a fresh process (a re-executed death-test child): an address-space limit must not
// outlive the case, and libsodium must not be initialised yet when the case starts.
class KdfProcess : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The fixed costs with 16 MiB of address space to spare: enough for everything but the work
// memory (32 MiB for scrypt, 64 MiB for Argon2id). Lifting the limit again lets both derive.
TEST_F(KdfProcess, FixedCostsUnderAnAddressSpaceLimitReportTheWorkMemory) {
  EXPECT_EXIT(
      {
        vesk::SaltBytes salt{};
        salt.fill(0x42);
        auto derive = [&salt](vesk::KdfAlgorithm algorithm) {
          return vesk::run_kdf(vesk::KdfJob{vesk::SecretBuffer(bytes_of("pw")), salt, algorithm});
        };
        const std::uint64_t mapped = mapped_bytes();
        CHILD_CHECK(mapped > 0);
        rlimit limit{};
        CHILD_CHECK(getrlimit(RLIMIT_AS, &limit) == 0);
        const rlimit original = limit;
        limit.rlim_cur = mapped + (std::uint64_t{16} << 20);
        CHILD_CHECK(setrlimit(RLIMIT_AS, &limit) == 0);
        auto scrypt = derive(vesk::KdfAlgorithm::Scrypt);
        auto argon2id = derive(vesk::KdfAlgorithm::Argon2id);
        CHILD_CHECK(!scrypt.ok() && !argon2id.ok());
        CHILD_CHECK(scrypt.error().kind() == vesk::CryptoError::Kind::KeyDerivationFailed);
        std::fprintf(stderr, "[%s] [%s]\n", scrypt.error().message().c_str(),
                     argon2id.error().message().c_str());
        CHILD_CHECK(setrlimit(RLIMIT_AS, &original) == 0);
        CHILD_CHECK(derive(vesk::KdfAlgorithm::Scrypt).ok());
        CHILD_CHECK(derive(vesk::KdfAlgorithm::Argon2id).ok());
        std::fflush(stderr);
        _exit(0);
      },
      testing::ExitedWithCode(0),
      "\\[Key derivation failed: could not allocate 32 MiB of work memory\\] "
      "\\[Key derivation failed: could not allocate 64 MiB of work memory\\]");
}

// Several threads make the process's first scrypt calls at once, so they race to initialise
// libsodium; each must still get libcrypto's key (and ThreadSanitizer must see no race).
TEST_F(KdfProcess, ConcurrentFirstScryptCallsAgree) {
  EXPECT_EXIT(
      {
        const Bytes passphrase = bytes_of("first use");
        const Bytes salt = bytes_of("salt");
        Bytes expected(32);
        CHILD_CHECK(EVP_PBE_scrypt(reinterpret_cast<const char*>(passphrase.data()),
                                   passphrase.size(), salt.data(), salt.size(), 1024, 8, 1, 0,
                                   expected.data(), expected.size()) == 1);
        std::vector<Bytes> keys(4, Bytes(32));
        std::vector<char> ok(keys.size(), 0);  // one byte per thread, no shared word
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < keys.size(); ++i) {
          threads.emplace_back(
              [&, i] { ok[i] = vesk::scrypt(passphrase, salt, 1024, 8, 1, keys[i]).ok(); });
        }
        for (auto& thread : threads) {
          thread.join();
        }
        for (std::size_t i = 0; i < keys.size(); ++i) {
          CHILD_CHECK(ok[i] && keys[i] == expected);
        }
        _exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
