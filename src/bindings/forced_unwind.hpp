// Letting the forced unwind that ends a thread (pthread_exit) pass through catch-all handlers.
// Thread-safe: looks only at the exception the calling thread is handling.
#pragma once

#include <exception>

namespace veltrano::bindings {

// Rethrows what the enclosing catch (...) handles when it is not a C++ exception: glibc's forced
// unwind of a thread that is being ended, which must go on, since swallowing it aborts the
// process. libstdc++ names it abi::__forced_unwind, libc++abi has no name for it; both give no
// exception_ptr for an exception that is not C++'s own, and it is the only such one here.
// REQUIRES: called inside a catch (...) handler.
inline void pass_on_forced_unwind() {
  if (!std::current_exception()) {
    throw;
  }
}

}  // namespace veltrano::bindings
