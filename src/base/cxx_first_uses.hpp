// ready_cxx_first_uses(): runs ahead of time the C++ library's one-time initialisations that the
// library's threads would otherwise run on first use. Call it before the library starts a thread.
#pragma once

#include <locale>
#include <system_error>
#include <thread>

namespace veltrano {

// Each of these is a function-local static behind a guard (on musl, behind libc++abi's one mutex
// for all guards). A fork that lands while another thread is inside one leaves the child waiting
// for ever on a guard that no thread of its own will release; run before any thread exists, none
// is left to split.
inline void ready_cxx_first_uses() {
  // Declared [[gnu::const]], so a call whose result is unused may be dropped: the volatile store
  // keeps it. system_category() is read by every std::error_code, even a default one.
  const std::error_category* volatile category = &std::system_category();
  category = &std::generic_category();
  (void)category;
  const std::locale global;  // the classic and global locales, which file streams build
  (void)global;
  // A thread_local with a destructor: the first one registered sets up libc++abi's own registry
  // of thread-exit destructors where the C library lacks __cxa_thread_atexit_impl (musl).
  struct AtThreadExit {
    ~AtThreadExit() { touched = 0; }
    volatile int touched = 1;
  };
  thread_local AtThreadExit at_thread_exit;
  (void)at_thread_exit.touched;
#if defined(_LIBCPP_VERSION)
  (void)std::__thread_local_data();  // read by every std::thread as it starts
#endif
}

}  // namespace veltrano
