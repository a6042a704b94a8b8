// Waker: one registered interest in waking a suspended task; stale wakes are ignored.
// Thread-safe: a waker is made on the task's thread and may be consumed on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace veltrano::runtime {

class TaskCore;

// One registered interest in waking a task that is suspended at one await. A wake that arrives
// after the task has moved on (run again since) is ignored, so a stale wake never resumes a frame
// that waits for something else.
class Waker {
 public:
  Waker() noexcept = default;
  Waker(std::shared_ptr<TaskCore> core, std::uint64_t generation) noexcept
      : core_(std::move(core)), generation_(generation) {}

  explicit operator bool() const noexcept { return static_cast<bool>(core_); }
  // Consumes the waker. Call it without holding any lock of the waking side.
  void wake() &&;

 private:
  std::shared_ptr<TaskCore> core_;
  std::uint64_t generation_ = 0;
};

}  // namespace veltrano::runtime
