// The child's environment is built from nothing: inherited names copied from
// the caller's environment, explicit variables, and an optional search path.
// Names that would let a caller inject code into the child's dynamic loader
// are refused.
#pragma once

#include <expected>

#include "command.h"
#include "error.h"
#include "policy.h"

namespace quellar {

std::expected<void, SandboxError> validate_environment_policy(const EnvironmentPolicy& policy);

// Validates, then replaces the command's environment with the inherited
// values read earlier, the explicit variables and the search path.
std::expected<void, SandboxError> apply_environment_policy(Command& command,
                                                           const EnvironmentPolicy& policy);

// Reads the values of the policy's inherited names from this process's
// environment into inherited_values. Call it on the thread that makes the
// request, the one that owns the environment (for Python, with the
// interpreter lock held, which os.environ and putenv also hold): getenv is
// not safe against a setenv in another thread, so the runtime's threads never
// read the environment themselves.
void read_inherited_environment(EnvironmentPolicy& policy);

}  // namespace quellar
