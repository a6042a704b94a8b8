// TaskLocal<V>: a value bound for the duration of a scope inside a task, readable by the code in
// that scope on whichever task thread runs it. Thread-safe: bindings belong to their task alone.
#pragma once

#include <utility>

#include "base/fault.hpp"
#include "runtime/task.hpp"
#include "runtime/task_core.hpp"

namespace veltrano::runtime {

namespace detail {

// Links one binding into the running task for the lifetime of a scope frame. Scopes nest like
// frames do, and a cancelled chain is destroyed innermost first, so unlinking is LIFO.
class LocalScopeGuard {
 public:
  LocalScopeGuard(const void* key, const void* value) : core_(TaskCore::current()) {
    if (core_ == nullptr) {
      throw Fault("a task-local scope can only run inside a runtime task");
    }
    binding_ = LocalBinding{key, value, core_->local_bindings()};
    core_->local_bindings() = &binding_;
  }
  LocalScopeGuard(const LocalScopeGuard&) = delete;
  LocalScopeGuard& operator=(const LocalScopeGuard&) = delete;
  ~LocalScopeGuard() { core_->local_bindings() = binding_.outer; }

 private:
  TaskCore* core_;
  LocalBinding binding_;
};

}  // namespace detail

// Declare one as a static or inline object per kind of value; its address is the key.
template <typename V>
class TaskLocal {
 public:
  TaskLocal() = default;
  TaskLocal(const TaskLocal&) = delete;
  TaskLocal& operator=(const TaskLocal&) = delete;

  // A task that binds `value` while `inner` runs, then yields inner's value (or rethrows).
  // Takes no task identifier: inner runs inline on the awaiting task.
  template <typename T>
  Task<T> scope(V value, Task<T> inner) const {
    return run_scope<T>(this, std::move(value), std::move(inner));
  }

  // The value of the innermost scope of this key around the calling code, or nullptr (also off
  // the task threads). The pointer is valid until that scope ends.
  const V* get() const noexcept {
    const TaskCore* core = TaskCore::current();
    if (core == nullptr) {
      return nullptr;
    }
    for (const LocalBinding* b = core->local_bindings(); b != nullptr; b = b->outer) {
      if (b->key == this) {
        return static_cast<const V*>(b->value);
      }
    }
    return nullptr;
  }

 private:
  template <typename T>
  static Task<T> run_scope(const TaskLocal* self, V value, Task<T> inner) {
    detail::LocalScopeGuard guard(self, &value);
    Task<T> body = std::move(inner);  // destroyed before the guard unlinks the binding
    co_return co_await std::move(body);
  }
};

}  // namespace veltrano::runtime
