// into_awaitable: runs a computation on the worker runtime and hands its outcome to an asyncio
// future of the caller's running loop, always through the loop's call_soon_threadsafe.
// Entered with the lock held; the background tasks take it only around Python work.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "bindings/bridge/callbacks.hpp"
#include "bindings/bridge/task_panic.hpp"
#include "bindings/errors/error_value.hpp"
#include "bindings/lock.hpp"
#include "bindings/py_ref.hpp"
#include "runtime/cancel_signal.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task_local.hpp"

namespace veltrano::bindings::bridge {

// The event loop and context of the call that started a bridge task.
struct TaskLocals {
  PyRef event_loop;
  PyRef context;
};

// The scope binding TaskLocals inside bridge tasks.
runtime::TaskLocal<TaskLocals>& task_locals();

// The running loop and a copy of the current context, or the scope's own inside a bridge task.
// REQUIRES: the lock is held.
Expected<TaskLocals> current_task_locals();

// loop.call_soon_threadsafe(CheckedCompleter(), future, future.<method>, value, context=None).
// Returns with no error set: a closed loop's refusal is dropped quietly, every other failure
// (any BaseException) goes to sys.unraisablehook. REQUIRES: the lock is held.
void schedule_completion(PyObject* event_loop, PyObject* future, const char* method,
                         PyObject* value);

namespace detail {

template <typename T, typename Convert>
runtime::Task<void> work_task(TaskLocals locals, PyRef event_loop, PyRef future,
                              runtime::Task<Expected<T>> computation,
                              runtime::CancelReceiver receiver, Convert convert) {
  std::optional<Expected<T>> result = co_await task_locals().scope(
      std::move(locals), runtime::cancellable(std::move(computation), std::move(receiver)));
  with_lock([&] {
    if (future_is_cancelled(future.get()) || !result) {
      return;
    }
    if (result->ok()) {
      PyRef value = convert(std::move(*result).value());
      schedule_completion(event_loop.get(), future.get(), "set_result", value.get());
    } else {
      PyRef exception = std::move(*result).error().into_exception();
      schedule_completion(event_loop.get(), future.get(), "set_exception", exception.get());
    }
    // Python references go while the lock is still held.
    result.reset();
    future.reset();
    event_loop.reset();
  });
}

runtime::Task<void> supervising_task(PyRef event_loop, PyRef future, runtime::Task<void> work);

}  // namespace detail

// Starts computation on the worker runtime and returns the new future, or the error to raise
// (no running loop, or a failure of copy_context, create_future or add_done_callback).
// convert turns the success value into a Python object; it runs on a worker thread with the lock
// held and may fault (the future then gets TaskPanic). REQUIRES: the lock is held.
template <typename T, typename Convert>
Expected<PyRef> into_awaitable(runtime::Task<Expected<T>> computation, Convert convert) {
  Expected<TaskLocals> locals = current_task_locals();
  if (!locals.ok()) {
    return std::move(locals).error();
  }
  auto [sender, receiver] = runtime::make_cancel_signal();
  PyObject* event_loop = locals.value().event_loop.get();
  PyRef future = PyRef::steal(PyObject_CallMethod(event_loop, "create_future", nullptr));
  if (!future) {
    return ErrorValue::fetch();
  }
  Expected<PyRef> callback = new_done_callback(std::move(sender), future.get());
  if (!callback.ok()) {
    return std::move(callback).error();
  }
  PyRef added = PyRef::steal(
      PyObject_CallMethod(future.get(), "add_done_callback", "O", callback.value().get()));
  if (!added) {
    return ErrorValue::fetch();
  }
  runtime::Runtime& workers = runtime::runtime();
  PyRef loop_for_work = locals.value().event_loop.clone();
  PyRef loop_for_faults = locals.value().event_loop.clone();
  runtime::Task<void> work =
      detail::work_task<T>(std::move(locals).value(), std::move(loop_for_work), future.clone(),
                           std::move(computation), std::move(receiver), std::move(convert));
  // Detached: the work task completes the future, the supervisor reports its faults.
  (void)workers.spawn_task(
      detail::supervising_task(std::move(loop_for_faults), future.clone(), std::move(work)));
  return future;
}

}  // namespace veltrano::bindings::bridge
