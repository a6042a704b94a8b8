// Task identifiers: one process-wide counter for every task and blocking job of every runtime.
// Thread-safe (one atomic counter).
#pragma once

#include <cstdint>

namespace veltrano::runtime {

// The next identifier: 1, 2, 3, ... in the order of the calls; 0 is skipped should it ever wrap.
std::uint64_t next_task_id() noexcept;

}  // namespace veltrano::runtime
