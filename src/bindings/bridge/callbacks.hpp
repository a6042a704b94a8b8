// The bridge's two callable classes: DoneCallback (sends the cancel signal when its future is
// cancelled) and CheckedCompleter (completes a future on its loop unless it was cancelled).
// REQUIRES for all: the lock is held.
#pragma once

#include <Python.h>

#include <optional>

#include "bindings/errors/error_value.hpp"
#include "runtime/cancel_signal.hpp"

namespace veltrano::bindings::bridge {

// A new DoneCallback for future, holding the sending end of a cancel signal. It keeps only a
// weak reference to its future (a strong one would be a cycle the collector cannot see), or its
// address when the future refuses weak references, and ignores calls for any other future. An
// exception from fut.cancelled() in the callback goes to sys.unraisablehook; nothing is sent.
Expected<PyRef> new_done_callback(runtime::CancelSender sender, PyObject* future);

// A new CheckedCompleter.
Expected<PyRef> new_checked_completer();

// future.cancelled(). An exception from it (any BaseException, SystemExit included) goes to
// sys.unraisablehook against the future and counts as "not cancelled".
bool future_is_cancelled(PyObject* future);

}  // namespace veltrano::bindings::bridge
