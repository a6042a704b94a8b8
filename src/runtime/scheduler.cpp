#include "runtime/scheduler.hpp"

#include "runtime/task_core.hpp"

namespace veltrano::runtime {

namespace {

thread_local bool tls_on_task_thread = false;

}  // namespace

bool Scheduler::on_task_thread() noexcept { return tls_on_task_thread; }

void Scheduler::schedule(std::shared_ptr<TaskCore> core) {
  bool notify = false;
  {
    MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
      lock.wait(work_cv_);
    } else {
      const Clock::time_point next = timers_.begin()->first.first;  // a copy: the entry may go
      lock.wait_until(work_cv_, next);
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
    MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
  while (threads_in_loop_ != 0) {
    lock.wait(exit_cv_);
  }
}

}  // namespace veltrano::runtime
