#include "vesk-crypto/domain/key_derivation.hpp"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "base/fault.hpp"
#include "runtime/async_semaphore.hpp"
#include "runtime/runtime.hpp"
#include "vesk-crypto/domain/argon2id.hpp"
#include "vesk-crypto/domain/pbkdf2.hpp"
#include "vesk-crypto/domain/scrypt.hpp"

namespace vesk {

Result<KeyBytes> run_kdf(KdfJob job) {
  // Wipes itself with volatile stores when this frame ends, on every path.
  SecretArray<kKeySize> output;
  const std::span<const std::uint8_t> passphrase = job.passphrase.span();
  const std::span<const std::uint8_t> salt(job.salt);

  auto derive = [&]() -> Result<void> {
    switch (job.algorithm) {
      case KdfAlgorithm::Argon2id:
        return argon2id_raw(passphrase, salt, kArgon2idMemoryKib, kArgon2idPasses, kArgon2idLanes,
                            output.mutable_span());
      case KdfAlgorithm::Pbkdf2:
        pbkdf2_hmac_sha256(passphrase, salt, kPbkdf2Iterations, output.mutable_span());
        return {};
      case KdfAlgorithm::Scrypt:
        return scrypt(passphrase, salt, kScryptCostN, kScryptBlockSizeR, kScryptParallelismP,
                      output.mutable_span());
    }
    throw veltrano::Fault("unknown key derivation algorithm " +
                          std::to_string(static_cast<unsigned>(job.algorithm)));
  };
  if (Result<void> done = derive(); !done.ok()) {
    return std::move(done).error();
  }
  return KeyBytes(output.span());
}

}  // namespace vesk

namespace vesk {
namespace {

// The permits of one runtime. A forked child builds a runtime of its own, and its copy of the
// parent's permits may be held by derivations that no thread there will finish.
struct RuntimePermits {
  RuntimePermits(const veltrano::runtime::Runtime* owner, std::size_t permits)
      : runtime(owner), semaphore(permits) {}
  const veltrano::runtime::Runtime* const runtime;
  veltrano::runtime::AsyncSemaphore semaphore;
};

// Never destroyed: worker threads may still be deriving while static destructors run at exit, and
// runtimes are never destroyed either, so no later runtime can share an address with an old one.
constinit std::atomic<RuntimePermits*> current_permits{nullptr};

// Sized by the process's runtime (built if need be), whichever runtime runs the caller.
veltrano::runtime::AsyncSemaphore& derivation_permits() {
  const veltrano::runtime::Runtime& workers = veltrano::runtime::runtime();
  RuntimePermits* permits = current_permits.load(std::memory_order_acquire);
  while (permits == nullptr || permits->runtime != &workers) {
    auto fresh = std::make_unique<RuntimePermits>(&workers, 2 * workers.task_thread_count());
    if (current_permits.compare_exchange_strong(permits, fresh.get(), std::memory_order_acq_rel)) {
      permits = fresh.release();
    }
  }
  return permits->semaphore;
}

}  // namespace

veltrano::runtime::Task<Result<KeyBytes>> derive_key_material(
    std::span<const std::uint8_t> passphrase, const SaltBytes& salt, KdfAlgorithm algorithm,
    KdfRunner runner) {
  if (passphrase.empty()) {
    co_return CryptoError::passphrase_required();
  }
  KdfJob job{SecretBuffer(passphrase), salt, algorithm};
  veltrano::runtime::AsyncSemaphore::Permit permit = co_await derivation_permits().acquire();
  // The permit travels with the job, so a cancelled waiter cannot let extra jobs start while a
  // detached one still runs.
  auto handle = veltrano::runtime::spawn_blocking_job(
      [job = std::move(job), permit = std::move(permit), runner = std::move(runner)]() mutable {
        Result<KeyBytes> key = runner(std::move(job));
        permit.reset();
        return key;
      });
  veltrano::runtime::Outcome<Result<KeyBytes>> outcome = co_await std::move(handle);
  if (!outcome.ok()) {
    co_return CryptoError::key_derivation_failed(outcome.error().text());
  }
  co_return std::move(outcome).value();
}

}  // namespace vesk
