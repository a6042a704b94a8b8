#include "runtime/scheduler.hpp"

#include <algorithm>

#include "runtime/completion_handle.hpp"

namespace veltrano::runtime {

namespace {

thread_local TaskCore* tls_current_task = nullptr;
thread_local bool tls_on_task_thread = false;

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

void Waker::wake() && {
  std::shared_ptr<TaskCore> core = std::move(core_);
  if (core) {
    core->wake(generation_);
  }
}

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
  std::lock_guard lock(mutex_);
  scope->id = next_scope_id_++;
  scope->fired = false;
  scopes_.push_back(scope);
}

void TaskCore::remove_scope(CancelScopeRecord* scope) {
  std::lock_guard lock(mutex_);
  auto it = std::find(scopes_.begin(), scopes_.end(), scope);
  if (it != scopes_.end()) {
    scopes_.erase(it);
  }
}

void TaskCore::wake(std::uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    state_ = State::Finished;
    scopes_.clear();
    completion = std::move(completion_);
  }
  if (completion) {
    completion->publish();
  }
}

bool Scheduler::on_task_thread() noexcept { return tls_on_task_thread; }

void Scheduler::schedule(std::shared_ptr<TaskCore> core) {
  bool notify = false;
  {
    std::unique_lock lock(mutex_);
    if (shutdown_) {
      lock.unlock();
      core->run_cancelled();
      return;
    }
    queue_.push_back(std::move(core));
    // Threads already woken but not yet running still count as idle; wake one more only if
    // every woken thread has an entry to take.
    notify = idle_threads_ >= queue_.size();
  }
  if (notify) {
    work_cv_.notify_one();
  }
}

Scheduler::TimerKey Scheduler::add_timer(Clock::time_point deadline, Waker waker) {
  Waker fire_now;
  bool notify = false;
  TimerKey key;
  {
    std::lock_guard lock(mutex_);
    key = TimerKey(deadline, next_timer_seq_++);
    if (shutdown_) {
      fire_now = std::move(waker);
    } else {
      notify = idle_threads_ > 0 && (timers_.empty() || key < timers_.begin()->first);
      timers_.emplace(key, std::move(waker));
    }
  }
  if (notify) {
    work_cv_.notify_all();  // the waiting threads recompute their deadline
  }
  if (fire_now) {
    std::move(fire_now).wake();
  }
  return key;
}

void Scheduler::cancel_timer(const TimerKey& key) {
  Waker dropped;
  std::lock_guard lock(mutex_);
  auto it = timers_.find(key);
  if (it != timers_.end()) {
    dropped = std::move(it->second);
    timers_.erase(it);
  }
}

std::vector<Waker> Scheduler::take_due_timers_locked(Clock::time_point now) {
  std::vector<Waker> due;
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    due.push_back(std::move(timers_.begin()->second));
    timers_.erase(timers_.begin());
  }
  return due;
}

void Scheduler::run_task_thread() {
  tls_on_task_thread = true;
  std::unique_lock lock(mutex_);
  ++threads_in_loop_;
  while (true) {
    if (!timers_.empty() && timers_.begin()->first.first <= Clock::now()) {
      std::vector<Waker> due = take_due_timers_locked(Clock::now());
      lock.unlock();
      for (Waker& waker : due) {
        std::move(waker).wake();
      }
      due.clear();
      lock.lock();
      continue;
    }
    if (!queue_.empty()) {
      std::shared_ptr<TaskCore> core = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      core->run();
      core.reset();
      lock.lock();
      continue;
    }
    if (shutdown_) {
      break;
    }
    ++idle_threads_;
    if (timers_.empty()) {
      work_cv_.wait(lock);
    } else {
      const Clock::time_point next = timers_.begin()->first.first;  // a copy: the entry may go
      work_cv_.wait_until(lock, next);
    }
    --idle_threads_;
  }
  if (--threads_in_loop_ == 0) {
    exit_cv_.notify_all();
  }
  lock.unlock();
  tls_on_task_thread = false;
}

void Scheduler::shutdown() {
  std::deque<std::shared_ptr<TaskCore>> queued;
  std::map<TimerKey, Waker> timers;
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    queued.swap(queue_);
    timers.swap(timers_);
  }
  work_cv_.notify_all();
  for (std::shared_ptr<TaskCore>& core : queued) {
    core->run_cancelled();
  }
  queued.clear();
  for (auto& [key, waker] : timers) {
    std::move(waker).wake();  // the woken tasks are dropped, since the scheduler is shut down
  }
  timers.clear();
  std::unique_lock lock(mutex_);
  exit_cv_.wait(lock, [&] { return threads_in_loop_ == 0; });
}

}  // namespace veltrano::runtime
