// An awaitable whose outcome is there at the call: awaiting it returns the
// value or raises the exception on the spot, without a trip through the
// event loop. OutputStream hands one out when the next event is already
// waiting (it takes the event when it is awaited, not before: an awaitable
// dropped unawaited leaves its event to the next call), and aclose() one
// whose result is known.
#pragma once

#include "ref.h"

#include <memory>

#include "events/stream_queue.h"
#include "module_state.h"
#include "output_event_type.h"

namespace quellar::py {

class StreamReceiver;

// The class, for the module's execution step (kept in the module state, not
// added to the module); null with an exception set.
PyObject* create_ready_type(PyObject* module);

// A new awaitable settling with `settled`. Null with an exception set (also
// when `settled` is, whose exception is then the one set).
Ref new_ready(ModuleState& state, Settlement settled);

// A new awaitable taking the event of `claim`, which is ready, when awaited.
Ref new_ready_claim(ModuleState& state, std::shared_ptr<StreamReceiver> receiver,
                    StreamQueue::Claim claim);

}  // namespace quellar::py
