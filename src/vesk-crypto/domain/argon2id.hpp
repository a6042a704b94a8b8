// Argon2id (version 0x13) with explicit costs, computed on the calling thread.
// Thread-safe: each call owns its context and work memory.
//
// Built with the pinned libraries (VELTRANO_ARGON2_SODIUM_CORE), it runs libsodium's Argon2 core,
// which picks its AVX-512, AVX2 or SSSE3 block function at run time; libargon2 fixes one when it is
// compiled, so a portable libargon2 runs its SSE2 code (on an AVX-512 machine the core took about
// 0.55x the time of Debian's libargon2, 0.6x that of libargon2's SSE2 code). The core's argon2_ctx
// and argon2_context come from libsodium's internal header crypto_pwhash/argon2/argon2.h, which
// packaging/deps.py installs beside the public ones: not libsodium's public API (crypto_pwhash
// computes one lane only) and hidden in its shared library, but unchanged from 1.0.18 to 1.0.22;
// the known-answer tests pin its results. Built with the system's libraries, it runs libargon2
// (libsodium's shared library does not export the core).
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
