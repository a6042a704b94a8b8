// LocalBinding: what a task keeps of each task-local scope it is inside.
// Touched only by the thread that runs the task.
#pragma once

namespace veltrano::runtime {

// A value bound by a task-local scope; lives in the scope's frame, linked innermost first.
struct LocalBinding {
  const void* key = nullptr;
  const void* value = nullptr;
  LocalBinding* outer = nullptr;
};

}  // namespace veltrano::runtime
