// The one-shot cancel signal (CancelSender/CancelReceiver) and cancellable(), which drops a task
// at its current suspension point once the signal is sent. Thread-safe: ends live on any thread.
#pragma once

#include <unistd.h>

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "base/mutex.hpp"
#include "runtime/task.hpp"
#include "runtime/task_core.hpp"

namespace veltrano::runtime {

namespace detail {

// `sent` is stored (release) before the waiting task is woken, and the scheduler reads it
// (acquire) under the task's lock when the task suspends, so a send is never missed.
struct CancelChannel {
  // A forked child has none of the threads behind the channel, and its copy of the mutex and of
  // the task's scheduler may be locked by one of them: the child leaves the channel alone.
  const pid_t owning_process = ::getpid();
  Mutex mutex;
  std::atomic<bool> sent{false};
  bool sender_gone VELTRANO_GUARDED_BY(mutex) = false;
  std::shared_ptr<TaskCore> waiting_task VELTRANO_GUARDED_BY(mutex);
  std::uint64_t waiting_scope VELTRANO_GUARDED_BY(mutex) = 0;
};

struct CancelAccess;

}  // namespace detail

class CancelReceiver;

class CancelSender {
 public:
  CancelSender(CancelSender&& other) noexcept = default;
  CancelSender& operator=(CancelSender&& other) noexcept;
  CancelSender(const CancelSender&) = delete;
  CancelSender& operator=(const CancelSender&) = delete;
  // Dropping an unsent sender tells the receiver that no signal will come.
  ~CancelSender();

  // Sends the signal; later sends are ignored, as is a send whose task has already finished.
  void send();

 private:
  friend std::pair<CancelSender, CancelReceiver> make_cancel_signal();
  explicit CancelSender(std::shared_ptr<detail::CancelChannel> channel) noexcept
      : channel_(std::move(channel)) {}
  void drop() noexcept;
  // In a forked child: forgets the channel without locking, waking or releasing anything.
  bool abandoned_after_fork() noexcept;

  std::shared_ptr<detail::CancelChannel> channel_;
};

class CancelReceiver {
 public:
  enum class State { Pending, Sent, SenderGone };

  CancelReceiver(CancelReceiver&&) noexcept = default;
  CancelReceiver& operator=(CancelReceiver&&) noexcept = default;
  CancelReceiver(const CancelReceiver&) = delete;
  CancelReceiver& operator=(const CancelReceiver&) = delete;

  State state() const;

 private:
  friend std::pair<CancelSender, CancelReceiver> make_cancel_signal();
  friend struct detail::CancelAccess;
  explicit CancelReceiver(std::shared_ptr<detail::CancelChannel> channel) noexcept
      : channel_(std::move(channel)) {}

  std::shared_ptr<detail::CancelChannel> channel_;
};

std::pair<CancelSender, CancelReceiver> make_cancel_signal();

namespace detail {

struct CancelAccess {
  static CancelChannel& channel(const CancelReceiver& receiver) { return *receiver.channel_; }
};

// Awaits `inner` inline inside a cancellable region of the running task. Resumed either by inner's
// end (returns false) or by the scheduler when the signal is seen (returns true; inner is then
// still suspended and the caller destroys it).
template <typename T>
class CancellableAwaiter {
 public:
  CancellableAwaiter(Task<T>& inner, CancelChannel& channel) noexcept
      : inner_(inner), channel_(channel) {}
  CancellableAwaiter(const CancellableAwaiter&) = delete;
  CancellableAwaiter& operator=(const CancellableAwaiter&) = delete;
  ~CancellableAwaiter() { leave(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> frame) {
    auto inner = TaskAccess::handle(inner_);
    if (!inner || inner.done()) {
      throw Fault("cancellable() needs a task that has not run");
    }
    core_ = TaskCore::current();
    if (core_ == nullptr) {
      throw Fault("cancellable() can only be awaited inside a runtime task");
    }
    record_.signalled = &channel_.sent;
    record_.frame = frame;
    core_->push_scope(&record_);
    active_ = true;
    {
      MutexLock lock(channel_.mutex);
      if (!channel_.sender_gone) {
        channel_.waiting_task = core_->shared_from_this();
        channel_.waiting_scope = record_.id;
      }
    }
    inner.promise().set_continuation(frame);
    return inner;
  }
  bool await_resume() noexcept {
    leave();
    return record_.fired;
  }

 private:
  void leave() noexcept {
    if (!active_) {
      return;
    }
    active_ = false;
    std::shared_ptr<TaskCore> dropped;
    {
      MutexLock lock(channel_.mutex);
      if (channel_.waiting_task.get() == core_ && channel_.waiting_scope == record_.id) {
        dropped = std::move(channel_.waiting_task);
      }
    }
    core_->remove_scope(&record_);
  }

  Task<T>& inner_;
  CancelChannel& channel_;
  TaskCore* core_ = nullptr;
  CancelScopeRecord record_;
  bool active_ = false;
};

}  // namespace detail

// Runs `inner` inline (no task identifier of its own). If the signal is sent before inner ends,
// inner is destroyed at its current suspension point (its frames and awaited handles dropped, so
// awaited jobs are detached) and nullopt is returned. A sender dropped unsent means never
// cancelled. REQUIRES: awaited inside a runtime task.
template <typename T>
Task<std::optional<T>> cancellable(Task<T> inner, CancelReceiver receiver) {
  if (receiver.state() == CancelReceiver::State::Sent) {
    co_return std::nullopt;
  }
  const bool fired =
      co_await detail::CancellableAwaiter<T>(inner, detail::CancelAccess::channel(receiver));
  if (fired) {
    inner = Task<T>();
    co_return std::nullopt;
  }
  co_return detail::TaskAccess::handle(inner).promise().take();
}

// For a task without a value: true when inner ran to its end, false when it was cancelled.
Task<bool> cancellable(Task<void> inner, CancelReceiver receiver);

}  // namespace veltrano::runtime
