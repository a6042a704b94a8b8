// Outcome<T>: the value of a finished task or job, or the abnormal end that replaced it.
// A plain value, moved between threads.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "runtime/abnormal_end.hpp"
#include "runtime/fault.hpp"

namespace veltrano::runtime {

// A value of T, or the abnormal end that replaced it.
template <typename T>
class Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  Outcome(AbnormalEnd end) : state_(std::in_place_index<1>, std::move(end)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  // Throws Fault with the abnormal end's text when there is no value.
  T& value() & { return (check(), std::get<0>(state_)); }
  const T& value() const& { return (check(), std::get<0>(state_)); }
  T&& value() && { return (check(), std::get<0>(std::move(state_))); }
  // REQUIRES: !ok(); throws Fault otherwise.
  const AbnormalEnd& abnormal() const {
    if (ok()) {
      throw Fault("outcome holds a value, not an abnormal end");
    }
    return std::get<1>(state_);
  }

 private:
  void check() const {
    if (!ok()) {
      throw Fault(std::get<1>(state_).text());
    }
  }

  std::variant<T, AbnormalEnd> state_;
};

template <>
class Outcome<void> {
 public:
  Outcome() = default;
  Outcome(AbnormalEnd end) : end_(std::move(end)) {}  // NOLINT: implicit

  bool ok() const noexcept { return !end_.has_value(); }
  // Throws Fault with the abnormal end's text when the work did not end normally.
  void value() const {
    if (end_) {
      throw Fault(end_->text());
    }
  }
  // REQUIRES: !ok(); throws Fault otherwise.
  const AbnormalEnd& abnormal() const {
    if (!end_) {
      throw Fault("outcome holds a value, not an abnormal end");
    }
    return *end_;
  }

 private:
  std::optional<AbnormalEnd> end_;
};

}  // namespace veltrano::runtime
