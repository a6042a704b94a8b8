// The process-wide fork counter and the fork hooks that advance it.
// Thread-safe: the counter is atomic and the hooks are registered once, when the library loads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "random/random_error.hpp"

namespace veltrano::random {

using ForkCounter = std::atomic<std::uint64_t>;

// Advanced by 1 before every fork and by 1 after it, in the parent and in the child alike,
// so each fork adds 2 on either side. Generators compare their mark with it to notice a fork.
ForkCounter& fork_counter() noexcept;

// The hooks that advance fork_counter() (and hold the kernel seed reader's mutex across fork())
// are registered when the library loads, before any thread can fork while another registers
// them; the check for forks that run no hooks is armed then too. This returns the outcome: the
// error, if the C library refused the hooks, is "could not register fork handlers: " and the
// error's description, and stays so for the life of the process.
RandomResult<void> install_fork_hooks();

namespace detail {
// The word on the MADV_WIPEONFORK page, or null where the advice was refused or not yet armed.
extern std::atomic<std::atomic<std::uint32_t>*> wipe_on_fork_mark;
// Where the advice was refused: the process id forks were last counted for (at arming, or at the
// last fork counted since). 0 until then, and wherever the mark is armed.
extern std::atomic<pid_t> counted_pid;
void count_unhooked_fork(std::atomic<std::uint32_t>& mark) noexcept;
void count_unhooked_fork_by_pid() noexcept;
}  // namespace detail

// Advances fork_counter() once if this process is a child whose fork ran no fork hooks (a raw
// fork system call), which the hooks alone would miss: a page advised MADV_WIPEONFORK reads as
// zeros in every child. Where the kernel refuses that advice (before Linux 4.14, some seccomp
// profiles), the process id is compared instead, at the cost of a getpid system call per fill.
// Inline, as it runs on every fill.
inline void notice_unhooked_fork() noexcept {
  std::atomic<std::uint32_t>* mark = detail::wipe_on_fork_mark.load(std::memory_order_acquire);
  if (mark != nullptr) [[likely]] {
    if (mark->load(std::memory_order_acquire) == 0) [[unlikely]] {
      detail::count_unhooked_fork(*mark);
    }
    return;
  }
  detail::count_unhooked_fork_by_pid();
}

}  // namespace veltrano::random
