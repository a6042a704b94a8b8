// scrypt over libsodium's crypto_pwhash_scryptsalsa208sha256_ll, with explicit costs.
// Thread-safe: libsodium is initialised once on first use; each call owns its work memory.
#pragma once

#include <cstdint>
#include <span>

#include "vesk-crypto/crypto_error.hpp"

namespace vesk {

// Fills `out` with scrypt(passphrase, salt, N = n, r, p). Any passphrase and salt length is taken.
// The work memory (128 * r * (n + p) bytes plus a 256 * r + 64 byte scratch block) is mapped for
// this call and unmapped before it returns, on every path.
// Errors: key_derivation_failed with
//   "could not allocate 32 MiB of work memory" (the amount is that of V, 128 * r * n bytes) when
//     the memory cannot be obtained;
//   "libsodium could not be initialised";
//   a text naming the parameter for costs outside what libsodium computes: n not a power of two
//     of at least 2 or above 2^31, r or p zero, r * p of 2^30 or more, out longer than
//     32 * (2^32 - 1) bytes.
// Initialises libsodium for the process, which scrypt() otherwise does on its first call.
void prepare_scrypt() noexcept;

Result<void> scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
                    std::uint64_t n, std::uint32_t r, std::uint32_t p, std::span<std::uint8_t> out);

}  // namespace vesk
