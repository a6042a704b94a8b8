#include "bindings/bridge/into_awaitable.hpp"

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
    PyErr_PrintEx(0);
    return;
  }
  Expected<PyRef> completer = new_checked_completer();
  if (!completer.ok()) {
    std::move(completer).error().restore();
    PyErr_PrintEx(0);
    return;
  }
  PyRef call_soon = PyRef::steal(PyObject_GetAttrString(event_loop, "call_soon_threadsafe"));
  PyRef args =
      PyRef::steal(Py_BuildValue("(OOOO)", completer.value().get(), future, complete.get(), value));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "context", Py_None));
  if (!call_soon || !args || !kwargs) {
    PyErr_PrintEx(0);
    return;
  }
  PyRef scheduled = PyRef::steal(PyObject_Call(call_soon.get(), args.get(), kwargs.get()));
  if (!scheduled) {
    PyErr_PrintEx(0);
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
        PyErr_PrintEx(0);
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
