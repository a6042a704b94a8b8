// Fault: the one exception type for internal faults, an unrecoverable condition inside the module.
// Thrown anywhere below an entry point; caught only by the bindings' call guard and by the runtime.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace veltrano {

// A fault carries a text message, or none (the runtime then reports "task {} panicked").
class Fault : public std::exception {
 public:
  Fault() = default;
  explicit Fault(std::string message) : message_(std::move(message)) {}

  const std::optional<std::string>& message() const noexcept { return message_; }
  const char* what() const noexcept override {
    return message_ ? message_->c_str() : "panic from native code";
  }

 private:
  std::optional<std::string> message_;
};

}  // namespace veltrano
