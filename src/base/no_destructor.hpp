// NoDestructor<T>: a T built in place when the holder is constructed and never destroyed, for
// objects that threads still running while the process exits may use. Thread-safety is T's.
#pragma once

#include <new>
#include <utility>

namespace veltrano {

// Holds a T in its own aligned storage. The holder's destructor is trivial, so a static holder
// registers nothing to run at exit and its T stays valid after static destructors have run.
// Meant for statics: a T that owns resources is never given back.
template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }

  ~NoDestructor() = default;
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
  const T* get() const noexcept { return std::launder(reinterpret_cast<const T*>(storage_)); }
  T& operator*() noexcept { return *get(); }
  const T& operator*() const noexcept { return *get(); }
  T* operator->() noexcept { return get(); }
  const T* operator->() const noexcept { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace veltrano
