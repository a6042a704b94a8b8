#include "vesk-crypto/process_state.hpp"

#include <array>
#include <cstdint>
#include <exception>

#include "base/cxx_first_uses.hpp"
#include "vesk-crypto/aead.hpp"
#include "vesk-crypto/domain/pbkdf2.hpp"
#include "vesk-crypto/domain/scrypt.hpp"
#include "vesk-crypto/libcrypto_init.hpp"

namespace vesk {

void prepare_process_state() noexcept {
  try {
    veltrano::ready_cxx_first_uses();
  } catch (const std::exception&) {
    // Out of memory: what is left undone runs on first use, as it would without this call.
  }
  init_libcrypto_for_life();
  prepare_aead();
  prepare_scrypt();
  // One iteration runs every lazily initialised step of a derivation (on the path that goes
  // through libcrypto's EVP layer, its digest fetch and cache).
  try {
    static constexpr std::array<std::uint8_t, 1> kInput{};
    std::array<std::uint8_t, 32> output{};
    pbkdf2_hmac_sha256(kInput, kInput, 1, output);
  } catch (const std::exception&) {
    // Reported again by the first derivation.
  }
}

}  // namespace vesk
