#include "bindings/bridge/callbacks.hpp"

#include "base/no_destructor.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/class_type.hpp"

namespace veltrano::bindings::bridge {
namespace {

struct DoneCallbackValue {
  std::optional<runtime::CancelSender> sender;  // present until used; dropping it means "gone"
  PyRef own_future;  // a weak reference to the future it was made for, when it takes one
  // Otherwise its address, never dereferenced: while that future lives, no other object has it.
  const PyObject* own_future_address = nullptr;
};

// Whether future is the one the callback was made for (a dead or unreadable reference is not).
bool is_own_future(const DoneCallbackValue& callback, PyObject* future) {
  if (!callback.own_future) {
    return future == callback.own_future_address;
  }
  PyRef referent = PyRef::steal(PyObject_CallObject(callback.own_future.get(), nullptr));
  if (!referent) {
    PyErr_Clear();
    return false;
  }
  return referent.get() == future;
}
struct CheckedCompleterValue {};

ClassTypeCell& done_callback_cell();
ClassTypeCell& checked_completer_cell();

constexpr std::string_view kDoneParameters[] = {"fut"};
const ParameterSpec kDoneSpec{"DoneCallback", "__call__", kDoneParameters, 0, 1};

constexpr std::string_view kCompleterParameters[] = {"future", "complete", "value"};
const ParameterSpec kCompleterSpec{"CheckedCompleter", "__call__", kCompleterParameters, 0, 3};

// Asks whether the future is cancelled; nullopt (error left set) when the call raises.
std::optional<bool> ask_cancelled(PyObject* future) {
  PyRef result = PyRef::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!result) {
    return std::nullopt;
  }
  int truth = PyObject_IsTrue(result.get());
  if (truth < 0) {
    return std::nullopt;
  }
  return truth == 1;
}

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guard([=]() -> Expected<PyRef> {
    Slots<1> slots{};
    if (Status bound = bind_arguments(kDoneSpec, args, kwargs, slots); !bound.ok()) {
      return std::move(bound).error();
    }
    DoneCallbackValue& callback = instance_of<DoneCallbackValue>(self)->value;
    if (!is_own_future(callback, slots[0])) {
      return PyRef::borrow(Py_None);
    }
    std::optional<bool> cancelled = ask_cancelled(slots[0]);
    if (!cancelled) {
      // Reported, never printed: printing a SystemExit would end the process from a callback.
      PyErr_WriteUnraisable(slots[0]);
    } else if (*cancelled) {
      auto& sender = callback.sender;
      if (sender) {
        std::optional<runtime::CancelSender> taken = std::move(sender);
        sender.reset();
        taken->send();
      }
    }
    return PyRef::borrow(Py_None);
  });
}

PyObject* checked_completer_call(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guard([=]() -> Expected<PyRef> {
    Slots<3> slots{};
    if (Status bound = bind_arguments(kCompleterSpec, args, kwargs, slots); !bound.ok()) {
      return std::move(bound).error();
    }
    std::optional<bool> cancelled = ask_cancelled(slots[0]);
    if (!cancelled) {
      return ErrorValue::fetch();
    }
    if (!*cancelled) {
      PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(slots[1], slots[2], nullptr));
      if (!done) {
        return ErrorValue::fetch();
      }
    }
    return PyRef::borrow(Py_None);
  });
}

const ClassSpec done_callback_spec{"DoneCallback",
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   dealloc_instance<DoneCallbackValue>,
                                   nullptr,
                                   nullptr,
                                   static_cast<int>(sizeof(Instance<DoneCallbackValue>)),
                                   done_callback_call};

const ClassSpec checked_completer_spec{"CheckedCompleter",
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       dealloc_instance<CheckedCompleterValue>,
                                       nullptr,
                                       nullptr,
                                       static_cast<int>(sizeof(Instance<CheckedCompleterValue>)),
                                       checked_completer_call};

// Built when the library is loaded: a guarded first use on a worker thread could be split by a
// fork, leaving the child's first completion waiting on the guard for ever.
NoDestructor<ClassTypeCell> done_callback_type(done_callback_spec);
NoDestructor<ClassTypeCell> checked_completer_type(checked_completer_spec);

ClassTypeCell& done_callback_cell() { return *done_callback_type; }
ClassTypeCell& checked_completer_cell() { return *checked_completer_type; }

}  // namespace

Expected<PyRef> new_done_callback(runtime::CancelSender sender, PyObject* future) {
  PyRef own_future = PyRef::steal(PyWeakref_NewRef(future, nullptr));
  const PyObject* own_future_address = nullptr;
  if (!own_future) {
    // A future-like object of another loop may refuse weak references; its identity will do.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
      return ErrorValue::fetch();
    }
    PyErr_Clear();
    own_future_address = future;
  }
  return create_instance(
      done_callback_cell().get_or_fault(),
      DoneCallbackValue{std::move(sender), std::move(own_future), own_future_address});
}

Expected<PyRef> new_checked_completer() {
  return create_instance(checked_completer_cell().get_or_fault(), CheckedCompleterValue{});
}

bool future_is_cancelled(PyObject* future) {
  std::optional<bool> cancelled = ask_cancelled(future);
  if (!cancelled) {
    PyErr_WriteUnraisable(future);
    return false;
  }
  return *cancelled;
}

}  // namespace veltrano::bindings::bridge
