// call_guard: the wrapper around every entry from the interpreter. It counts the lock as held,
// drains deferred releases, turns an ErrorValue into the current exception and a fault into
// PanicException. A fault that escapes all of that aborts the process. The guards are not
// noexcept only so that a forced unwind (a thread ended at interpreter exit) can pass through.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <string>

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
      on_success(std::move(result).value());
      return std::nullopt;
    }
    return std::move(result).error();
  } catch (...) {
    pass_on_forced_unwind();
    return panic_error_value(std::current_exception());
  }
}

}  // namespace detail

// For entries that return an object: body() -> Expected<PyRef>. Returns NULL on failure.
template <typename Body>
PyObject* call_guard(Body&& body) {
  try {
    LockDepthGuard depth;
    drain_pending_releases();
    PyObject* result = nullptr;
    auto error = detail::run_captured(body, [&](PyRef value) { result = value.release(); });
    if (error) {
      std::move(*error).restore();
      return nullptr;
    }
    return result;
  } catch (...) {
    pass_on_forced_unwind();
    detail::abort_uncaught_fault();
  }
}

// For setters: body() -> Status. Returns 0, or -1 on failure.
template <typename Body>
int call_guard_status(Body&& body) {
  try {
    LockDepthGuard depth;
    drain_pending_releases();
    auto error = detail::run_captured(body, [](Unit) {});
    if (error) {
      std::move(*error).restore();
      return -1;
    }
    return 0;
  } catch (...) {
    pass_on_forced_unwind();
    detail::abort_uncaught_fault();
  }
}

// For deallocation: body() -> void. A fault is reported as unraisable and not raised.
template <typename Body>
void call_guard_dealloc(Body&& body) {
  try {
    LockDepthGuard depth;
    drain_pending_releases();
    auto wrapped = [&]() -> Status {
      body();
      return ok_status();
    };
    auto error = detail::run_captured(wrapped, [](Unit) {});
    if (error) {
      std::move(*error).restore();
      PyErr_WriteUnraisable(nullptr);
    }
  } catch (...) {
    pass_on_forced_unwind();
    detail::abort_uncaught_fault();
  }
}

}  // namespace veltrano::bindings
