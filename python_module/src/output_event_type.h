// OutputEvent: one event of a streamed command, as Python sees it.
#pragma once

#include "ref.h"

#include "events/stream.h"
#include "module_state.h"

namespace quellar::py {

// The class, for the module's execution step; null with an exception set.
PyObject* create_output_event_type(PyObject* module);

// What an item taken from a stream becomes for Python, built with the
// interpreter lock: an OutputEvent ("started", "stdout", "stderr", "exited"
// with its RunResult), or the exception to raise (SupervisorError for a
// stream error, StopAsyncIteration at the end). Null with an exception set
// when Python cannot build it.
struct PyOutcome {
  Ref value;
  bool is_exception = false;
};
PyOutcome to_python(ModuleState& state, Received received);

}  // namespace quellar::py
