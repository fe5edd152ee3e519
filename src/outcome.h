// How a task on the runtime ends, as seen by whoever waits for it: its value,
// a SandboxError, or a failure of the task itself (a broken invariant or an
// exception escaping it), which bindings report as a worker failure.
#pragma once

#include <string>
#include <variant>

#include "error.h"

namespace quellar {

struct TaskFailure {
  std::string description;
};

template <class T>
using Outcome = std::variant<T, SandboxError, TaskFailure>;

}  // namespace quellar
