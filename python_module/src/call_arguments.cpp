#include "call_arguments.h"

#include "policy_type.h"
#include "token_type.h"

namespace quellar::py {

const CommandData* command_arg(ModuleState& state, const Parameters& parameters, PyObject* value) {
  Arg arg{parameters, "command", value};
  if (!PyObject_TypeCheck(value, state.command_type)) {
    arg.type_error("Command");
    return nullptr;
  }
  return &command_data(value);
}

bool policy_arg(ModuleState& state, const Parameters& parameters, PyObject* value,
                const SandboxPolicy*& policy) {
  policy = nullptr;
  if (value == nullptr || value == Py_None) return true;
  if (!PyObject_TypeCheck(value, state.policy_type)) {
    Arg{parameters, "policy", value}.type_error("Policy or None");
    return false;
  }
  policy = &policy_data(value);
  return true;
}

bool token_arg(ModuleState& state, const Parameters& parameters, PyObject* value,
               CancellationToken& token) {
  if (value == nullptr || value == Py_None) {
    token = CancellationToken();
    return true;
  }
  if (!PyObject_TypeCheck(value, state.token_type)) {
    Arg{parameters, "cancellation", value}.type_error("CancellationToken or None");
    return false;
  }
  token = token_data(value);
  return true;
}

}  // namespace quellar::py
