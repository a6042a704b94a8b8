// Task<T>: the coroutine type of the worker runtime; lazily started, move-only, awaited inline.
// A Task belongs to one thread at a time; handing it to another thread needs outside ordering.
#pragma once

#include <concepts>
#include <coroutine>
#include <exception>
#include <utility>
#include <variant>

#include "base/fault.hpp"

namespace veltrano::runtime {

template <typename T = void>
class Task;

namespace detail {

class PromiseBase {
 public:
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    // Symmetric transfer back to the awaiting coroutine; a root frame returns to its scheduler.
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      std::coroutine_handle<> next = self.promise().continuation_;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };

  std::suspend_always initial_suspend() noexcept { return {}; }
  FinalAwaiter final_suspend() noexcept { return {}; }
  void set_continuation(std::coroutine_handle<> next) noexcept { continuation_ = next; }

 private:
  std::coroutine_handle<> continuation_;
};

template <typename T>
class TaskPromise : public PromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  template <typename U>
    requires std::convertible_to<U&&, T>
  void return_value(U&& value) {
    result_.template emplace<1>(std::forward<U>(value));
  }
  void unhandled_exception() noexcept { result_.template emplace<2>(std::current_exception()); }

  // REQUIRES: the coroutine has finished.
  T take() {
    if (result_.index() == 2) {
      std::rethrow_exception(std::get<2>(result_));
    }
    return std::move(std::get<1>(result_));
  }

 private:
  std::variant<std::monostate, T, std::exception_ptr> result_;
};

template <>
class TaskPromise<void> : public PromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void unhandled_exception() noexcept { error_ = std::current_exception(); }

  // REQUIRES: the coroutine has finished.
  void take() {
    if (error_) {
      std::rethrow_exception(error_);
    }
  }

 private:
  std::exception_ptr error_;
};

// Runtime-internal access to a Task's frame.
struct TaskAccess {
  template <typename T>
  static std::coroutine_handle<TaskPromise<T>> handle(const Task<T>& task) noexcept {
    return task.handle_;
  }
};

}  // namespace detail

template <typename T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;

  Task() noexcept = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  // Destroying a Task destroys its frame, wherever it is suspended, and every frame it awaits.
  ~Task() { reset(); }

  bool valid() const noexcept { return static_cast<bool>(handle_); }

  class Awaiter {
   public:
    explicit Awaiter(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
    bool await_ready() const noexcept { return handle_.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
      handle_.promise().set_continuation(awaiting);
      return handle_;
    }
    T await_resume() { return handle_.promise().take(); }

   private:
    std::coroutine_handle<promise_type> handle_;
  };

  // Runs the task inline on the awaiting task and yields its value or rethrows its exception.
  // Throws Fault for an empty Task.
  Awaiter operator co_await() & { return Awaiter(checked_handle()); }
  Awaiter operator co_await() && { return Awaiter(checked_handle()); }

 private:
  friend promise_type;
  friend struct detail::TaskAccess;
  explicit Task(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}

  std::coroutine_handle<promise_type> checked_handle() const {
    if (!handle_) {
      throw Fault("awaited an empty task");
    }
    return handle_;
  }
  void reset() noexcept {
    if (handle_) {
      std::exchange(handle_, nullptr).destroy();
    }
  }

  std::coroutine_handle<promise_type> handle_;
};

namespace detail {

template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}

}  // namespace detail

}  // namespace veltrano::runtime
