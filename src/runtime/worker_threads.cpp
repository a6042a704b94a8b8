#include "runtime/worker_threads.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "base/fault.hpp"
#include "runtime/cgroup_quota.hpp"
#include "runtime/runtime.hpp"
#include "runtime/utf8.hpp"

namespace veltrano::runtime {

namespace {

// The texts about the variable below are matched on by callers: keep them (docs/design.md).
std::string quoted_variable() { return std::string("\"") + kWorkerThreadsVariable + "\""; }

// Unsigned decimal with an optional "+"; on failure `error` holds the reason.
std::optional<std::size_t> parse_unsigned(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "cannot parse integer from empty string";
    return std::nullopt;
  }
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty()) {
      error = "invalid digit found in string";
      return std::nullopt;
    }
  }
  std::size_t value = 0;
  bool overflow = false;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      error = "invalid digit found in string";
      return std::nullopt;
    }
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
      overflow = true;  // keep scanning: a bad digit later is reported instead
    } else if (!overflow) {
      value = value * 10 + digit;
    }
  }
  if (overflow) {
    error = "number too large to fit in target type";
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::size_t> parse_worker_threads(std::optional<std::string_view> raw) {
  if (!raw) {
    return std::nullopt;
  }
  if (const std::size_t bad = first_invalid_utf8(*raw); bad != std::string_view::npos) {
    throw Fault(quoted_variable() +
                " must be valid unicode, error: invalid utf-8 sequence at byte " +
                std::to_string(bad));
  }
  std::string error;
  const std::optional<std::size_t> value = parse_unsigned(*raw, error);
  if (!value) {
    throw Fault(quoted_variable() + " must be usize, error: " + error +
                ", value: " + std::string(*raw));
  }
  if (*value == 0) {
    throw Fault(quoted_variable() + " cannot be set to 0");
  }
  // The pool's limit is this many threads beyond the task threads; a wrapped sum would be tiny.
  constexpr std::size_t kBeyond = Runtime::kPoolThreadsBeyondTaskThreads;
  if (*value > std::numeric_limits<std::size_t>::max() - kBeyond) {
    throw Fault(quoted_variable() + " is too large: " + std::to_string(kBeyond) +
                " plus it must fit in usize, value: " + std::string(*raw));
  }
  return value;
}

std::size_t available_processors(const std::filesystem::path& root) {
  std::size_t count = 0;
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20) && count == 0; cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) {
      break;
    }
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
      count = static_cast<std::size_t>(CPU_COUNT_S(size, set));
      CPU_FREE(set);
      break;
    }
    const int error = errno;
    CPU_FREE(set);
    if (error != EINVAL) {
      break;
    }
  }
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  if (const auto quota = cpu_quota_processors(root)) {
    count = std::min(count, *quota);
  }
  return std::max<std::size_t>(count, 1);
}

std::size_t worker_thread_count() {
  const char* raw = std::getenv(kWorkerThreadsVariable);
  const auto parsed =
      parse_worker_threads(raw ? std::optional<std::string_view>(raw) : std::nullopt);
  return parsed ? *parsed : available_processors();
}

}  // namespace veltrano::runtime
