// RandomError: why the random source could not give bytes, as a value.
// Trivially copyable, so that a fill's result costs the hot path no destructor.
#pragma once

#include <string>
#include <system_error>

#include "base/result.hpp"

namespace veltrano::random {

class RandomError {
 public:
  // `what` is a static text; the operating system's error, if any, follows it after ": ".
  explicit RandomError(const char* what, std::error_code cause = {}) : what_(what), cause_(cause) {}

  std::string text() const { return cause_ ? std::string(what_) + ": " + cause_.message() : what_; }

 private:
  const char* what_;
  std::error_code cause_;
};

template <typename T>
using RandomResult = Result<T, RandomError>;

}  // namespace veltrano::random
