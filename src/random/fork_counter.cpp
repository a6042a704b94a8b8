#include "random/fork_counter.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <system_error>

#include "base/thread_annotations.hpp"
#include "random/kernel_seed.hpp"

namespace veltrano::random {

// A word on a page advised MADV_WIPEONFORK: 1 in the process that set it, 0 in every child, also
// in one made by a raw fork system call that runs none of libc's fork handlers. Null where the
// kernel refuses the advice; then counted_pid stands in for it.
constinit std::atomic<std::atomic<std::uint32_t>*> detail::wipe_on_fork_mark{nullptr};
constinit std::atomic<pid_t> detail::counted_pid{0};

namespace {

constinit ForkCounter process_fork_counter{0};
static_assert(ForkCounter::is_always_lock_free, "the fork hooks may take no lock");

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);
using detail::counted_pid;
using detail::wipe_on_fork_mark;

// Any change of the counter makes a generator reseed. The seed reader's mutex is held across
// fork(): taken before it, released on both sides after it, so the child never finds it held by
// a thread it does not have.
void before_fork() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  kernel_seed_reader().lock_for_fork();
  process_fork_counter.fetch_add(1, std::memory_order_relaxed);
}

void in_parent_after_fork() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  process_fork_counter.fetch_add(1, std::memory_order_relaxed);
  kernel_seed_reader().unlock_after_fork();
}

// The child's handler also re-arms the check: this fork is counted already.
void in_child_after_fork() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  process_fork_counter.fetch_add(1, std::memory_order_relaxed);
  if (std::atomic<std::uint32_t>* mark = wipe_on_fork_mark.load(std::memory_order_relaxed)) {
    mark->store(1, std::memory_order_release);
  } else if (counted_pid.load(std::memory_order_relaxed) != 0) {
    counted_pid.store(::getpid(), std::memory_order_release);
  }
  kernel_seed_reader().unlock_after_fork();
}

void arm_unhooked_fork_check() {
  const long page_size = ::sysconf(_SC_PAGESIZE);
  void* page = ::mmap(nullptr, static_cast<std::size_t>(page_size), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page != MAP_FAILED) {
    if (::madvise(page, static_cast<std::size_t>(page_size), MADV_WIPEONFORK) == 0) {
      // Never unmapped: generators on any thread may read it until the process ends.
      auto* mark = new (page) std::atomic<std::uint32_t>(1);
      wipe_on_fork_mark.store(mark, std::memory_order_release);
      return;
    }
    ::munmap(page, static_cast<std::size_t>(page_size));
  }
  counted_pid.store(::getpid(), std::memory_order_release);
}

// The outcome of the registration, made on first use. A function-local static so that a call
// from another library's static initialiser still finds it made.
int fork_hooks_error() {
  static const int error = [] {
    const int refused = pthread_atfork(before_fork, in_parent_after_fork, in_child_after_fork);
    if (refused == 0) {
      arm_unhooked_fork_check();
    }
    return refused;
  }();
  return error;
}

// Made when the library is loaded, before any of its threads exists: made lazily, on a first
// fill, a fork landing during it would leave the child waiting for a guard or a mutex held by a
// thread it does not have.
[[maybe_unused]] const int fork_hooks_registered = fork_hooks_error();

}  // namespace

ForkCounter& fork_counter() noexcept { return process_fork_counter; }

RandomResult<void> install_fork_hooks() {
  if (const int error = fork_hooks_error(); error != 0) {
    return RandomError("could not register fork handlers",
                       std::error_code(error, std::system_category()));
  }
  return {};
}

void detail::count_unhooked_fork(std::atomic<std::uint32_t>& mark) noexcept {
  // Counted before re-arming, so a thread that finds the mark set again also sees the count.
  process_fork_counter.fetch_add(1, std::memory_order_release);
  mark.store(1, std::memory_order_release);
}

void detail::count_unhooked_fork_by_pid() noexcept {
  const pid_t counted = counted_pid.load(std::memory_order_acquire);
  if (counted == 0) {
    return;  // not armed yet
  }
  const pid_t now = ::getpid();
  if (now != counted) [[unlikely]] {
    // As above: counted before the new id is recorded. Threads of the child racing here may
    // count this fork more than once, which only adds a reseed.
    process_fork_counter.fetch_add(1, std::memory_order_release);
    counted_pid.store(now, std::memory_order_release);
  }
}

}  // namespace veltrano::random
