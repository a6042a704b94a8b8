#include "runtime/task_id.hpp"

#include <atomic>

namespace veltrano::runtime {

namespace {

// Constant-initialised, so it is valid before any static constructor runs and is never torn down.
constinit std::atomic<std::uint64_t> next_id{1};

}  // namespace

std::uint64_t next_task_id() noexcept {
  std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
  while (id == 0) {
    id = next_id.fetch_add(1, std::memory_order_relaxed);
  }
  return id;
}

}  // namespace veltrano::runtime
