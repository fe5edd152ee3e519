// Entry point of stream() for bindings that must not see Asio: start a
// command, then take its events from the StreamQueue it gives.
#pragma once

#include <memory>

#include "../cancellation.h"
#include "../outcome.h"
#include "../policy.h"
#include "../unique_function.h"
#include "stream_queue.h"

namespace quellar {

// Spawns the command (its standard input closed at once) and supervises it:
// `done` is called once, on a runtime or pool thread, with the queue its events go to
// (the start event first) or the spawn error (before this returns when no
// pool thread can be made). The time limit and a
// cancellation stop the child gracefully (half a grace of waiting, SIGTERM to
// its group, the other half, SIGKILL) and end the events with an exit event;
// so does the consumer releasing the queue, without any event. Cancelling
// `cancellation` stops the stream; the stream never cancels it.
void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done);

}  // namespace quellar
