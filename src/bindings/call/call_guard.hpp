// call_guard: the wrapper around every entry from the interpreter. It counts the lock as held,
// drains deferred releases, turns an ErrorValue into the current exception and a fault into
// PanicException. A fault that escapes all of that aborts the process. The guards are not
// noexcept only so that a forced unwind (a thread ended at interpreter exit) can pass through.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "bindings/errors/error_value.hpp"
#include "bindings/forced_unwind.hpp"
#include "bindings/lock.hpp"

namespace veltrano::bindings {
namespace detail {

// The lazy PanicException for the fault being handled (message of the fault, or
// "panic from native code").
ErrorValue panic_error_value(std::exception_ptr fault);

// Writes "uncaught panic at ffi boundary" to standard error and aborts.
[[noreturn]] void abort_uncaught_fault() noexcept;

// Runs body with fault capture; returns the error to raise, if any.
template <typename Body, typename OnSuccess>
std::optional<ErrorValue> run_captured(Body& body, OnSuccess&& on_success) {
  try {
    auto result = body();
    if (result.ok()) {
      if constexpr (std::is_void_v<decltype(std::move(result).value())>) {
        on_success();
      } else {
        on_success(std::move(result).value());
      }
      return std::nullopt;
    }
    return std::move(result).error();
  } catch (...) {
    pass_on_forced_unwind();
    return panic_error_value(std::current_exception());
  }
}

// What every guard shares: the lock counted as held and deferred releases drained around the
// captured body; finish makes the entry's return value from the error to raise, if any (raising
// it may fault too, which aborts).
template <typename Body, typename OnSuccess, typename Finish>
auto guarded(Body& body, OnSuccess&& on_success, Finish&& finish) {
  try {
    LockDepthGuard depth;
    drain_pending_releases();
    return finish(run_captured(body, on_success));
  } catch (...) {
    pass_on_forced_unwind();
    abort_uncaught_fault();
  }
}

}  // namespace detail

// For entries that return an object: body() -> Expected<PyRef>. Returns NULL on failure.
template <typename Body>
PyObject* call_guard(Body&& body) {
  PyObject* result = nullptr;
  return detail::guarded(
      body, [&](PyRef value) { result = value.release(); },
      [&](std::optional<ErrorValue> error) -> PyObject* {
        if (error) {
          std::move(*error).restore();
          return nullptr;
        }
        return result;
      });
}

// For setters: body() -> Status. Returns 0, or -1 on failure.
template <typename Body>
int call_guard_status(Body&& body) {
  return detail::guarded(
      body, [] {},
      [](std::optional<ErrorValue> error) {
        if (error) {
          std::move(*error).restore();
          return -1;
        }
        return 0;
      });
}

// For deallocation: body() -> void. A fault is reported as unraisable and not raised.
template <typename Body>
void call_guard_dealloc(Body&& body) {
  auto wrapped = [&]() -> Status {
    body();
    return ok_status();
  };
  detail::guarded(
      wrapped, [] {},
      [](std::optional<ErrorValue> error) {
        if (error) {
          std::move(*error).restore();
          PyErr_WriteUnraisable(nullptr);
        }
      });
}

}  // namespace veltrano::bindings
