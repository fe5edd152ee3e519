// The child's environment is built from nothing: inherited names copied from
// the caller's environment, explicit variables, and an optional search path.
// Names that would let a caller inject code into the child's dynamic loader
// are refused.
#pragma once

#include <expected>
#include <mutex>

#include "command.h"
#include "error.h"
#include "policy.h"

namespace quellar {

std::expected<void, SandboxError> validate_environment_policy(const EnvironmentPolicy& policy);

// Validates, then replaces the command's environment.
std::expected<void, SandboxError> apply_environment_policy(Command& command,
                                                           const EnvironmentPolicy& policy);

// Serialises every read of the process environment done by this library.
// getenv is not safe against a concurrent setenv in another thread; code that
// changes the environment through this library's process should hold it too.
std::mutex& environment_lock();

}  // namespace quellar
