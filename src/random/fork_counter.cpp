#include "random/fork_counter.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <system_error>

#include "base/mutex.hpp"

namespace veltrano::random {

// A word on a page advised MADV_WIPEONFORK: 1 in the process that set it, 0 in every child, also
// in one made by a raw fork system call that runs none of libc's fork handlers. Null where the
// kernel refuses the advice (before Linux 4.14); then only the handlers count forks.
constinit std::atomic<std::atomic<std::uint32_t>*> detail::wipe_on_fork_mark{nullptr};

namespace {

constinit ForkCounter process_fork_counter{0};
static_assert(ForkCounter::is_always_lock_free, "the fork hooks may take no lock");

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
using detail::wipe_on_fork_mark;

// Any change of the counter makes a generator reseed.
void on_fork() noexcept { process_fork_counter.fetch_add(1, std::memory_order_relaxed); }

// The child's handler also re-arms the mark: this fork is counted already.
void on_fork_in_child() noexcept {
  on_fork();
  if (std::atomic<std::uint32_t>* mark = wipe_on_fork_mark.load(std::memory_order_relaxed)) {
    mark->store(1, std::memory_order_release);
  }
}

void arm_wipe_on_fork_mark() {
  const long page_size = ::sysconf(_SC_PAGESIZE);
  void* page = ::mmap(nullptr, static_cast<std::size_t>(page_size), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    return;
  }
  if (::madvise(page, static_cast<std::size_t>(page_size), MADV_WIPEONFORK) != 0) {
    ::munmap(page, static_cast<std::size_t>(page_size));
    return;
  }
  // Never unmapped: generators on any thread may read it until the process ends.
  auto* mark = new (page) std::atomic<std::uint32_t>(1);
  wipe_on_fork_mark.store(mark, std::memory_order_release);
}

}  // namespace

ForkCounter& fork_counter() noexcept { return process_fork_counter; }

RandomResult<void> install_fork_hooks() {
  // A mutex rather than std::call_once, whose failing path is unreliable in some C++ libraries.
  static constinit Mutex mutex;
  static constinit bool installed VELTRANO_GUARDED_BY(mutex) = false;
  MutexLock lock(mutex);
  if (installed) {
    return {};
  }
  if (const int error = pthread_atfork(on_fork, on_fork, on_fork_in_child); error != 0) {
    return RandomError("could not register fork handlers",
                       std::error_code(error, std::system_category()));
  }
  arm_wipe_on_fork_mark();
  installed = true;
  return {};
}

void detail::count_unhooked_fork(std::atomic<std::uint32_t>& mark) noexcept {
  // Counted before re-arming, so a thread that finds the mark set again also sees the count.
  process_fork_counter.fetch_add(1, std::memory_order_release);
  mark.store(1, std::memory_order_release);
}

}  // namespace veltrano::random
