// Kernel seed reads: the getrandom system call, or "/dev/urandom" where that call is unavailable.
// Thread-safe: the getrandom answer is an atomic, the fallback descriptor is behind a mutex.
#pragma once

#include <sys/types.h>

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
// not, the kept "/dev/urandom" descriptor. The process has one (kernel_seed_reader()); tests
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
  // kernel pool is initialised) and then opens and keeps "/dev/urandom". Each call first checks
  // that the kept descriptor is still that character device: a program may close it (daemonising
  // code, os.closerange) and the number may then name another file. If it is not, the device is
  // opened again and kept instead; the old number is left alone, as it is no longer ours. An open
  // failure keeps nothing new, so a later call tries again.
  [[nodiscard]] std::error_code read_device(SeedSpan out);

  // Taken before fork() and released after it, on both sides, by the random source's fork
  // handlers (fork_counter.hpp), so that a child never inherits the device mutex held by a
  // thread it does not have. The mutex is only ever held for a few loads and stores.
  void lock_for_fork() VELTRANO_ACQUIRE(device_mutex_) { device_mutex_.lock(); }
  void unlock_after_fork() VELTRANO_RELEASE(device_mutex_) { device_mutex_.unlock(); }

 private:
  enum : int { kUnknown = 0, kUsable = 1, kUnusable = 2 };

  // An open "/dev/urandom" and the identity fstat gave it when it was opened.
  struct Device {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    dev_t rdev = 0;
  };

  // Opens the device without holding the mutex: the first open may wait for the kernel pool.
  std::error_code open_device(Device& device);
  // Whether `device.fd` still names the device it was opened on. A descriptor the program has
  // closed fails fstat; one whose number it has reused for a file or another device has another
  // identity (CPython's os.urandom checks its kept descriptor the same way).
  static bool still_open(const Device& device);

  std::atomic<int> getrandom_state_{kUnknown};
  // Set once a descriptor of the device has been opened: the pool is initialised from then on.
  std::atomic<bool> pool_ready_{false};
  Mutex device_mutex_;
  Device device_ VELTRANO_GUARDED_BY(device_mutex_);
  // Advanced each time device_ is replaced, so that a thread can tell whether the record it
  // found stale is still the one kept.
  std::uint64_t device_generation_ VELTRANO_GUARDED_BY(device_mutex_) = 0;
};

// The process-wide reader.
KernelSeedReader& kernel_seed_reader() noexcept;

// Reads 32 seed bytes through the process-wide reader.
[[nodiscard]] std::error_code read_kernel_seed(SeedSpan out);

}  // namespace veltrano::random
