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
#include <variant>

#include <asio/awaitable.hpp>

#include "../error.h"
#include "../platform/process.h"
#include "../outcome.h"
#include "../policy.h"
#include "../runtime.h"
#include "live_children.h"
#include "supervised_child.h"

namespace quellar {

// A process that has been started and recorded, not yet supervised. It is
// the start's guard: dropped before supervise() takes the process over, it
// kills the process and hands it to the reaper, so whatever fails between
// the start and the supervision leaves nothing running.
struct StartedChild {
  StartedChild(ExecutableIdentity executable, platform::SpawnedProcess process,
               std::shared_ptr<ProcessContainer> container);
  StartedChild(StartedChild&& other) noexcept;
  StartedChild& operator=(StartedChild&& other) noexcept;
  ~StartedChild() { kill(); }

  ExecutableIdentity executable;
  platform::SpawnedProcess process;
  std::shared_ptr<ProcessContainer> container;
  LiveRegistration live;

 private:
  void kill();
};

using StartOutcome = std::expected<StartedChild, SandboxError>;

// The blocking steps, in order; the first failure is returned. Nothing
// started survives a failure. `input` is only measured (its size against
// the limit). Blocks on the file system: call it on the blocking-work pool.
StartOutcome start_child(const ExecutionRequest& request, std::string_view input);

// Supervision of a started child on `executor`, and its registration in
// `registry` (none: no lease, no lifecycle event).
SupervisedChild supervise(StartedChild started, const ExecutionRequest& request,
                          const ProcessRegistry* registry, runtime::WorkerExecutor executor);

// The start's second half, on the worker it is awaited on: supervises what
// start_child started, then waits for the sandbox launcher, if any, to start
// the program or say why it could not (at most min(timeout, one hour): a
// launcher stuck in a hung file system must not hold anyone forever), or
// until `cancellation` (if given) is cancelled: the child is then returned
// as it is, for its caller to stop as it stops any cancelled child.
asio::awaitable<std::expected<SupervisedChild, SandboxError>> supervise_start(
    StartOutcome started, const ExecutionRequest& request, const ProcessRegistry* registry,
    const CancellationToken* cancellation = nullptr);

// Both halves: start_child on the blocking-work pool, then supervise_start
// on the worker this runs on.
asio::awaitable<std::expected<SupervisedChild, SandboxError>> start_supervised(
    const ExecutionRequest& request, std::string_view input, const ProcessRegistry* registry);

// start_child, with an exception escaping it (memory exhausted) as the
// failure of the task. For the entry points, which call it on a pool thread
// and then hand what it started to a worker: a pipeline goes from its caller
// to the pool to its worker, and its worker is woken once, with the child.
std::variant<StartOutcome, TaskFailure> start_child_caught(const ExecutionRequest& request,
                                                           std::string_view input);

// spawn() of a request: its child, started and supervised, with every pipe
// in place. Runs on the worker it is awaited on.
asio::awaitable<std::expected<SupervisedChild, SandboxError>> spawn_internal(
    const ExecutionRequest& request, const ProcessRegistry* registry);
inline asio::awaitable<std::expected<SupervisedChild, SandboxError>> spawn(
    const ExecutionRequest& request) {
  return spawn_internal(request, nullptr);
}

}  // namespace quellar
