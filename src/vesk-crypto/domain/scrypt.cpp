#include "vesk-crypto/domain/scrypt.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <limits>
#include <memory>
#include <string>

#include "vesk-crypto/libcrypto_error.hpp"

namespace vesk {
namespace {

struct KdfCtxDeleter {
  void operator()(EVP_KDF_CTX* ctx) const noexcept { EVP_KDF_CTX_free(ctx); }
};
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxDeleter>;

struct FetchedKdf {
  EVP_KDF* kdf;
  std::string error;  // why the fetch failed, when kdf is null
};

// Fetched once per process; deliberately never freed, since jobs may still run while static
// destructors do at exit.
const FetchedKdf& scrypt_kdf() {
  static const FetchedKdf fetched = [] {
    FetchedKdf result{EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SCRYPT, nullptr), {}};
    if (result.kdf == nullptr) {
      result.error = take_libcrypto_error("scrypt is not available");
    }
    return result;
  }();
  return fetched;
}

// libcrypto's own accounting: B = 128 * r * p bytes and V = 128 * r * (N + 2) bytes. On overflow
// the bound is lifted and libcrypto's parameter checks refuse the costs instead.
std::uint64_t work_memory_bound(std::uint64_t n, std::uint32_t r, std::uint32_t p) {
  std::uint64_t v = 0;
  std::uint64_t b = 0;
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(std::uint64_t{128} * r, n + 2, &v) || n + 2 < n ||
      __builtin_mul_overflow(std::uint64_t{128} * r, std::uint64_t{p}, &b) ||
      __builtin_add_overflow(v, b, &total)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return total;
}

}  // namespace

Result<std::monostate> scrypt(std::span<const std::uint8_t> passphrase,
                              std::span<const std::uint8_t> salt, std::uint64_t n, std::uint32_t r,
                              std::uint32_t p, std::span<std::uint8_t> out) {
  const FetchedKdf& fetched = scrypt_kdf();
  if (fetched.kdf == nullptr) {
    return CryptoError::key_derivation_failed(fetched.error);
  }
  KdfCtxPtr ctx(EVP_KDF_CTX_new(fetched.kdf));
  if (!ctx) {
    return CryptoError::key_derivation_failed(take_libcrypto_error("scrypt set-up failed"));
  }

  // An empty octet string still needs a pointer for libcrypto to take it as set.
  static const std::uint8_t kNoBytes = 0;
  auto octets = [](const char* name, std::span<const std::uint8_t> bytes) {
    return OSSL_PARAM_construct_octet_string(
        name, const_cast<std::uint8_t*>(bytes.empty() ? &kNoBytes : bytes.data()), bytes.size());
  };
  std::uint64_t maxmem = work_memory_bound(n, r, p);
  const OSSL_PARAM params[] = {
      octets(OSSL_KDF_PARAM_PASSWORD, passphrase),
      octets(OSSL_KDF_PARAM_SALT, salt),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    return CryptoError::key_derivation_failed(take_libcrypto_error("scrypt failed"));
  }
  return std::monostate{};
}

}  // namespace vesk
