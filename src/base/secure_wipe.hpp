// Wiping of secret bytes with stores that the optimiser may not remove or merge.
// Thread-compatible: callers own the memory they wipe.
#pragma once

#include <cstddef>

namespace veltrano {

// Overwrites n bytes at p with zeros, one volatile byte store at a time.
inline void secure_wipe(void* p, std::size_t n) noexcept {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = 0;
  }
}

}  // namespace veltrano
