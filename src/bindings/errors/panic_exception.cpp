#include "bindings/errors/panic_exception.hpp"

#include <string>
#include <utility>

#include "base/fault.hpp"
#include "bindings/process_ref.hpp"
#include "bindings/text.hpp"

namespace veltrano::bindings {
namespace {

ProcessRef panic_type;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it normally propagates all the way\n"
    "up the stack and makes the interpreter exit.\n";

}  // namespace

PyObject* existing_panic_exception_type() noexcept { return panic_type.get(); }

PyObject* panic_exception_type() {
  if (!panic_type) {
    // "veltrano_runtime.PanicException" and the texts here are matched on by callers
    // (docs/design.md).
    PyRef created = PyRef::steal(PyErr_NewExceptionWithDoc(
        "veltrano_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!created) {
      std::string detail = "unknown error";
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyRef error_type = PyRef::steal(type);
      PyRef error = PyRef::steal(value);
      PyRef error_traceback = PyRef::steal(traceback);
      if (error) {
        if (auto text = lossy_str(error.get())) {
          detail = *text;
        }
      }
      throw Fault("Failed to initialize new exception type.: " + detail);
    }
    panic_type.set_once(std::move(created));
  }
  return panic_type.get();
}

}  // namespace veltrano::bindings
