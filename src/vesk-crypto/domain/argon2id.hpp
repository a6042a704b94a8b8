// Argon2id (version 0x13) over libargon2 with explicit costs, computed on the calling thread.
// Thread-safe: each call owns its context and work memory.
#pragma once

#include <cstdint>
#include <span>

#include "vesk-crypto/crypto_error.hpp"

namespace vesk {

// Writes the raw Argon2id tag of out.size() bytes for the given costs (m_kib KiB of memory,
// t passes, `lanes` lanes). The lanes are filled one after another on this thread.
// Checks, in this order: the output length, the passphrase length (at most 2^32 - 1 bytes, checked
// before any passphrase byte is read), then the salt and the remaining parameters.
// Errors: key_derivation_failed with the failure's text, e.g. "output is too short",
// "password is too long", "salt is too short", or "could not allocate 64 MiB of work memory".
Result<void> argon2id_raw(std::span<const std::uint8_t> passphrase,
                          std::span<const std::uint8_t> salt, std::uint32_t m_kib, std::uint32_t t,
                          std::uint32_t lanes, std::span<std::uint8_t> out,
                          std::span<const std::uint8_t> secret = {},
                          std::span<const std::uint8_t> ad = {});

}  // namespace vesk
