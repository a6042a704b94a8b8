// PBKDF2 with HMAC-SHA-256, each iteration run as two bare SHA-256 compressions.
// Thread-safe: no shared state.
//
// Why the fast path: from the second iteration on, each HMAC is exactly two SHA-256 compressions
// of pre-padded blocks from the two keyed states, so the loop calls libcrypto's SHA256_Transform
// directly and skips the streaming interface's buffering, length bookkeeping and context set-up.
// At the fixed 600,000 iterations that takes well under half the time of libcrypto's
// PKCS5_PBKDF2_HMAC and is ahead of hashlib's and pyca/cryptography's PBKDF2. bench/kdf_bench.cpp
// measures it ("pbkdf2_hmac_sha256" against "PKCS5_PBKDF2_HMAC"), and bench/kdf.py against the
// peers; `make bench` runs both and reports them in bench/results.md.
//
// SHA256_Transform belongs to OpenSSL 3's deprecated API. Built against a libcrypto without it
// (OPENSSL_NO_DEPRECATED_3_0 defined by its headers), PBKDF2 is computed by PKCS5_PBKDF2_HMAC
// instead: the same bytes, chosen at build time.
#pragma once

#include <cstdint>
#include <span>

namespace vesk {

// Fills `out` (any length) with PBKDF2-HMAC-SHA-256(passphrase, salt, iterations).
// A passphrase longer than 64 bytes is first hashed, as HMAC prescribes. Every intermediate hash
// state of this file's own is wiped before returning (the fallback's are libcrypto's).
// REQUIRES: iterations >= 1 and out.size() <= 32 * (2^32 - 1) (else veltrano::Fault is thrown).
// Built without the fast path, also salt.size(), out.size() and iterations <= 2^31 - 1, and
// veltrano::Fault is thrown if libcrypto cannot allocate its context.
void pbkdf2_hmac_sha256(std::span<const std::uint8_t> passphrase,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out);

// True when this build computes PBKDF2 with the compression loop above, false when it falls back
// to PKCS5_PBKDF2_HMAC.
bool pbkdf2_has_fast_path();

}  // namespace vesk
