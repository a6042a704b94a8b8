// Result<T, E>: a value of T or an error E, the one result type of every layer.
// A plain value, moved between threads. Reading the side that is not there is an internal fault:
// value() on an error throws Fault with the error's text (E::text() where E has one), and error()
// on a value throws Fault("result holds a value, not an error").
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/fault.hpp"

namespace veltrano {

namespace detail {

template <typename E>
[[noreturn]] void throw_bad_value_access(const E& error) {
  if constexpr (requires {
                  { error.text() } -> std::convertible_to<std::string>;
                }) {
    throw Fault(std::string(error.text()));
  } else {
    throw Fault("result holds an error, not a value");
  }
}

[[noreturn]] inline void throw_bad_error_access() {
  throw Fault("result holds a value, not an error");
}

}  // namespace detail

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }

  T& value() & { return (check_value(), *std::get_if<0>(&state_)); }
  const T& value() const& { return (check_value(), *std::get_if<0>(&state_)); }
  T&& value() && { return (check_value(), std::move(*std::get_if<0>(&state_))); }

  E& error() & { return (check_error(), *std::get_if<1>(&state_)); }
  const E& error() const& { return (check_error(), *std::get_if<1>(&state_)); }
  E&& error() && { return (check_error(), std::move(*std::get_if<1>(&state_))); }

 private:
  void check_value() const {
    if (!ok()) {
      detail::throw_bad_value_access(*std::get_if<1>(&state_));
    }
  }
  void check_error() const {
    if (ok()) {
      detail::throw_bad_error_access();
    }
  }

  std::variant<T, E> state_;
};

// Success without a value, or an error. Default-constructed, it is a success.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return !error_.has_value(); }

  void value() const {
    if (error_) {
      detail::throw_bad_value_access(*error_);
    }
  }

  E& error() & { return (check_error(), *error_); }
  const E& error() const& { return (check_error(), *error_); }
  E&& error() && { return (check_error(), std::move(*error_)); }

 private:
  void check_error() const {
    if (!error_) {
      detail::throw_bad_error_access();
    }
  }

  std::optional<E> error_;
};

}  // namespace veltrano
