// UniqueFunction: a move-only, type-erased `void()` callable; the unit of work of the pool.
// Thread-compatible: one owner at a time.
#pragma once

#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

namespace veltrano::runtime {

class UniqueFunction {
 public:
  UniqueFunction() noexcept = default;
  template <typename F>
    requires(!std::same_as<std::decay_t<F>, UniqueFunction> && std::invocable<std::decay_t<F>&>)
  explicit UniqueFunction(F&& f)
      : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(f))) {}

  explicit operator bool() const noexcept { return static_cast<bool>(impl_); }
  // REQUIRES: not empty.
  void operator()() { impl_->call(); }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void call() = 0;
  };
  template <typename F>
  struct Impl final : Base {
    explicit Impl(F&& f) : fn(std::move(f)) {}
    explicit Impl(const F& f) : fn(f) {}
    void call() override { fn(); }
    F fn;
  };

  std::unique_ptr<Base> impl_;
};

}  // namespace veltrano::runtime
