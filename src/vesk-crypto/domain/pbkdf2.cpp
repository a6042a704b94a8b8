// The bare SHA-256 compression (SHA256_Transform) is deprecated in OpenSSL 3 but has no EVP
// equivalent; this file alone uses it. A libcrypto without the deprecated API (its headers then
// define OPENSSL_NO_DEPRECATED_3_0) gets libcrypto's own PBKDF2 instead, chosen below.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "vesk-crypto/domain/pbkdf2.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

#include "base/fault.hpp"
#include "base/secure_wipe.hpp"
#include "vesk-crypto/libcrypto_error.hpp"
#include "vesk-crypto/libcrypto_init.hpp"

namespace vesk {
namespace {

constexpr std::size_t kBlockSize = 64;   // SHA-256 message block
constexpr std::size_t kDigestSize = 32;  // SHA-256 output

#ifndef OPENSSL_NO_DEPRECATED_3_0

constexpr std::size_t kStateWords = 8;

using Words = std::array<SHA_LONG, kStateWords>;

void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// The hot loop's only data movement besides the compressions: written as whole-word stores so
// that it does not depend on the optimiser merging byte stores.
void store_words(std::uint8_t* p, const SHA_LONG* words) {
  for (std::size_t i = 0; i < kStateWords; ++i) {
    std::uint32_t be = static_cast<std::uint32_t>(words[i]);
    if constexpr (std::endian::native == std::endian::little) {
      be = __builtin_bswap32(be);
    }
    std::memcpy(p + 4 * i, &be, sizeof(be));
  }
}

// A 64-byte block holding a 32-byte message at offset 0, SHA-256 padded as the second block of a
// 96-byte input (the HMAC pad block came first): 0x80, zeros, then the bit length 768.
std::array<std::uint8_t, kBlockSize> padded_digest_block() {
  std::array<std::uint8_t, kBlockSize> block{};
  block[kDigestSize] = 0x80;
  block[kBlockSize - 2] = 0x03;  // (64 + 32) * 8 = 0x300, big-endian
  return block;
}

// HMAC-SHA-256 keyed once: the hash states after the key XOR ipad and key XOR opad blocks.
class HmacSha256 {
 public:
  explicit HmacSha256(std::span<const std::uint8_t> key) {
    std::array<std::uint8_t, kBlockSize> key_block{};
    if (key.size() > kBlockSize) {
      SHA256(key.data(), key.size(), key_block.data());
    } else if (!key.empty()) {
      std::memcpy(key_block.data(), key.data(), key.size());
    }
    std::array<std::uint8_t, kBlockSize> pad;
    for (std::size_t i = 0; i < kBlockSize; ++i) {
      pad[i] = key_block[i] ^ 0x36;
    }
    SHA256_Init(&inner_);
    SHA256_Update(&inner_, pad.data(), pad.size());
    for (std::size_t i = 0; i < kBlockSize; ++i) {
      pad[i] = key_block[i] ^ 0x5c;
    }
    SHA256_Init(&outer_);
    SHA256_Update(&outer_, pad.data(), pad.size());
    veltrano::secure_wipe(key_block.data(), key_block.size());
    veltrano::secure_wipe(pad.data(), pad.size());
  }
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;
  ~HmacSha256() {
    veltrano::secure_wipe(&inner_, sizeof(inner_));
    veltrano::secure_wipe(&outer_, sizeof(outer_));
  }

  // HMAC over (message1 || message2) through the ordinary streaming interface.
  void mac(std::span<const std::uint8_t> message1, std::span<const std::uint8_t> message2,
           std::uint8_t* out) const {
    SHA256_CTX ctx = inner_;
    SHA256_Update(&ctx, message1.data(), message1.size());
    SHA256_Update(&ctx, message2.data(), message2.size());
    SHA256_Final(out, &ctx);
    ctx = outer_;
    SHA256_Update(&ctx, out, kDigestSize);
    SHA256_Final(out, &ctx);
    veltrano::secure_wipe(&ctx, sizeof(ctx));
  }

  const SHA256_CTX& inner() const { return inner_; }
  const SHA256_CTX& outer() const { return outer_; }

