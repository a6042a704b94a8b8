// CancelScopeRecord: what a task keeps of each cancellable region it is inside.
// Registered and read under the task's lock; `fired` only by the thread that runs the task.
#pragma once

#include <atomic>
#include <coroutine>
#include <cstdint>

namespace veltrano::runtime {

// A cancellable region of a task: while it is registered, a sent signal makes the scheduler resume
// `frame` (with `fired` set) instead of the suspended await inside the region.
struct CancelScopeRecord {
  const std::atomic<bool>* signalled = nullptr;
  std::coroutine_handle<> frame;
  std::uint64_t id = 0;
  bool fired = false;  // written by the thread that runs the task
};

}  // namespace veltrano::runtime
