#include "vesk-crypto/aead.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "base/fault.hpp"
#include "base/secure_wipe.hpp"
#include "random/fill.hpp"
#include "vesk-crypto/libcrypto_error.hpp"
#include "vesk-crypto/libcrypto_init.hpp"

namespace vesk {
namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// EVP_*Update takes int lengths; a multiple of the block size keeps every chunk on the bulk path.
constexpr std::size_t kChunkSize = std::size_t{1} << 30;
static_assert(kChunkSize <= INT_MAX && kChunkSize % 16 == 0);

struct FetchedCipher {
  EVP_CIPHER* cipher;
  std::string error;  // why the fetch failed, when cipher is null
};

// Fetched once per process so that no call pays for the provider lookup. Deliberately never freed:
// threads may still be sealing while static destructors run at exit.
const FetchedCipher& aes_256_gcm() {
  static const FetchedCipher fetched = [] {
    init_libcrypto_for_life();
    FetchedCipher result{EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr), {}};
    if (result.cipher == nullptr) {
      result.error = take_libcrypto_error("AES-256-GCM is not available");
    }
    return result;
  }();
  return fetched;
}

// Runs EVP_EncryptUpdate or EVP_DecryptUpdate over `in` in int-sized chunks. Returns false on
// failure, with the libcrypto error queue left for the caller.
template <int (*kUpdate)(EVP_CIPHER_CTX*, unsigned char*, int*, const unsigned char*, int)>
bool update_all(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in, std::uint8_t* out) {
  std::size_t done = 0;
  while (done < in.size()) {
    const std::size_t chunk = std::min(kChunkSize, in.size() - done);
    int written = 0;
    if (kUpdate(ctx, out + done, &written, in.data() + done, static_cast<int>(chunk)) != 1 ||
        static_cast<std::size_t>(written) != chunk) {
      return false;
    }
    done += chunk;
  }
  return true;
}

void require_same_size(std::size_t in, std::size_t out) {
  if (in != out) {
    throw veltrano::Fault("AES-GCM output buffer of " + std::to_string(out) +
                          " bytes for an input of " + std::to_string(in) + " bytes");
  }
}

}  // namespace

void prepare_aead() noexcept { (void)aes_256_gcm(); }

Result<AuthTagBytes> seal_with_nonce(std::span<const std::uint8_t> plaintext,
                                     std::span<const std::uint8_t, kKeySize> key,
                                     std::span<const std::uint8_t, kNonceSize> nonce,
                                     std::span<std::uint8_t> ciphertext_out) {
  if (plaintext.size() > kMaxAeadPlaintext) {
    return CryptoError::encryption_failed("aead::Error");
  }
  require_same_size(plaintext.size(), ciphertext_out.size());

  const FetchedCipher& fetched = aes_256_gcm();
  if (fetched.cipher == nullptr) {
    return CryptoError::encryption_failed(fetched.error);
  }
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  // GCM's default IV length is 12 bytes, so key and nonce go in with the init call.
  if (!ctx ||
      EVP_EncryptInit_ex2(ctx.get(), fetched.cipher, key.data(), nonce.data(), nullptr) != 1) {
    return CryptoError::encryption_failed(take_libcrypto_error("cipher set-up failed"));
  }

  AuthTagBytes tag;
  std::uint8_t* const end = ciphertext_out.data() + plaintext.size();
  int final_length = 0;
  const bool sealed = update_all<EVP_EncryptUpdate>(ctx.get(), plaintext, ciphertext_out.data()) &&
                      EVP_EncryptFinal_ex(ctx.get(), end, &final_length) == 1 &&
                      final_length == 0 &&
                      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG,
                                          static_cast<int>(tag.size()), tag.data()) == 1;
  if (!sealed) {
    return CryptoError::encryption_failed(take_libcrypto_error("encryption failed"));
  }
  return tag;
}

Result<Sealed> seal(std::span<const std::uint8_t> plaintext,
                    std::span<const std::uint8_t, kKeySize> key,
                    std::span<std::uint8_t> ciphertext_out) {
  if (plaintext.size() > kMaxAeadPlaintext) {
    return CryptoError::encryption_failed("aead::Error");
  }
  require_same_size(plaintext.size(), ciphertext_out.size());

  Sealed sealed;
  if (auto filled = veltrano::random::fill(sealed.nonce.data(), sealed.nonce.size());
      !filled.ok()) {
    // No usable randomness means no nonce: an internal fault.
    throw veltrano::Fault("random source failed: " + filled.error().text());
  }
  Result<AuthTagBytes> tag = seal_with_nonce(plaintext, key, sealed.nonce, ciphertext_out);
  if (!tag.ok()) {
    return std::move(tag).error();
  }
  sealed.tag = tag.value();
  return sealed;
}

Result<void> open(std::span<const std::uint8_t> ciphertext,
                  std::span<const std::uint8_t, kKeySize> key,
                  std::span<const std::uint8_t, kNonceSize> nonce,
                  std::span<const std::uint8_t, kAuthTagSize> tag,
                  std::span<std::uint8_t> plaintext_out) {
  require_same_size(ciphertext.size(), plaintext_out.size());
  if (ciphertext.size() > kMaxAeadPlaintext) {
    return CryptoError::authentication_failed();  // refused before anything was written
  }

  const FetchedCipher& fetched = aes_256_gcm();
  if (fetched.cipher == nullptr) {
    veltrano::secure_wipe(plaintext_out.data(), plaintext_out.size());
    return CryptoError::decryption_failed(fetched.error);
  }
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  // The expected tag is handed over before any data: the final call compares it in constant time.
  if (!ctx ||
      EVP_DecryptInit_ex2(ctx.get(), fetched.cipher, key.data(), nonce.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tag.size()),
                          const_cast<std::uint8_t*>(tag.data())) != 1) {
    veltrano::secure_wipe(plaintext_out.data(), plaintext_out.size());
    return CryptoError::decryption_failed(take_libcrypto_error("cipher set-up failed"));
  }

  std::uint8_t* const end = plaintext_out.data() + ciphertext.size();
  int final_length = 0;
  const bool authentic =
      update_all<EVP_DecryptUpdate>(ctx.get(), ciphertext, plaintext_out.data()) &&
      EVP_DecryptFinal_ex(ctx.get(), end, &final_length) == 1 && final_length == 0;
  if (!authentic) {
    // The plaintext was written before the tag could be checked: none of it may leave.
    veltrano::secure_wipe(plaintext_out.data(), plaintext_out.size());
    ERR_clear_error();
    return CryptoError::authentication_failed();
  }
  return {};
}

}  // namespace vesk
