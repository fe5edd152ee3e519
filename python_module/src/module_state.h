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
  // Not exported. What OutputStream.__anext__() and aclose() return when
  // their outcome is there at the call:
  PyTypeObject* ready_type;
  // asyncio.Future subclasses: run()'s future, and the future of an event
  // that is not there yet, with its awaiting iterator and its claim:
  PyTypeObject* run_future_type;
  PyTypeObject* next_event_type;
  PyTypeObject* next_event_wait_type;
  PyTypeObject* claim_type;
  // One event loop as the runtime's threads reach it, and the object whose
  // end says the loop has closed:
  PyTypeObject* loop_link_type;
  PyTypeObject* loop_gone_type;
  // asyncio.get_running_loop, and asyncio.Future's own methods, which the
  // subclasses' overrides call.
  PyObject* get_running_loop;
  PyObject* future_type;  // asyncio.Future itself
  PyObject* future_cancel;
  PyObject* future_result;
  PyObject* future_exception;
  PyObject* future_set_result;
  PyObject* future_set_exception;
  PyObject* future_done;
  PyObject* future_cancelled;
  PyObject* future_get_loop;
  // An interned attribute name and the event kinds' names.
  PyObject* str_blocking;  // "_asyncio_future_blocking"
  PyObject* kind_names[4];  // "started", "stdout", "stderr", "exited"
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
