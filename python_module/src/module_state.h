// What one instance of the _native module owns: its classes and the asyncio
// callables the bridge needs. Functions reach it through their module (self)
// and methods through their class (PyType_GetModuleState), never through a
// global, so a re-imported module gets its own.
#pragma once

#include "ref.h"

namespace quellar::py {

struct ModuleState {
  PyObject* supervisor_error;  // the process-wide exception class
  PyTypeObject* command_type;
  PyTypeObject* policy_type;
  PyTypeObject* run_result_type;
  PyTypeObject* output_event_type;
  PyTypeObject* output_stream_type;
  PyTypeObject* token_type;
  // Not exported: what OutputStream.__anext__() and aclose() return when
  // their outcome is known at the call.
  PyTypeObject* ready_type;
  // The asyncio side of the bridge, looked up by the first run() and kept:
  // asyncio.get_running_loop, contextvars.copy_context, and the function that
  // settles a future on its loop's thread.
  PyObject* get_running_loop;
  PyObject* copy_context;
  PyObject* resolve;
};

inline ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// For methods: the classes of this module cannot be subclassed, so the type
// of `self` is always the module's own class.
inline ModuleState* state_of(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace quellar::py
