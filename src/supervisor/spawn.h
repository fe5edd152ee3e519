// Starting a supervised child: validation, sandbox wrapping, environment,
// the process start and the recording of its group (blocking steps, run on
// the blocking-work pool), then the sandbox launcher's handshake (awaited,
// bounded) and the child's supervision on a worker. Both pipelines start
// their children here; so does spawn().
#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <string_view>

#include <asio/awaitable.hpp>

#include "../error.h"
#include "../platform/process.h"
#include "../policy.h"
#include "../runtime.h"
#include "live_children.h"
#include "supervised_child.h"

namespace quellar {

// A process that has been started and recorded, not yet supervised.
struct StartedChild {
  ExecutableIdentity executable;
  platform::SpawnedProcess process;
  std::shared_ptr<ProcessContainer> container;
  LiveRegistration live;
};

// The blocking steps, in order; the first failure is returned. Nothing
// started survives a failure. `input` is only measured (its size against
// the limit). Blocks on the file system: call it on the blocking-work pool.
std::expected<StartedChild, SandboxError> start_child(const ExecutionRequest& request,
                                                      std::string_view input);

// Supervision of a started child on `executor`, and its registration in
// `registry` (none: no lease, no lifecycle event).
SupervisedChild supervise(StartedChild started, const ExecutionRequest& request,
                          const ProcessRegistry* registry, runtime::WorkerExecutor executor);

// Starts the request's child (start_child on the blocking-work pool), waits
// for the sandbox launcher, if any, to start the program or say why it could
// not (at most min(timeout, one hour): a launcher stuck in a hung file system
// must not hold anyone forever), and supervises it on the worker this runs on.
asio::awaitable<std::expected<SupervisedChild, SandboxError>> start_supervised(
    const ExecutionRequest& request, std::string_view input, const ProcessRegistry* registry);

// spawn() of a request: its child, started and supervised, with every pipe
// in place. Runs on the worker it is awaited on.
asio::awaitable<std::expected<SupervisedChild, SandboxError>> spawn_internal(
    const ExecutionRequest& request, const ProcessRegistry* registry);
inline asio::awaitable<std::expected<SupervisedChild, SandboxError>> spawn(
    const ExecutionRequest& request) {
  return spawn_internal(request, nullptr);
}

// The spawn failure for an error of the process start (or of the sandbox
// launcher's).
SandboxError start_failure(IoError source, const ExecutableIdentity& executable);

}  // namespace quellar
