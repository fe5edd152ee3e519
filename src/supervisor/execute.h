// One request from start to finish: validate, spawn in its own process group,
// feed the input, capture both outputs within their limits, and race the
// cancellation token, the timeout, the child's exit and the readers' final
// events. Whichever decides the run decides its termination.
#pragma once

#include <chrono>
#include <expected>

#include <asio/awaitable.hpp>

#include "../cancellation.h"
#include "../error.h"
#include "../policy.h"

namespace quellar {

// How long, after the child's group has been killed (or after the child
// exited on its own), the run still waits for output pipes and the input
// pipe that a process outside the group keeps open. Then the pipes are
// closed and the run finishes with what it has.
inline constexpr std::chrono::milliseconds kPipeGrace{100};

// Runs on the executor it is awaited on; give it a strand of its own.
asio::awaitable<std::expected<ExecutionOutput, SandboxError>> execute_with_cancellation(
    ExecutionRequest request, Bytes input, CancellationToken cancellation);

}  // namespace quellar
