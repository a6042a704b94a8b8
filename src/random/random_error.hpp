// RandomError: why the random source could not give bytes, as a value.
#pragma once

#include <string>
#include <utility>

#include "base/result.hpp"

namespace veltrano::random {

class RandomError {
 public:
  explicit RandomError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

template <typename T>
using RandomResult = Result<T, RandomError>;

}  // namespace veltrano::random
