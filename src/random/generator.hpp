// Generator: the ChaCha12 secure random generator one thread owns, with its reseed and fork rules.
// Not thread-safe: each instance belongs to one thread; only the fork counter it watches is shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <system_error>

#include "random/chacha.hpp"
#include "random/fork_counter.hpp"
#include "random/kernel_seed.hpp"
#include "random/random_error.hpp"

namespace veltrano::random {

inline constexpr int kGeneratorDoubleRounds = 6;
// Output produced under one seed before the next kernel read.
inline constexpr std::int64_t kReseedThreshold = 65536;

class Generator {
 public:
  // Writes 32 fresh seed bytes into `out` or returns why it could not.
  using SeedSource = std::function<std::error_code(SeedSpan out)>;

  // Keys a generator with one seed from `seed_source` (block counter 0, stream 0) that watches
  // `forks`, which must outlive it. The error, if that seed cannot be read, is "could not
  // initialize thread random source: " and the error's description.
  static RandomResult<Generator> create(SeedSource seed_source, const ForkCounter& forks);
  // Wipes the key and the buffered output.
  ~Generator();

  // Moving leaves a copy of the state behind, which the moved-from destructor wipes.
  Generator(Generator&&) = default;
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  // Writes n bytes of output. A request that ends inside a 32-bit word uses up that word.
  // Reseeds from the source after each kReseedThreshold bytes; a failed reseed keeps the
  // current state and is not reported. When `forks` has moved since the last seed, the
  // buffered output is dropped and the generator reseeds before writing anything, so parent
  // and child never share a byte; if that reseed fails, it re-keys from its own output and
  // the process id, which still separates the two processes.
  void fill(std::uint8_t* buffer, std::size_t n);

 private:
  static constexpr std::size_t kBufferWords = kChaChaRefillWords;

  Generator(SeedSource seed_source, const ForkCounter& forks,
            const std::array<std::uint8_t, kSeedBytes>& seed);

  void refill();
  // Sets the fork mark to `forks` and restarts the reseed count whether or not a seed came.
  void reseed(std::uint64_t forks, bool after_fork);
  void key_from(const std::array<std::uint8_t, kSeedBytes>& seed);
  void rekey_from_output(std::uint64_t forks);
  void discard_buffer();

  SeedSource seed_source_;
  const ForkCounter* forks_;
  ChaChaKey key_{};
  std::uint64_t block_counter_ = 0;
  std::uint64_t stream_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t position_ = kBufferWords;  // next unused word; kBufferWords when empty
  std::int64_t bytes_until_reseed_ = kReseedThreshold;
  // Counter value at the last (re)seed. 0 at creation, as the counter starts: in a process that
  // has forked before, a new generator reseeds once more at its first request.
  std::uint64_t fork_mark_ = 0;
};

}  // namespace veltrano::random
