// How a task on the runtime ends, as seen by whoever waits for it: its value,
// a SandboxError, or a failure of the task itself (a broken invariant, or an
// exception escaping it such as memory exhaustion), which bindings report as
// a worker failure.
#pragma once

#include <exception>
#include <string>
#include <variant>

#include "error.h"

namespace quellar {

struct TaskFailure {
  std::string description;
};

template <class T>
using Outcome = std::variant<T, SandboxError, TaskFailure>;

// The failure of a task that ended with an exception.
inline TaskFailure task_failure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return TaskFailure{e.what()};
  } catch (...) {
    return TaskFailure{"unknown failure"};
  }
}

}  // namespace quellar