 private:
  SHA256_CTX inner_;
  SHA256_CTX outer_;
};

// One output block T_i = U_1 ^ ... ^ U_c, with U_1 = HMAC(P, S || INT(i)) and U_j = HMAC(P, U_j-1).
// From U_2 on, each HMAC is exactly two compressions of pre-padded blocks starting from the keyed
// states, with no buffering or length bookkeeping in between.
void pbkdf2_block(const HmacSha256& hmac, std::span<const std::uint8_t> salt,
                  std::uint32_t iterations, std::uint32_t index, std::uint8_t* out) {
  std::array<std::uint8_t, 4> index_be;
  store_be32(index_be.data(), index);
  std::array<std::uint8_t, kBlockSize> inner_block = padded_digest_block();
  std::array<std::uint8_t, kBlockSize> outer_block = padded_digest_block();
  hmac.mac(salt, index_be, inner_block.data());  // U_1, the next inner hash's message

  Words sum;
  for (std::size_t i = 0; i < kStateWords; ++i) {
    sum[i] = static_cast<SHA_LONG>(inner_block[4 * i]) << 24 |
             static_cast<SHA_LONG>(inner_block[4 * i + 1]) << 16 |
             static_cast<SHA_LONG>(inner_block[4 * i + 2]) << 8 |
             static_cast<SHA_LONG>(inner_block[4 * i + 3]);
  }

  // SHA256_Transform reads and updates only the chaining words h[0..7] of the context.
  SHA256_CTX work{};
  for (std::uint32_t j = 1; j < iterations; ++j) {
    std::memcpy(work.h, hmac.inner().h, sizeof(work.h));
    SHA256_Transform(&work, inner_block.data());
    store_words(outer_block.data(), work.h);
    std::memcpy(work.h, hmac.outer().h, sizeof(work.h));
    SHA256_Transform(&work, outer_block.data());
    store_words(inner_block.data(), work.h);
    for (std::size_t i = 0; i < kStateWords; ++i) {
      sum[i] ^= work.h[i];
    }
  }
  store_words(out, sum.data());

  veltrano::secure_wipe(&work, sizeof(work));
  veltrano::secure_wipe(sum.data(), sizeof(sum));
  veltrano::secure_wipe(inner_block.data(), inner_block.size());
  veltrano::secure_wipe(outer_block.data(), outer_block.size());
}

void derive(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
            std::uint32_t iterations, std::span<std::uint8_t> out) {
  const HmacSha256 hmac(passphrase);
  std::array<std::uint8_t, kDigestSize> block;
  std::uint32_t index = 1;
  for (std::size_t done = 0; done < out.size(); done += kDigestSize, ++index) {
    pbkdf2_block(hmac, salt, iterations, index, block.data());
    std::memcpy(out.data() + done, block.data(), std::min(kDigestSize, out.size() - done));
  }
  veltrano::secure_wipe(block.data(), block.size());
}

constexpr bool kFastPath = true;

#else  // OPENSSL_NO_DEPRECATED_3_0: no SHA256_Transform, libcrypto's PBKDF2 instead.

void derive(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
            std::uint32_t iterations, std::span<std::uint8_t> out) {
  // PKCS5_PBKDF2_HMAC takes int lengths. HMAC replaces a key longer than its block by the key's
  // SHA-256 digest, so doing that here first gives the same key bytes for any passphrase length.
  std::array<std::uint8_t, kDigestSize> hashed_key;
  std::span<const std::uint8_t> key = passphrase;
  if (passphrase.size() > kBlockSize) {
    SHA256(passphrase.data(), passphrase.size(), hashed_key.data());
    key = hashed_key;
  }
  if (salt.size() > INT_MAX || out.size() > INT_MAX || iterations > INT_MAX) {
    throw veltrano::Fault(
        "PBKDF2 through libcrypto takes at most 2^31 - 1 salt bytes, output "
        "bytes and iterations");
  }
  static const std::uint8_t kNoBytes = 0;  // a valid pointer for empty inputs
  const int done =
      PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(key.empty() ? &kNoBytes : key.data()),
                        static_cast<int>(key.size()), salt.empty() ? &kNoBytes : salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(out.size()), out.data());
  veltrano::secure_wipe(hashed_key.data(), hashed_key.size());
  if (done != 1) {
    // Only an allocation inside libcrypto can fail here.
    throw veltrano::Fault(take_libcrypto_error("PKCS5_PBKDF2_HMAC failed"));
  }
}

constexpr bool kFastPath = false;

#endif

}  // namespace

bool pbkdf2_has_fast_path() { return kFastPath; }

void pbkdf2_hmac_sha256(std::span<const std::uint8_t> passphrase,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out) {
  if (iterations == 0) {
    throw veltrano::Fault("PBKDF2 needs at least one iteration");
  }
  if (out.size() > kDigestSize * std::size_t{0xffffffff}) {
    throw veltrano::Fault("PBKDF2 output longer than 2^32 - 1 blocks");
  }
  if (out.empty()) {
    return;
  }
  // Also what makes libcrypto read the CPU's features: linked into the module, nothing else does
  // it before the first derivation, and SHA-256 then runs without its SHA or AVX2 code (3x slower).
  init_libcrypto_for_life();
  derive(passphrase, salt, iterations, out);
}

}  // namespace vesk
