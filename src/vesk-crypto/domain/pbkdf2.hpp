// PBKDF2 with HMAC-SHA-256, each iteration run as two bare SHA-256 compressions.
// Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <span>

namespace vesk {

// Fills `out` (any length) with PBKDF2-HMAC-SHA-256(passphrase, salt, iterations).
// A passphrase longer than 64 bytes is first hashed, as HMAC prescribes. Every intermediate hash
// state is wiped before returning.
// REQUIRES: iterations >= 1 and out.size() <= 32 * (2^32 - 1) (else veltrano::Fault is thrown).
void pbkdf2_hmac_sha256(std::span<const std::uint8_t> passphrase,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out);

}  // namespace vesk
