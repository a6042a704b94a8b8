#include "random/fill.hpp"

#include <optional>
#include <utility>

#include "random/fork_counter.hpp"
#include "random/generator.hpp"
#include "random/kernel_seed.hpp"

namespace veltrano::random {
namespace {

// Trivially destructible, so they stay readable through the whole of thread teardown.
thread_local Generator* t_generator = nullptr;
thread_local bool t_destroyed = false;

// Owns the thread's generator; destroyed at thread exit, which wipes it.
struct ThreadGenerator {
  ~ThreadGenerator() {
    t_generator = nullptr;
    t_destroyed = true;
  }
  std::optional<Generator> generator;
};
thread_local ThreadGenerator t_owner;

[[gnu::noinline]] RandomResult<void> create_thread_generator() {
  if (t_destroyed) {
    return RandomError("thread random source requested after it was destroyed");
  }
  if (RandomResult<void> hooked = install_fork_hooks(); !hooked.ok()) {
    return hooked;
  }
  RandomResult<Generator> created = Generator::create(read_kernel_seed, fork_counter());
  if (!created.ok()) {
    return std::move(created).error();
  }
  t_owner.generator.emplace(std::move(created).value());
  t_generator = &*t_owner.generator;
  return {};
}

}  // namespace

RandomResult<void> fill(std::uint8_t* buffer, std::size_t n) {
  notice_unhooked_fork();
  if (t_generator == nullptr) [[unlikely]] {
    if (RandomResult<void> created = create_thread_generator(); !created.ok()) {
      return created;
    }
  }
  t_generator->fill(buffer, n);
  return {};
}

}  // namespace veltrano::random
