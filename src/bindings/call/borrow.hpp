// Borrows of an instance's value: shared (readers) and exclusive (the setter), counted in the
// instance's borrow flag. REQUIRES for all: the lock is held (the counter is not atomic).
#pragma once

#include <Python.h>

#include <utility>

#include "bindings/errors/error_value.hpp"

namespace veltrano::bindings {

// "Already borrowed" and "Already mutably borrowed" are texts callers match on (docs/design.md).
class SharedBorrow {
 public:
  // Fails with RuntimeError "Already mutably borrowed" while an exclusive borrow is held.
  static Expected<SharedBorrow> take(Py_ssize_t& flag) {
    if (flag == -1) {
      return ErrorValue::runtime_error("Already mutably borrowed");
    }
    ++flag;
    return SharedBorrow(&flag);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (flag_ != nullptr) {
      --*flag_;
    }
  }

 private:
  explicit SharedBorrow(Py_ssize_t* flag) : flag_(flag) {}
  Py_ssize_t* flag_;
};

class ExclusiveBorrow {
 public:
  // Fails with RuntimeError "Already borrowed" while any borrow is held.
  static Expected<ExclusiveBorrow> take(Py_ssize_t& flag) {
    if (flag != 0) {
      return ErrorValue::runtime_error("Already borrowed");
    }
    flag = -1;
    return ExclusiveBorrow(&flag);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) {
      *flag_ = 0;
    }
  }

 private:
  explicit ExclusiveBorrow(Py_ssize_t* flag) : flag_(flag) {}
  Py_ssize_t* flag_;
};

}  // namespace veltrano::bindings
