// AbnormalEnd: how a task or job ended when it did not produce its value (cancelled or panicked),
// and its text. A plain value.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace veltrano::runtime {

// How a task or job ended abnormally.
struct AbnormalEnd {
  enum class Kind { Cancelled, Panicked };

  Kind kind = Kind::Cancelled;
  std::uint64_t task_id = 0;
  std::optional<std::string> message;  // only for Panicked with a text payload

  // "task 5 was cancelled", "task 5 panicked with message \"boom\"" or "task 5 panicked".
  std::string text() const;

  // Classifies a fault: veltrano::Fault keeps its optional message, any other std::exception
  // gives what(), anything else gives no payload.
  static AbnormalEnd from_exception(std::uint64_t task_id, std::exception_ptr error);
};

}  // namespace veltrano::runtime
