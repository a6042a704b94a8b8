#include "bindings/errors/panic_exception.hpp"

#include <string>

#include "bindings/text.hpp"
#include "base/fault.hpp"

namespace veltrano::bindings {
namespace {

// Written once with the lock held; never released.
PyObject* panic_type = nullptr;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it normally propagates all the way\n"
    "up the stack and makes the interpreter exit.\n";

}  // namespace

PyObject* existing_panic_exception_type() noexcept { return panic_type; }

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    // "veltrano_runtime.PanicException" and the texts here are matched on by callers
    // (docs/design.md).
    PyObject* created = PyErr_NewExceptionWithDoc("veltrano_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
      std::string detail = "unknown error";
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      if (value != nullptr) {
        if (auto text = lossy_str(value)) {
          detail = *text;
        }
      }
      Py_DecRef(type);
      Py_DecRef(value);
      Py_DecRef(traceback);
      throw Fault("Failed to initialize new exception type.: " + detail);
    }
    panic_type = created;
  }
  return panic_type;
}

}  // namespace veltrano::bindings
