#include "random/fork_counter.hpp"

#include <pthread.h>

#include <mutex>
#include <system_error>

namespace veltrano::random {
namespace {

constinit ForkCounter process_fork_counter{0};
static_assert(ForkCounter::is_always_lock_free, "the fork hooks may take no lock");

// One handler for all three hooks: any change of the counter makes a generator reseed.
void on_fork() noexcept { process_fork_counter.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

ForkCounter& fork_counter() noexcept { return process_fork_counter; }

void install_fork_hooks() {
  // A mutex rather than std::call_once, whose failing path is unreliable in some C++ libraries.
  static constinit std::mutex mutex;
  static constinit bool installed = false;  // GUARDED_BY(mutex)
  std::lock_guard lock(mutex);
  if (installed) {
    return;
  }
  if (const int error = pthread_atfork(on_fork, on_fork, on_fork); error != 0) {
    throw std::system_error(error, std::system_category(), "could not register fork handlers");
  }
  installed = true;
}

}  // namespace veltrano::random
