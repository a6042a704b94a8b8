// Outcome<T>: the value of a finished task or job, or the abnormal end that replaced it.
// A plain value, moved between threads.
#pragma once

#include "base/result.hpp"
#include "runtime/abnormal_end.hpp"

namespace veltrano::runtime {

// A value of T, or the abnormal end that replaced it; value() on an abnormal end throws Fault with
// its text.
template <typename T>
using Outcome = Result<T, AbnormalEnd>;

}  // namespace veltrano::runtime
