#include "runtime/waker.hpp"

#include "runtime/task_core.hpp"

namespace veltrano::runtime {

void Waker::wake() && {
  std::shared_ptr<TaskCore> core = std::move(core_);
  if (core) {
    core->wake(generation_);
  }
}

}  // namespace veltrano::runtime
