#include "bindings/bridge/into_awaitable.hpp"

#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "bindings/process_ref.hpp"

namespace veltrano::bindings::bridge {
namespace {

// A compatibility text that callers match on: keep it as it is (docs/design.md).
constexpr const char* kTaskPanicMessage = "background task panicked: unknown error";

// asyncio.get_running_loop and the contextvars module, looked up once and kept.
ProcessRef get_running_loop;
ProcessRef contextvars;

Status ensure_lookups() {
  if (!get_running_loop) {
    PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) {
      return ErrorValue::fetch();
    }
    PyRef function = PyRef::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
    if (!function) {
      return ErrorValue::fetch();
    }
    get_running_loop.set_once(std::move(function));
  }
  if (!contextvars) {
    PyRef module = PyRef::steal(PyImport_ImportModule("contextvars"));
    if (!module) {
      return ErrorValue::fetch();
    }
    contextvars.set_once(std::move(module));
  }
  return ok_status();
}

// An exception raised by the loop's or the future's Python code while a worker completes a
// future, taken out of the interpreter and put back later (to call Python in between).
class PendingError {
 public:
  PendingError() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
  }
  void restore() && { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

 private:
  PyRef type_, value_, traceback_;
};

// Asks event_loop.is_closed(); nullopt, with the error set, when that raises.
std::optional<bool> loop_is_closed(PyObject* event_loop) {
  PyRef closed = PyRef::steal(PyObject_CallMethod(event_loop, "is_closed", nullptr));
  if (!closed) {
    return std::nullopt;
  }
  const int truth = PyObject_IsTrue(closed.get());
  if (truth < 0) {
    return std::nullopt;
  }
  return truth == 1;
}

// The loop refused the completion (the current error says why). A closed loop refuses every
// completion and runs nothing again, so its completion is dropped without a word; any other
// refusal, and a failing is_closed(), go to sys.unraisablehook. Never printed: printing a
// SystemExit would make this worker thread end the process.
void drop_or_report_refusal(PyObject* event_loop) {
  PendingError refusal;
  const std::optional<bool> closed = loop_is_closed(event_loop);
  if (closed && *closed) {
    return;
  }
  std::optional<PendingError> unanswered;
  if (!closed) {
    unanswered.emplace();
  }
  std::move(refusal).restore();
  PyErr_WriteUnraisable(event_loop);
  if (unanswered) {
    std::move(*unanswered).restore();
    PyErr_WriteUnraisable(event_loop);
  }
}

}  // namespace

runtime::TaskLocal<TaskLocals>& task_locals() {
  static runtime::TaskLocal<TaskLocals> instance;
  return instance;
}

Expected<TaskLocals> current_task_locals() {
  if (const TaskLocals* scoped = task_locals().get()) {
    return TaskLocals{scoped->event_loop.clone(), scoped->context.clone()};
  }
  if (Status looked_up = ensure_lookups(); !looked_up.ok()) {
    return std::move(looked_up).error();
  }
  PyRef loop = PyRef::steal(PyObject_CallObject(get_running_loop.get(), nullptr));
  if (!loop) {
    return ErrorValue::fetch();
  }
  PyRef context = PyRef::steal(PyObject_CallMethod(contextvars.get(), "copy_context", nullptr));
  if (!context) {
    return ErrorValue::fetch();
  }
  return TaskLocals{std::move(loop), std::move(context)};
}

void schedule_completion(PyObject* event_loop, PyObject* future, const char* method,
                         PyObject* value) {
  PyRef complete = PyRef::steal(PyObject_GetAttrString(future, method));
  if (!complete) {
    PyErr_WriteUnraisable(future);
    return;
  }
  Expected<PyRef> completer = new_checked_completer();
  if (!completer.ok()) {
    std::move(completer).error().restore();
    PyErr_WriteUnraisable(future);
    return;
  }
  PyRef args =
      PyRef::steal(Py_BuildValue("(OOOO)", completer.value().get(), future, complete.get(), value));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "context", Py_None));
  if (!args || !kwargs) {
    PyErr_WriteUnraisable(future);
    return;
  }
  PyRef call_soon = PyRef::steal(PyObject_GetAttrString(event_loop, "call_soon_threadsafe"));
  PyRef scheduled =
      call_soon ? PyRef::steal(PyObject_Call(call_soon.get(), args.get(), kwargs.get())) : PyRef();
  if (!scheduled) {
    drop_or_report_refusal(event_loop);
  }
}

namespace detail {

runtime::Task<void> supervising_task(PyRef event_loop, PyRef future, runtime::Task<void> work) {
  runtime::Outcome<void> outcome = co_await runtime::spawn_task(std::move(work));
  if (outcome.ok() || outcome.error().kind == runtime::AbnormalEnd::Kind::Cancelled) {
    with_lock([&] {
      future.reset();
      event_loop.reset();
    });
    co_return;
  }
  with_lock([&] {
    if (!future_is_cancelled(future.get())) {
      PyRef panic = PyRef::steal(PyObject_CallFunction(task_panic_type(), "s", kTaskPanicMessage));
      if (!panic) {
        PyErr_WriteUnraisable(task_panic_type());
      } else {
        schedule_completion(event_loop.get(), future.get(), "set_exception", panic.get());
      }
    }
    future.reset();
    event_loop.reset();
  });
}

}  // namespace detail
}  // namespace veltrano::bindings::bridge
