// OutputStream: the asynchronous iterator over a streamed command's events.
#pragma once

#include "ref.h"

#include <memory>

#include "events/stream_queue.h"
#include "module_state.h"

namespace quellar::py {

// The class, for the module's execution step; null with an exception set.
PyObject* create_output_stream_type(PyObject* module);

// A new OutputStream consuming `queue`; from then on it releases the queue's
// consumer side when it goes. Interpreter lock needed; null with an
// exception set (the queue is then still the caller's to release).
Ref new_output_stream(ModuleState& state, std::shared_ptr<StreamQueue> queue);

}  // namespace quellar::py
