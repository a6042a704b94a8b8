#include "bindings/call/call_guard.hpp"

#include <cstdio>
#include <cstdlib>

#include "base/fault.hpp"
#include "bindings/errors/panic_exception.hpp"

namespace veltrano::bindings::detail {

ErrorValue panic_error_value(std::exception_ptr fault) {
  // A compatibility text that callers match on: keep it as it is (docs/design.md).
  std::string message = "panic from native code";
  try {
    std::rethrow_exception(fault);
  } catch (const Fault& f) {
    if (f.message()) {
      message = *f.message();
    }
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  return ErrorValue::lazy(panic_exception_type, std::move(message));
}

void abort_uncaught_fault() noexcept {
  // A compatibility text that callers match on: keep it as it is (docs/design.md).
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace veltrano::bindings::detail
