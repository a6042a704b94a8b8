// Key derivation at fixed costs: the algorithm selector, the job record and the blocking job.
// Thread-safe: run_kdf shares no state between calls; any number may run at once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "runtime/task.hpp"
#include "vesk-crypto/crypto_error.hpp"
#include "vesk-crypto/values.hpp"

namespace vesk {

enum class KdfAlgorithm : std::uint8_t { Argon2id = 0, Pbkdf2 = 1, Scrypt = 2 };

// The cost parameters are part of the output's definition: changing one changes every key.
inline constexpr std::uint32_t kArgon2idMemoryKib = 65536;
inline constexpr std::uint32_t kArgon2idPasses = 3;
inline constexpr std::uint32_t kArgon2idLanes = 4;
inline constexpr std::uint32_t kPbkdf2Iterations = 600000;
inline constexpr std::uint64_t kScryptCostN = 32768;
inline constexpr std::uint32_t kScryptBlockSizeR = 8;
inline constexpr std::uint32_t kScryptParallelismP = 1;

// Everything one derivation needs, owned by the job that runs it.
struct KdfJob {
  SecretBuffer passphrase;
  SaltBytes salt;
  KdfAlgorithm algorithm;
};

// Derives the 32-byte key of `job` with the fixed parameters above. Blocking and CPU-heavy (up to
// 64 MiB of work memory): run it on a pool thread, never on a task or event-loop thread.
// Errors: key_derivation_failed with Argon2id's own text ("password is too long" for a passphrase
// of 2^32 bytes or more) or, when the work memory cannot be obtained, "could not allocate 64 MiB
// of work memory" (Argon2id) or "could not allocate 32 MiB of work memory" (scrypt).
// The intermediate output buffer is wiped on every path; the passphrase copy is wiped with the job.
Result<KeyBytes> run_kdf(KdfJob job);

// What runs a job on the pool; run_kdf everywhere but in tests that need a job to fault.
using KdfRunner = std::function<Result<KeyBytes>(KdfJob)>;

// Derives a key on the worker runtime: refuses an empty passphrase (passphrase_required), copies
// the inputs into a job, waits (without occupying a task thread) for one of the derivation
// permits, then runs the job on the pool for blocking jobs and waits for it. A job that faults or
// is cancelled gives key_derivation_failed with the completion handle's text ("task 5 panicked
// with message ..."). The views need to live only until the coroutine first suspends.
// The number of permits is twice the runtime's task threads: memory-hard jobs beyond the number
// of processors add no throughput, only memory (64 MiB each for Argon2id).
// REQUIRES: awaited from a task of the worker runtime.
veltrano::runtime::Task<Result<KeyBytes>> derive_key_material(
    std::span<const std::uint8_t> passphrase, const SaltBytes& salt, KdfAlgorithm algorithm,
    KdfRunner runner = run_kdf);

}  // namespace vesk
