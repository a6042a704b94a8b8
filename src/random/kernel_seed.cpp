#include "random/kernel_seed.hpp"

#include <fcntl.h>
#include <poll.h>
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

std::error_code KernelSeedReader::open_device(int& fd) {
  // Reading "/dev/urandom" never blocks, even before the pool is initialised; "/dev/random"
  // turns readable only once it is, so waiting on it first keeps early seeds sound.
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
  return open_retrying("/dev/urandom", fd);
}

std::error_code KernelSeedReader::read_device(SeedSpan out) {
  int fd;
  {
    MutexLock lock(device_mutex_);
    if (device_fd_ < 0) {
      if (std::error_code error = open_device(device_fd_)) {
        device_fd_ = -1;
        return error;
      }
    }
    fd = device_fd_;
  }
  return read_fully(out, [fd](std::uint8_t* buffer, std::size_t length) -> long {
    return ::read(fd, buffer, length);
  });
}

KernelSeedReader& kernel_seed_reader() noexcept { return process_reader; }

std::error_code read_kernel_seed(SeedSpan out) { return process_reader.read(out); }

}  // namespace veltrano::random
