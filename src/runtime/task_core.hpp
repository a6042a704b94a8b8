// TaskCore: the per-task record that the scheduler drives (state, wakes, cancel scopes, locals).
// Thread-safe: wakes and cancels may come from any thread; a task runs on one thread at a time.
#pragma once

#include <coroutine>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/mutex.hpp"
#include "runtime/cancel_scope_record.hpp"
#include "runtime/local_binding.hpp"
#include "runtime/task.hpp"
#include "runtime/waker.hpp"

namespace veltrano::runtime {

class CompletionBase;
class Scheduler;

// Per-task state. Lifecycle: Scheduled (queued) -> Running -> Idle (suspended) -> Scheduled ... ->
// Finished. Only the thread that moved the task to Running touches the frame and the owner-only
// fields; the transitions happen under mutex_, so a task is never resumed twice or on two threads.
// Each run bumps generation_, and a Waker carries the generation of the run that made it: a wake
// from an await that the task has left since (dropped by a cancel) is stale and ignored. A cancel
// signal wakes through wake_scope(), which counts only while its region is registered, and a wake
// that arrives while the task runs is kept and acted on when it suspends: no wake is lost.
class TaskCore : public std::enable_shared_from_this<TaskCore> {
 public:
  TaskCore(std::uint64_t id, Task<void> root, std::shared_ptr<CompletionBase> completion,
           std::shared_ptr<Scheduler> scheduler);
  TaskCore(const TaskCore&) = delete;
  TaskCore& operator=(const TaskCore&) = delete;
  // A task that was never finished (it was orphaned: nothing can wake it) loses its frame here.
  ~TaskCore();

  // The task that the calling thread is running, or nullptr.
  static TaskCore* current() noexcept;

  std::uint64_t id() const noexcept { return id_; }
  Scheduler& scheduler() const noexcept { return *scheduler_; }

  // Owner-only: called by awaiters while the task runs on this thread.
  void set_resume_point(std::coroutine_handle<> point) noexcept { resume_point_ = point; }
  Waker make_waker() { return Waker(shared_from_this(), run_generation_); }
  LocalBinding*& local_bindings() noexcept { return locals_; }
  const LocalBinding* local_bindings() const noexcept { return locals_; }
  void push_scope(CancelScopeRecord* scope);
  void remove_scope(CancelScopeRecord* scope);

  // Any thread, no lock of the caller held.
  void wake(std::uint64_t generation);
  void wake_scope(std::uint64_t scope_id);
  void request_cancel();

  // Scheduler-only: run one step, or drop the task unrun (shutdown).
  // REQUIRES: the task is in state Scheduled and was taken off the queue by the caller.
  void run();
  void run_cancelled();

 private:
  enum class State { Idle, Scheduled, Running, Finished };

  bool must_reschedule_locked() const VELTRANO_REQUIRES(mutex_);
  void destroy_and_finish();

  const std::uint64_t id_;
  const std::shared_ptr<Scheduler> scheduler_;

  Mutex mutex_;
  State state_ VELTRANO_GUARDED_BY(mutex_) = State::Scheduled;
  std::uint64_t generation_ VELTRANO_GUARDED_BY(mutex_) = 0;
  bool leaf_ready_ VELTRANO_GUARDED_BY(mutex_) = false;
  bool notified_while_running_ VELTRANO_GUARDED_BY(mutex_) = false;
  bool cancel_requested_ VELTRANO_GUARDED_BY(mutex_) = false;
  std::uint64_t next_scope_id_ VELTRANO_GUARDED_BY(mutex_) = 1;
  std::vector<CancelScopeRecord*> scopes_ VELTRANO_GUARDED_BY(mutex_);  // outermost first

  // Owner-only (see the class comment).
  Task<void> root_;
  std::shared_ptr<CompletionBase> completion_;
  std::coroutine_handle<> resume_point_;
  std::uint64_t run_generation_ = 0;
  bool started_ = false;
  LocalBinding* locals_ = nullptr;
};

}  // namespace veltrano::runtime
