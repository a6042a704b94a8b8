// CompletionHandle<T>: the end of one spawned task or blocking job (its value or abnormal end).
// Thread-safe: the producer finishes it on its thread while a task awaits or a thread waits on it.
#pragma once

#include <coroutine>
#include <cstdint>
#include <memory>
#include <utility>

#include "base/fault.hpp"
#include "runtime/completion_state.hpp"
#include "runtime/outcome.hpp"
#include "runtime/task_core.hpp"

namespace veltrano::runtime {

// Move-only. Dropping the handle detaches the work: it runs on, and its value is destroyed when it
// ends. Awaiting it from a task suspends that task without blocking its thread.
template <typename T>
class [[nodiscard]] CompletionHandle {
 public:
  CompletionHandle() noexcept = default;
  explicit CompletionHandle(std::shared_ptr<detail::CompletionState<T>> state) noexcept
      : state_(std::move(state)) {}
  CompletionHandle(CompletionHandle&&) noexcept = default;
  CompletionHandle& operator=(CompletionHandle&&) noexcept = default;
  CompletionHandle(const CompletionHandle&) = delete;
  CompletionHandle& operator=(const CompletionHandle&) = delete;
  ~CompletionHandle() = default;

  bool valid() const noexcept { return static_cast<bool>(state_); }
  // REQUIRES: valid().
  std::uint64_t id() const noexcept { return state_->id(); }
  bool finished() const { return checked().finished(); }

  // Blocks until the end and takes the outcome; for threads outside the task threads (a task must
  // co_await instead). Throws Fault on a task thread, on an empty handle, or on a second call.
  Outcome<T> wait() {
    if (TaskCore::current() != nullptr) {
      throw Fault("CompletionHandle::wait() would block a task thread; co_await the handle");
    }
    checked().wait_finished();
    return state_->take();
  }

  // Tasks: a suspended task is dropped on a task thread, a running one at its next suspension.
  // Jobs: only a job that has not started is dropped. Either way the handle then reports
  // Cancelled; work that ended first keeps its outcome.
  void cancel() { checked().cancel(); }

  class Awaiter {
   public:
    explicit Awaiter(std::shared_ptr<detail::CompletionState<T>> state) noexcept
        : state_(std::move(state)) {}
    Awaiter(const Awaiter&) = delete;
    Awaiter& operator=(const Awaiter&) = delete;
    // A frame destroyed while waiting (cancellation) withdraws its waker and detaches the work.
    ~Awaiter() {
      if (registered_) {
        state_->clear_waker();
      }
    }

    bool await_ready() const { return state_->finished(); }
    bool await_suspend(std::coroutine_handle<> awaiting) {
      TaskCore* core = TaskCore::current();
      if (core == nullptr) {
        throw Fault("a completion handle can only be awaited inside a runtime task");
      }
      core->set_resume_point(awaiting);
      registered_ = state_->register_waker(core->make_waker());
      return registered_;
    }
    Outcome<T> await_resume() {
      registered_ = false;
      return state_->take();
    }

   private:
    std::shared_ptr<detail::CompletionState<T>> state_;
    bool registered_ = false;
  };

  // `Outcome<T> o = co_await std::move(handle);` Throws Fault on an empty handle.
  Awaiter operator co_await() && {
    checked();
    return Awaiter(std::move(state_));
  }

 private:
  detail::CompletionState<T>& checked() const {
    if (!state_) {
      throw Fault("used an empty completion handle");
    }
    return *state_;
  }

  std::shared_ptr<detail::CompletionState<T>> state_;
};

}  // namespace veltrano::runtime
