// Kernel seed reads: the getrandom system call, or "/dev/urandom" where that call is unavailable.
// Thread-safe: the getrandom answer is an atomic, the fallback descriptor is behind a mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>

#include "base/mutex.hpp"

namespace veltrano::random {

inline constexpr std::size_t kSeedBytes = 32;
using SeedSpan = std::span<std::uint8_t, kSeedBytes>;

// Holds what is learnt about the kernel interface: whether getrandom is usable and, when it is
// not, the cached "/dev/urandom" descriptor. The process has one (kernel_seed_reader()); tests
// may make their own. Destruction does not close the descriptor: the process-wide reader keeps
// it for the life of the process.
class KernelSeedReader {
 public:
  constexpr KernelSeedReader() = default;
  KernelSeedReader(const KernelSeedReader&) = delete;
  KernelSeedReader& operator=(const KernelSeedReader&) = delete;

  // Fills `out` from getrandom when usable, else from the fallback device. Returns the
  // operating-system error of the first failing call; `out` then holds no usable seed.
  [[nodiscard]] std::error_code read(SeedSpan out);

  // Probes getrandom once (zero-length request, flags 0) and caches the answer: usable unless
  // the probe fails with ENOSYS or EPERM.
  [[nodiscard]] bool getrandom_usable();

  // The fallback path. The first successful call waits until "/dev/random" is readable (the
  // kernel pool is initialised) and then opens and caches "/dev/urandom"; an open failure
  // caches nothing, so a later call tries again.
  [[nodiscard]] std::error_code read_device(SeedSpan out);

 private:
  enum : int { kUnknown = 0, kUsable = 1, kUnusable = 2 };

  std::error_code open_device(int& fd);

  std::atomic<int> getrandom_state_{kUnknown};
  Mutex device_mutex_;
  int device_fd_ VELTRANO_GUARDED_BY(device_mutex_) = -1;
};

// The process-wide reader.
KernelSeedReader& kernel_seed_reader() noexcept;

// Reads 32 seed bytes through the process-wide reader.
[[nodiscard]] std::error_code read_kernel_seed(SeedSpan out);

}  // namespace veltrano::random
