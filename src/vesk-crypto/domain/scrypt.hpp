// scrypt over libcrypto's "SCRYPT" key derivation, with explicit costs.
// Thread-safe: each call owns its context; libcrypto allocates and frees the work memory per call.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "vesk-crypto/crypto_error.hpp"

namespace vesk {

// Fills `out` with scrypt(passphrase, salt, N = n, r, p). The memory bound handed to libcrypto is
// exactly what these costs need (128 * r * (n + 2) + 128 * r * p bytes).
// Errors: key_derivation_failed with libcrypto's text for parameters it refuses (n not a power of
// two, r * p too large) or work memory it cannot obtain.
Result<std::monostate> scrypt(std::span<const std::uint8_t> passphrase,
                              std::span<const std::uint8_t> salt, std::uint64_t n, std::uint32_t r,
                              std::uint32_t p, std::span<std::uint8_t> out);

}  // namespace vesk
