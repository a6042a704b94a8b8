// The process-wide fork counter and the fork hooks that advance it.
// Thread-safe: the counter is atomic and the hooks are registered once per process.
#pragma once

#include <atomic>
#include <cstdint>

namespace veltrano::random {

using ForkCounter = std::atomic<std::uint64_t>;

// Advanced by 1 before every fork and by 1 after it, in the parent and in the child alike,
// so each fork adds 2 on either side. Generators compare their mark with it to notice a fork.
ForkCounter& fork_counter() noexcept;

// Registers the hooks that advance fork_counter(), once per process; later calls return at
// once. Throws std::system_error if the C library refuses them (a later call tries again).
void install_fork_hooks();

}  // namespace veltrano::random
