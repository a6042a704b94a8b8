#include "random/generator.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "base/secure_wipe.hpp"

namespace veltrano::random {
namespace {

constexpr std::size_t kRefillBytes = 4 * kChaChaRefillWords;

// Signed difference, so the comparison survives the counter wrapping around.
bool behind(std::uint64_t mark, std::uint64_t forks) {
  return static_cast<std::int64_t>(mark - forks) < 0;
}

}  // namespace

RandomResult<Generator> Generator::create(SeedSource seed_source, const ForkCounter& forks) {
  std::array<std::uint8_t, kSeedBytes> seed;
  if (const std::error_code error = seed_source(seed)) {
    return RandomError("could not initialize thread random source", error);
  }
  Generator generator(std::move(seed_source), forks, seed);
  secure_wipe(seed.data(), seed.size());
  return generator;
}

Generator::Generator(SeedSource seed_source, const ForkCounter& forks,
                     const std::array<std::uint8_t, kSeedBytes>& seed)
    : seed_source_(std::move(seed_source)), forks_(&forks) {
  key_from(seed);
}

Generator::~Generator() {
  secure_wipe(key_.data(), sizeof(key_));
  secure_wipe(buffer_.data(), sizeof(buffer_));
  secure_wipe(&block_counter_, sizeof(block_counter_));
  secure_wipe(&stream_, sizeof(stream_));
}

void Generator::fill(std::uint8_t* buffer, std::size_t n) {
  // Checked on every request, not only at refill: output buffered before a fork exists in both
  // processes, and handing it out on either side would repeat it (a repeated AES-GCM nonce).
  const std::uint64_t forks = forks_->load(std::memory_order_acquire);
  if (behind(fork_mark_, forks)) [[unlikely]] {
    discard_buffer();
    reseed(forks, /*after_fork=*/true);
  }
  while (n > 0) {
    if (position_ == kBufferWords) {
      refill();
    }
    const std::size_t take = std::min(n, 4 * (kBufferWords - position_));
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(buffer, reinterpret_cast<const unsigned char*>(buffer_.data() + position_), take);
    } else {
      for (std::size_t i = 0; i < take; ++i) {
        buffer[i] = static_cast<std::uint8_t>(buffer_[position_ + i / 4] >> (8 * (i % 4)));
      }
    }
    position_ += (take + 3) / 4;
    buffer += take;
    n -= take;
  }
}

void Generator::refill() {
  const std::uint64_t forks = forks_->load(std::memory_order_acquire);
  const bool forked = behind(fork_mark_, forks);
  if (bytes_until_reseed_ <= 0 || forked) {
    reseed(forks, forked);
  }
  bytes_until_reseed_ -= static_cast<std::int64_t>(kRefillBytes);
  chacha_refill(key_, block_counter_, stream_, kGeneratorDoubleRounds, buffer_);
  block_counter_ += kChaChaRefillBlocks;
  position_ = 0;
}

void Generator::reseed(std::uint64_t forks, bool after_fork) {
  std::array<std::uint8_t, kSeedBytes> seed;
  if (!seed_source_(seed)) {
    key_from(seed);
  } else if (after_fork) {
    rekey_from_output(forks);
  }
  // Otherwise the failure stays silent: the state is still secret, and the next reseed comes
  // after another kReseedThreshold bytes or the next fork.
  secure_wipe(seed.data(), seed.size());
  fork_mark_ = forks;
  bytes_until_reseed_ = kReseedThreshold;
}

void Generator::key_from(const std::array<std::uint8_t, kSeedBytes>& seed) {
  secure_wipe(key_.data(), sizeof(key_));
  for (std::size_t i = 0; i < kChaChaKeyWords; ++i) {
    key_[i] = static_cast<std::uint32_t>(seed[4 * i]) |
              static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
              static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
              static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  block_counter_ = 0;
  stream_ = 0;
}

void Generator::rekey_from_output(std::uint64_t forks) {
  // Parent and child hold the same state and see the same counter, but not the same process
  // id: the new key comes from output nobody was given, the stream number from the pid, so
  // the two keystreams part even without a fresh seed.
  chacha_refill(key_, block_counter_, stream_, kGeneratorDoubleRounds, buffer_);
  secure_wipe(key_.data(), sizeof(key_));
  std::copy_n(buffer_.begin(), kChaChaKeyWords, key_.begin());
  discard_buffer();
  block_counter_ = 0;
  stream_ = static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) << 32 |
            static_cast<std::uint32_t>(forks);
}

void Generator::discard_buffer() {
  secure_wipe(buffer_.data(), sizeof(buffer_));
  position_ = kBufferWords;
}

}  // namespace veltrano::random
