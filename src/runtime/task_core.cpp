#include "runtime/task_core.hpp"

#include <algorithm>

#include "runtime/completion_state.hpp"
#include "runtime/scheduler.hpp"

namespace veltrano::runtime {

namespace {

thread_local TaskCore* tls_current_task = nullptr;

// Marks the task that this thread runs, for awaiters and task locals.
class CurrentTask {
 public:
  explicit CurrentTask(TaskCore* core) noexcept : previous_(tls_current_task) {
    tls_current_task = core;
  }
  CurrentTask(const CurrentTask&) = delete;
  CurrentTask& operator=(const CurrentTask&) = delete;
  ~CurrentTask() { tls_current_task = previous_; }

 private:
  TaskCore* previous_;
};

}  // namespace

TaskCore::TaskCore(std::uint64_t id, Task<void> root, std::shared_ptr<CompletionBase> completion,
                   std::shared_ptr<Scheduler> scheduler)
    : id_(id),
      scheduler_(std::move(scheduler)),
      root_(std::move(root)),
      completion_(std::move(completion)) {}

TaskCore::~TaskCore() {
  // Reached with a live frame only when nothing can wake the task any more.
  if (root_.valid()) {
    CurrentTask current(this);
    root_ = Task<void>();
  }
  if (completion_) {
    completion_->publish();
  }
}

TaskCore* TaskCore::current() noexcept { return tls_current_task; }

void TaskCore::push_scope(CancelScopeRecord* scope) {
  MutexLock lock(mutex_);
  scope->id = next_scope_id_++;
  scope->fired = false;
  scopes_.push_back(scope);
}

void TaskCore::remove_scope(CancelScopeRecord* scope) {
  MutexLock lock(mutex_);
  auto it = std::find(scopes_.begin(), scopes_.end(), scope);
  if (it != scopes_.end()) {
    scopes_.erase(it);
  }
}

void TaskCore::wake(std::uint64_t generation) {
  {
    MutexLock lock(mutex_);
    if (state_ == State::Finished || generation != generation_) {
      return;  // stale: the task has run since this waker was made
    }
    switch (state_) {
      case State::Running:
        notified_while_running_ = true;
        return;
      case State::Scheduled:
        leaf_ready_ = true;
        return;
      case State::Idle:
        leaf_ready_ = true;
        state_ = State::Scheduled;
        break;
      case State::Finished:
        return;
    }
  }
  scheduler_->schedule(shared_from_this());
}

void TaskCore::wake_scope(std::uint64_t scope_id) {
  {
    MutexLock lock(mutex_);
    // A running task looks at the signals when it suspends, a scheduled one when it next runs.
    if (state_ != State::Idle) {
      return;
    }
    const bool active = std::any_of(scopes_.begin(), scopes_.end(),
                                    [&](const CancelScopeRecord* s) { return s->id == scope_id; });
    if (!active) {
      return;
    }
    state_ = State::Scheduled;
  }
  scheduler_->schedule(shared_from_this());
}

void TaskCore::request_cancel() {
  {
    MutexLock lock(mutex_);
    if (state_ == State::Finished) {
      return;
    }
    cancel_requested_ = true;
    if (state_ != State::Idle) {
      return;
    }
    state_ = State::Scheduled;
  }
  scheduler_->schedule(shared_from_this());
}

bool TaskCore::must_reschedule_locked() const {
  if (cancel_requested_ || notified_while_running_) {
    return true;
  }
  return std::any_of(scopes_.begin(), scopes_.end(), [](const CancelScopeRecord* s) {
    return s->signalled->load(std::memory_order_acquire);
  });
}

void TaskCore::run() {
  std::coroutine_handle<> target;
  bool cancel = false;
  {
    MutexLock lock(mutex_);
    state_ = State::Running;
    run_generation_ = ++generation_;
    cancel = cancel_requested_;
    const bool leaf_ready = std::exchange(leaf_ready_, false);
    notified_while_running_ = false;
    if (!cancel) {
      // The outermost signalled region wins: its frame drops everything nested inside it.
      auto fired = std::find_if(scopes_.begin(), scopes_.end(), [](const CancelScopeRecord* s) {
        return s->signalled->load(std::memory_order_acquire);
      });
      if (fired != scopes_.end()) {
        (*fired)->fired = true;
        target = (*fired)->frame;
      } else if (!started_) {
        started_ = true;
        target = detail::TaskAccess::handle(root_);
      } else if (leaf_ready) {
        target = resume_point_;
      }
    }
  }

  CurrentTask current(this);
  if (cancel) {
    destroy_and_finish();
    return;
  }
  if (target) {
    target.resume();
  }
  if (detail::TaskAccess::handle(root_).done()) {
    destroy_and_finish();
    return;
  }
  {
    MutexLock lock(mutex_);
    if (!must_reschedule_locked()) {
      state_ = State::Idle;
      return;
    }
    leaf_ready_ = std::exchange(notified_while_running_, false);
    state_ = State::Scheduled;
  }
  scheduler_->schedule(shared_from_this());
}

void TaskCore::run_cancelled() {
  {
    MutexLock lock(mutex_);
    if (state_ == State::Finished) {
      return;
    }
    state_ = State::Running;
    cancel_requested_ = true;
  }
  CurrentTask current(this);
  destroy_and_finish();
}

void TaskCore::destroy_and_finish() {
  // No lock held: the frames' destructors run user code and withdraw from other locks.
  root_ = Task<void>();
  std::shared_ptr<CompletionBase> completion;
  {
    MutexLock lock(mutex_);
    state_ = State::Finished;
    scopes_.clear();
    completion = std::move(completion_);
  }
  if (completion) {
    completion->publish();
  }
}

}  // namespace veltrano::runtime
