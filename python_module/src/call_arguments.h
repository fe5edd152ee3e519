// The arguments run() and stream() share (command, policy, cancellation),
// converted the same way for both. Each returns false with a TypeError that
// names the argument.
#pragma once

#include "ref.h"

#include "args.h"
#include "cancellation.h"
#include "command_type.h"
#include "module_state.h"
#include "policy.h"

namespace quellar::py {

// A Command (required).
const CommandData* command_arg(ModuleState& state, const Parameters& parameters, PyObject* value);

// None, absent (null) or a Policy; `policy` stays null for the default.
bool policy_arg(ModuleState& state, const Parameters& parameters, PyObject* value,
                const SandboxPolicy*& policy);

// None, absent (null) or a CancellationToken: a second handle to its state,
// or a fresh token nothing else can reach.
bool token_arg(ModuleState& state, const Parameters& parameters, PyObject* value,
               CancellationToken& token);

}  // namespace quellar::py
