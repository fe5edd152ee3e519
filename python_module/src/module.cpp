// The _native module: multi-phase initialisation with one execution step,
// which adds the exception, the classes and the functions in a fixed order
// and stops at the first failure (the import then raises it).
#include "asyncio_bridge.h"
#include "capabilities.h"
#include "command_type.h"
#include "error_translation.h"
#include "interpreter_exit.h"
#include "module_state.h"
#include "output_event_type.h"
#include "output_stream_type.h"
#include "policy_type.h"
#include "ready.h"
#include "run_function.h"
#include "run_result_type.h"
#include "stream_function.h"
#include "token_type.h"

namespace quellar::py {
namespace {

// Creates a class, keeps it in the state and adds it to the module.
bool add_type(PyObject* module, PyObject* (*create)(PyObject*), PyTypeObject** slot) {
  Ref type = Ref::steal(create(module));
  if (!type || PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) {
    return false;
  }
  *slot = reinterpret_cast<PyTypeObject*>(type.release());
  return true;
}

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&]() -> int {
    ModuleState& state = *state_of(module);

    PyObject* error = supervisor_error_class();
    if (error == nullptr || PyModule_AddObjectRef(module, "SupervisorError", error) < 0) return -1;
    state.supervisor_error = Ref::borrow(error).release();

    if (!add_type(module, create_command_type, &state.command_type) ||
        !add_type(module, create_policy_type, &state.policy_type) ||
        !add_type(module, create_run_result_type, &state.run_result_type) ||
        !add_type(module, create_output_event_type, &state.output_event_type) ||
        !add_type(module, create_output_stream_type, &state.output_stream_type) ||
        !add_type(module, create_token_type, &state.token_type)) {
      return -1;
    }
    state.ready_type = reinterpret_cast<PyTypeObject*>(create_ready_type(module));
    if (state.ready_type == nullptr) return -1;
    if (!create_bridge_types(module, state)) return -1;
    const char* kinds[] = {"started", "stdout", "stderr", "exited"};
    for (int i = 0; i < 4; ++i) {
      state.kind_names[i] = PyUnicode_InternFromString(kinds[i]);
      if (state.kind_names[i] == nullptr) return -1;
    }
    state.str_blocking = PyUnicode_InternFromString("_asyncio_future_blocking");
    if (state.str_blocking == nullptr) return -1;

    if (PyModule_AddFunctions(module, run_defs) < 0 ||
        PyModule_AddFunctions(module, stream_defs) < 0 ||
        PyModule_AddFunctions(module, platform_capabilities_defs) < 0) {
      return -1;
    }

    return install_exit_hook() ? 0 : -1;
  });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->supervisor_error);
  Py_VISIT(state->command_type);
  Py_VISIT(state->policy_type);
  Py_VISIT(state->run_result_type);
  Py_VISIT(state->output_event_type);
  Py_VISIT(state->output_stream_type);
  Py_VISIT(state->token_type);
  Py_VISIT(state->ready_type);
  Py_VISIT(state->run_future_type);
  Py_VISIT(state->next_event_type);
  Py_VISIT(state->next_event_wait_type);
  Py_VISIT(state->claim_type);
  Py_VISIT(state->loop_link_type);
  Py_VISIT(state->loop_gone_type);
  Py_VISIT(state->get_running_loop);
  Py_VISIT(state->future_type);
  Py_VISIT(state->future_cancel);
  Py_VISIT(state->future_result);
  Py_VISIT(state->future_exception);
  Py_VISIT(state->future_set_result);
  Py_VISIT(state->future_set_exception);
  Py_VISIT(state->future_done);
  Py_VISIT(state->future_cancelled);
  Py_VISIT(state->future_get_loop);
  Py_VISIT(state->str_blocking);
  for (PyObject* name : state->kind_names) Py_VISIT(name);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->supervisor_error);
  Py_CLEAR(state->command_type);
  Py_CLEAR(state->policy_type);
  Py_CLEAR(state->run_result_type);
  Py_CLEAR(state->output_event_type);
  Py_CLEAR(state->output_stream_type);
  Py_CLEAR(state->token_type);
  Py_CLEAR(state->ready_type);
  Py_CLEAR(state->run_future_type);
  Py_CLEAR(state->next_event_type);
  Py_CLEAR(state->next_event_wait_type);
  Py_CLEAR(state->claim_type);
  Py_CLEAR(state->loop_link_type);
  Py_CLEAR(state->loop_gone_type);
  Py_CLEAR(state->get_running_loop);
  Py_CLEAR(state->future_type);
  Py_CLEAR(state->future_cancel);
  Py_CLEAR(state->future_result);
  Py_CLEAR(state->future_exception);
  Py_CLEAR(state->future_set_result);
  Py_CLEAR(state->future_set_exception);
  Py_CLEAR(state->future_done);
  Py_CLEAR(state->future_cancelled);
  Py_CLEAR(state->future_get_loop);
  Py_CLEAR(state->str_blocking);
  for (PyObject*& name : state->kind_names) Py_CLEAR(name);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Supervised, contained execution of untrusted command-line tools from asyncio.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quellar::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&quellar::py::module_def); }
