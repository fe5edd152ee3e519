// How the core's SandboxError reaches Python (SupervisorError with stable
// attributes), and the one place that names a Termination for Python.
#pragma once

#include "ref.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "error.h"
#include "policy.h"

namespace quellar::py {

struct TerminationFields {
  std::string_view name;  // static storage
  std::optional<std::int32_t> exit_code;
  std::optional<std::int32_t> signal;
};

TerminationFields termination_fields(const Termination& termination) noexcept;

// The SupervisorError class (borrowed), created on first use. Needs the
// interpreter lock; null with an exception set if creation fails.
PyObject* supervisor_error_class();

// A SupervisorError instance carrying `error`'s message and attributes. Needs
// the interpreter lock. Never returns an instance of another class: when
// Python cannot build one (memory exhaustion), the result is null with the
// interpreter's exception set.
Ref to_py_error(SandboxError error);

}  // namespace quellar::py
