// CompletionHandle<T>: the end of one spawned task or blocking job (its value or abnormal end).
// Thread-safe: the producer finishes it on its thread while a task awaits or a thread waits on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/fault.hpp"
#include "runtime/scheduler.hpp"

namespace veltrano::runtime {

// How a task or job ended abnormally.
struct AbnormalEnd {
  enum class Kind { Cancelled, Panicked };

  Kind kind = Kind::Cancelled;
  std::uint64_t task_id = 0;
  std::optional<std::string> message;  // only for Panicked with a text payload

  // "task 5 was cancelled", "task 5 panicked with message \"boom\"" or "task 5 panicked".
  std::string text() const;

  // Classifies a fault: veltrano::Fault keeps its optional message, any other std::exception
  // gives what(), anything else gives no payload.
  static AbnormalEnd from_exception(std::uint64_t task_id, std::exception_ptr error);
};

// `text` in double quotes, with backslash escapes for quotes, backslashes and control characters
// (\" \\ \n \r \t \0, others as \u{1b}); malformed UTF-8 shows as U+FFFD.
std::string quote_escaped(std::string_view text);

// A value of T, or the abnormal end that replaced it.
template <typename T>
class Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  Outcome(AbnormalEnd end) : state_(std::in_place_index<1>, std::move(end)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  // Throws Fault with the abnormal end's text when there is no value.
  T& value() & { return (check(), std::get<0>(state_)); }
  const T& value() const& { return (check(), std::get<0>(state_)); }
  T&& value() && { return (check(), std::get<0>(std::move(state_))); }
  // REQUIRES: !ok(); throws Fault otherwise.
  const AbnormalEnd& abnormal() const {
    if (ok()) {
      throw Fault("outcome holds a value, not an abnormal end");
    }
    return std::get<1>(state_);
  }

 private:
  void check() const {
    if (!ok()) {
      throw Fault(std::get<1>(state_).text());
    }
  }

  std::variant<T, AbnormalEnd> state_;
};

template <>
class Outcome<void> {
 public:
  Outcome() = default;
  Outcome(AbnormalEnd end) : end_(std::move(end)) {}  // NOLINT: implicit

  bool ok() const noexcept { return !end_.has_value(); }
  // Throws Fault with the abnormal end's text when the work did not end normally.
  void value() const {
    if (end_) {
      throw Fault(end_->text());
    }
  }
  // REQUIRES: !ok(); throws Fault otherwise.
  const AbnormalEnd& abnormal() const {
    if (!end_) {
      throw Fault("outcome holds a value, not an abnormal end");
    }
    return *end_;
  }

 private:
  std::optional<AbnormalEnd> end_;
};

// The shared end of one task or job: written once by the producer, read by the handle.
class CompletionBase {
 public:
  CompletionBase(std::uint64_t id, bool is_job) noexcept : id_(id), is_job_(is_job) {}
  CompletionBase(const CompletionBase&) = delete;
  CompletionBase& operator=(const CompletionBase&) = delete;
  virtual ~CompletionBase() = default;

  std::uint64_t id() const noexcept { return id_; }
  bool finished() const;

  // Registers the waiting task; returns false (and drops the waker) when already finished.
  bool register_waker(Waker waker);
  void clear_waker();
  // Blocks the calling thread until finished.
  void wait_finished();

  // Marks the end: the stored outcome, or Cancelled when none was stored. Later calls are no-ops.
  // Wakes the waiting task and threads.
  void publish();

  // Tasks: asks the scheduler to drop the task. Jobs: drops the job only if it has not started.
  void cancel();
  void attach_core(std::weak_ptr<TaskCore> core);
  // Jobs: claims the start; false if the job was cancelled first.
  bool try_start_job() noexcept;

 protected:
  virtual bool has_outcome_locked() const = 0;
  virtual void store_cancelled_locked() = 0;

  mutable std::mutex mutex_;

 private:
  enum JobPhase : int { kQueued, kStarted, kCancelled };

  const std::uint64_t id_;
  const bool is_job_;
  std::condition_variable cv_;
  bool finished_ = false;             // GUARDED_BY(mutex_)
  std::size_t blocking_waiters_ = 0;  // GUARDED_BY(mutex_)
  Waker waker_;                       // GUARDED_BY(mutex_)
  std::weak_ptr<TaskCore> core_;      // GUARDED_BY(mutex_)
  std::atomic<int> job_phase_{kQueued};
};

namespace detail {

template <typename T>
class CompletionState final : public CompletionBase {
 public:
  using CompletionBase::CompletionBase;

  // Keeps the first outcome stored; a refused one dies with the parameter, outside the lock.
  void store(Outcome<T> outcome) {
    std::lock_guard lock(mutex_);
    if (!outcome_ && !taken_) {
      outcome_.emplace(std::move(outcome));
    }
  }
  void finish(Outcome<T> outcome) {
    store(std::move(outcome));
    publish();
  }
  // REQUIRES: finished(). The outcome can be taken once.
  Outcome<T> take() {
    std::lock_guard lock(mutex_);
    if (!outcome_) {
      throw Fault("completion outcome taken twice");
    }
    Outcome<T> result = std::move(*outcome_);
    outcome_.reset();
    taken_ = true;
    return result;
  }

 private:
  bool has_outcome_locked() const override { return outcome_.has_value() || taken_; }
  void store_cancelled_locked() override {
    outcome_.emplace(AbnormalEnd{AbnormalEnd::Kind::Cancelled, id(), std::nullopt});
  }

  std::optional<Outcome<T>> outcome_;  // GUARDED_BY(mutex_)
  bool taken_ = false;                 // GUARDED_BY(mutex_)
};

}  // namespace detail

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
