// fill: secure random bytes from the calling thread's own generator.
// Thread-safe: every thread has its own generator; no lock and no system call on the usual path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/random_error.hpp"

namespace veltrano::random {

// Writes n secure random bytes from the calling thread's generator into buffer.
// The first call on a thread creates the generator; its errors are the fork hooks' and the
// generator's own (install_fork_hooks, Generator::create). A call during thread teardown, after
// the thread's generator has been destroyed, fails with "thread random source requested after it
// was destroyed". On failure nothing is written.
RandomResult<void> fill(std::uint8_t* buffer, std::size_t n);

}  // namespace veltrano::random
