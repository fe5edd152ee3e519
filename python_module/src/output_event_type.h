// OutputEvent: one event of a streamed command, as Python sees it, and what
// the stream's items become for Python.
#pragma once

#include "ref.h"

#include "events/stream_queue.h"
#include "module_state.h"

namespace quellar::py {

// The class, for the module's execution step; null with an exception set.
PyObject* create_output_event_type(PyObject* module);

// A Python value an awaitable settles with: returned, or raised when
// `is_exception`. `value` null: building it failed (the exception is set).
struct Settlement {
  Ref value;
  bool is_exception = false;
};

// `settled`, or, when building its value failed, a settlement raising the
// exception that the failure set (taken).
Settlement or_raised(Settlement settled);

// Ends an awaitable's iteration with `settled`: raises its exception, or
// stops with its value. The value travels inside a StopIteration instance:
// handed over bare, a tuple would be taken for the exception's arguments.
void finish_with(const Settlement& settled);

// What an item taken from a stream becomes, built with the interpreter lock:
// an OutputEvent ("started", "stdout", "stderr", "exited" with its
// RunResult), or the exception to raise (SupervisorError for a stream error,
// StopAsyncIteration at the end).
Settlement to_python(ModuleState& state, Received received);

// What the final result of a stream becomes for aclose(): its RunResult,
// None, or the SupervisorError it ended with.
Settlement collected_to_python(ModuleState& state, Collected collected);

}  // namespace quellar::py
