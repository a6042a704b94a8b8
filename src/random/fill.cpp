#include "random/fill.hpp"

#include <optional>
#include <stdexcept>

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

[[gnu::noinline]] Generator& create_thread_generator() {
  if (t_destroyed) {
    throw std::runtime_error("thread random source requested after it was destroyed");
  }
  install_fork_hooks();
  t_owner.generator.emplace(read_kernel_seed, fork_counter());
  t_generator = &*t_owner.generator;
  return *t_generator;
}

}  // namespace

void fill(std::uint8_t* buffer, std::size_t n) {
  notice_unhooked_fork();
  Generator* generator = t_generator;
  if (generator == nullptr) [[unlikely]] {
    generator = &create_thread_generator();
  }
  generator->fill(buffer, n);
}

}  // namespace veltrano::random
