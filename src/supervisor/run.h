// Entry point of run() for bindings that must not see Asio: start one
// supervised run on the process-wide runtime and get its outcome through a
// callback.
#pragma once

#include "../cancellation.h"
#include "../outcome.h"
#include "../policy.h"
#include "../unique_function.h"

namespace quellar {

using RunOutcome = Outcome<ExecutionOutput>;
using RunCallback = UniqueFunction<void(RunOutcome)>;

// Starts the child on a pool thread, then supervises it with
// execute_with_cancellation as a task on a worker; returns at once. `done`
// is called exactly once, on one of those threads, with the run's outcome
// (or before this returns, with a spawn failure, when no pool thread can be
// made). Cancelling the token stops the run (its process group is killed)
// and still calls `done`, normally with a result whose termination is
// Cancelled.
void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done);

}  // namespace quellar
