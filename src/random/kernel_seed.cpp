#include "random/kernel_seed.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace veltrano::random {
namespace {

constinit KernelSeedReader process_reader;

std::error_code os_error(int code) { return {code, std::system_category()}; }

// The system call itself: a C library wrapper could answer from elsewhere than the kernel.
long getrandom_call(void* buffer, std::size_t length) {
  return syscall(SYS_getrandom, buffer, length, 0u);
}

std::error_code open_retrying(const char* path, int& fd) {
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? os_error(errno) : std::error_code();
}

// Fills `out` through `read_some` (a read-like call: bytes written, or -1 with errno), retrying
// on EINTR; a call that writes nothing means the source has ended (EIO).
template <typename ReadSome>
std::error_code read_fully(SeedSpan out, ReadSome read_some) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const long got = read_some(out.data() + filled, out.size() - filled);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return os_error(errno);
    }
    if (got == 0) {
      return os_error(EIO);
    }
    filled += static_cast<std::size_t>(got);
  }
  return {};
}

std::error_code read_descriptor(int fd, SeedSpan out) {
  return read_fully(out, [fd](std::uint8_t* buffer, std::size_t length) -> long {
    return ::read(fd, buffer, length);
  });
}

}  // namespace

bool KernelSeedReader::getrandom_usable() {
  int state = getrandom_state_.load(std::memory_order_acquire);
  if (state == kUnknown) {
    // Racing probes get the same answer, so the last store wins harmlessly.
    const bool missing = getrandom_call(nullptr, 0) < 0 && (errno == ENOSYS || errno == EPERM);
    state = missing ? kUnusable : kUsable;
    getrandom_state_.store(state, std::memory_order_release);
  }
  return state == kUsable;
}

std::error_code KernelSeedReader::read(SeedSpan out) {
  if (!getrandom_usable()) {
    return read_device(out);
  }
  return read_fully(out, getrandom_call);
}

std::error_code KernelSeedReader::open_device(Device& device) {
  // Reading "/dev/urandom" never blocks, even before the pool is initialised; "/dev/random"
  // turns readable only once it is, so waiting on it first keeps early seeds sound.
  if (!pool_ready_.load(std::memory_order_acquire)) {
    int random_fd = -1;
    if (std::error_code error = open_retrying("/dev/random", random_fd)) {
      return error;
    }
    pollfd wait_for = {random_fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&wait_for, 1, -1);
    } while (ready < 0 && (errno == EINTR || errno == EAGAIN));
    const int poll_errno = errno;
    ::close(random_fd);
    if (ready < 0) {
      return os_error(poll_errno);
    }
  }
  int fd = -1;
  if (std::error_code error = open_retrying("/dev/urandom", fd)) {
    return error;
  }
  struct stat status;
  int error = ::fstat(fd, &status) == 0 ? 0 : errno;
  if (error == 0 && !S_ISCHR(status.st_mode)) {
    error = ENODEV;  // not the kernel's device (a file planted in a chroot, say): never a seed
  }
  if (error != 0) {
    ::close(fd);
    return os_error(error);
  }
  pool_ready_.store(true, std::memory_order_release);
  device = {fd, status.st_dev, status.st_ino, status.st_rdev};
  return {};
}

bool KernelSeedReader::still_open(const Device& device) {
  struct stat status;
  return device.fd >= 0 && ::fstat(device.fd, &status) == 0 && S_ISCHR(status.st_mode) &&
         status.st_dev == device.dev && status.st_ino == device.ino &&
         status.st_rdev == device.rdev;
}

std::error_code KernelSeedReader::read_device(SeedSpan out) {
  // The mutex guards only the kept record: nothing that can block (the first open's wait for the
  // pool, a read) runs under it, so a fork, which takes it, never waits long.
  Device kept;
  std::uint64_t kept_generation;
  {
    MutexLock lock(device_mutex_);
    kept = device_;
    kept_generation = device_generation_;
  }
  if (still_open(kept)) {
    return read_descriptor(kept.fd, out);
  }
  Device opened;
  if (std::error_code error = open_device(opened)) {
    return error;
  }
  bool keeping = false;
  {
    MutexLock lock(device_mutex_);
    // Another thread may have replaced the stale record meanwhile (with the very same number,
    // even); then it keeps its own.
    if (device_generation_ == kept_generation) {
      device_ = opened;
      ++device_generation_;
      keeping = true;
    }
  }
  const std::error_code error = read_descriptor(opened.fd, out);
  if (!keeping) {
    ::close(opened.fd);  // never published, so no other thread reads it
  }
  return error;
}

KernelSeedReader& kernel_seed_reader() noexcept { return process_reader; }

std::error_code read_kernel_seed(SeedSpan out) { return process_reader.read(out); }

}  // namespace veltrano::random
