// fill: secure random bytes from the calling thread's own generator.
// Thread-safe: every thread has its own generator; no lock and no system call on the usual path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrano::random {

// Writes n secure random bytes from the calling thread's generator into buffer.
// The first call on a thread creates the generator; throws std::runtime_error("could not
// initialize thread random source: " + strerror text) if no seed can be read, and
// std::system_error if the fork hooks cannot be registered. Throws std::runtime_error when
// called during thread teardown after the thread's generator has been destroyed.
void fill(std::uint8_t* buffer, std::size_t n);

}  // namespace veltrano::random
