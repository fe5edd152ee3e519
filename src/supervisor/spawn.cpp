#include "spawn.h"

#include <signal.h>

#include <utility>

#include <asio/experimental/parallel_group.hpp>

#include "../asio_compat.h"
#include "../blocking.h"
#include "../environment.h"
#include "../filesystem.h"
#include "../platform/launcher.h"
#include "validate.h"

namespace quellar {
namespace {

using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;

// The spawn failure for an error of a start step. The platform names the
// path at fault (the program under the name the caller gave it, the working
// directory) and the launcher's step.
SandboxError spawn_failure(IoError source, const ExecutableIdentity& executable) {
  return SandboxError::spawn(std::move(source)).with_executable(executable);
}

// Waits for the sandbox launcher's report: nothing once the program runs,
// or why it could not start it. Gives up after `bound`. A cancellation of
// `cancellation` ends the wait too, without a report: the caller's
// supervision then sees the token and kills the group, launcher included,
// instead of leaving a launcher stuck in a hung file system, its pipes and
// its worker's task in place until the bound.
asio::awaitable<std::expected<void, IoError>> launcher_handshake(
    platform::UniqueFd status, std::chrono::milliseconds bound,
    const CancellationToken& cancellation) {
  auto executor = co_await asio::this_coro::executor;
  Pipe pipe(executor, status.release());
  asio::steady_timer timer(executor);
  timer.expires_after(bound);
  for (;;) {
    if (auto report = platform::poll_launcher(pipe.native_handle())) co_return std::move(*report);
    if (cancellation.is_cancelled()) co_return std::expected<void, IoError>();
    if (Clock::now() >= timer.expiry()) {
      co_return std::unexpected(
          IoError::other("the sandbox launcher did not start the program in time"));
    }
    // No branch takes data: the losers lose nothing.
    co_await make_parallel_group(
        [&](auto token) { return pipe.async_wait(Pipe::wait_read, std::move(token)); },
        [&](auto token) { return timer.async_wait(std::move(token)); },
        [&](auto token) {
          return runtime::async_wait_cancelled(cancellation, executor, std::move(token));
        })
        .async_wait(wait_for_one(), use_tuple);
  }
}

constexpr std::uint64_t kLongestHandshakeMs = 3'600'000;

}  // namespace

StartedChild::StartedChild(ExecutableIdentity e, platform::SpawnedProcess p,
                           std::shared_ptr<ProcessContainer> c)
    : executable(std::move(e)), process(std::move(p)), container(std::move(c)) {}

StartedChild::StartedChild(StartedChild&& other) noexcept
    : executable(std::move(other.executable)),
      process(std::move(other.process)),
      container(std::move(other.container)),
      live(std::move(other.live)) {
  other.process.pid = -1;
}

StartedChild& StartedChild::operator=(StartedChild&& other) noexcept {
  if (this == &other) return *this;
  kill();
  executable = std::move(other.executable);
  process = std::move(other.process);
  other.process.pid = -1;
  container = std::move(other.container);
  live = std::move(other.live);
  return *this;
}

void StartedChild::kill() {
  if (process.pid <= 0) return;
  ::kill(process.pid, SIGKILL);
  reap_in_background(process.pid, std::move(process.exit_watch));
  process.pid = -1;
}

StartOutcome start_child(const ExecutionRequest& request, std::string_view input) {
  auto executable = validate_request(request, input);
  if (!executable) return std::unexpected(std::move(executable.error()));
  const ExecutableIdentity& identity = *executable;

  const auto& filesystem = request.policy.filesystem;
  const bool network_disabled = request.policy.network == NetworkPolicy::Disabled;
  // The launcher is found (and trusted) once per start.
  std::optional<std::expected<Path, IoError>> launcher;
  if (filesystem) {
    launcher = validate_policy(*filesystem);
    if (!*launcher) return std::unexpected(spawn_failure(std::move(launcher->error()), identity));
  } else if (network_disabled) {
    launcher = platform::sandbox_launcher();
  }
  if (!identity.canonical) {
    return std::unexpected(spawn_failure(IoError::other("native path resolved"), identity));
  }

  // The resolved file runs, under the name the caller gave it.
  Command command(*identity.canonical);
  if (request.executable != *identity.canonical) command.program_arg0 = request.executable;
  command.args = request.args;
  if (launcher) {
    // Network "disabled" alone runs under the launcher too, with no grants.
    if (!*launcher) return std::unexpected(spawn_failure(std::move(launcher->error()), identity));
    auto wrapped = wrap_command(command, **launcher, filesystem.value_or(FilesystemPolicy{}),
                                network_disabled);
    if (!wrapped) return std::unexpected(spawn_failure(std::move(wrapped.error()), identity));
  }

  auto container = std::make_shared<ProcessContainer>();
  if (request.policy.enforcement == EnforcementMode::Required) {
    return std::unexpected(SandboxError::enforcement_unavailable().with_executable(identity));
  }
  if (auto limited = apply_limits(request.resource_limits); !limited) {
    return std::unexpected(spawn_failure(std::move(limited.error()), identity));
  }
  if (auto environment = apply_environment_policy(command, request.environment); !environment) {
    return std::unexpected(std::move(environment.error()).with_executable(identity));
  }
  command.cwd = request.cwd;

  SpawnAdmission admission;
  if (!admission.granted()) {
    return std::unexpected(spawn_failure(IoError::other("the host process is exiting"), identity));
  }
  auto process = platform::spawn_process(command);
  if (!process) return std::unexpected(spawn_failure(std::move(process.error()), identity));

  // From here on, a failure drops the started child, which kills it.
  StartedChild started(std::move(*executable), std::move(*process), container);
  std::optional<std::uint32_t> pid;
  if (started.process.pid > 0) pid = static_cast<std::uint32_t>(started.process.pid);
  if (auto recorded = container->set_process_id(pid); !recorded) {
    return std::unexpected(spawn_failure(std::move(recorded.error()), started.executable));
  }
  auto live = admission.register_child(container);
  if (!live) {
    return std::unexpected(
        spawn_failure(IoError::other("the host process is exiting"), started.executable));
  }
  started.live = std::move(*live);
  return started;
}

std::variant<StartOutcome, TaskFailure> start_child_caught(const ExecutionRequest& request,
                                                           std::string_view input) {
  try {
    return start_child(request, input);
  } catch (...) {
    return task_failure(std::current_exception());
  }
}

SupervisedChild supervise(StartedChild started, const ExecutionRequest& request,
                          const ProcessRegistry* registry, runtime::WorkerExecutor executor) {
  platform::SpawnedProcess& process = started.process;
  SupervisedChild supervised(std::move(executor));
  const auto& on = supervised.executor;
  supervised.child.emplace(on, process.pid, std::move(process.exit_watch));
  supervised.container = std::move(started.container);
  supervised.live_ = std::move(started.live);
  // A caller that took the input's descriptor first keeps it unregistered.
  if (process.stdin_fd) supervised.stdin_pipe.emplace(on, process.stdin_fd.release());
  supervised.stdout_pipe.emplace(on, process.stdout_fd.release());
  supervised.stderr_pipe.emplace(on, process.stderr_fd.release());
  supervised.executable = std::move(started.executable);
  supervised.pid = static_cast<std::uint32_t>(process.pid);
  process.pid = -1;  // supervised now: the started child's guard is dismissed
  supervised.started_at = std::chrono::system_clock::now();
  supervised.max_stdout_bytes = request.max_stdout_bytes;
  supervised.max_stderr_bytes = request.max_stderr_bytes;

  if (registry && supervised.pid) {
    const std::uint32_t pid = *supervised.pid;
    {
      std::lock_guard guard(registry->shared()->lock);
      registry->shared()->entries[pid] = supervised.container;
    }
    registry->events()->send(lifecycle::Started{pid, supervised.executable});
    supervised.lease_.emplace(supervised.container, registry->shared(), registry->events(), pid);
  }
  return supervised;
}

asio::awaitable<std::expected<SupervisedChild, SandboxError>> start_supervised(
    const ExecutionRequest& request, std::string_view input, const ProcessRegistry* registry) {
  auto executor = co_await asio::this_coro::executor;
  auto [failure, started] = co_await blocking::async_run(
      [&request, input](blocking::PoolThread thread) -> std::optional<StartOutcome> {
        if (!thread) return StartOutcome(std::unexpected(SandboxError::spawn(std::move(thread.error()))));
        return start_child(request, input);
      },
      executor, use_tuple);
  if (failure) std::rethrow_exception(failure);
  co_return co_await supervise_start(std::move(*started), request, registry);
}

asio::awaitable<std::expected<SupervisedChild, SandboxError>> supervise_start(
    StartOutcome started, const ExecutionRequest& request, const ProcessRegistry* registry,
    const CancellationToken* cancellation) {
  auto executor = co_await asio::this_coro::executor;
  if (!started) co_return std::unexpected(std::move(started.error()));

  platform::UniqueFd launcher_status = std::move(started->process.launcher_status);
  auto worker = executor.template target<runtime::WorkerExecutor>();
  SupervisedChild child = supervise(std::move(*started), request, registry,
                                    worker ? *worker : runtime::next_worker());
  if (launcher_status) {
    const auto bound = std::chrono::milliseconds(std::min(request.timeout_ms, kLongestHandshakeMs));
    const CancellationToken never;  // for a caller with no token of its own
    auto launched = co_await launcher_handshake(std::move(launcher_status), bound,
                                                cancellation ? *cancellation : never);
    // A refused start drops the child: the launcher has exited, or is killed.
    if (!launched) {
      co_return std::unexpected(spawn_failure(std::move(launched.error()), child.executable));
    }
  }
  co_return child;
}

asio::awaitable<std::expected<SupervisedChild, SandboxError>> spawn_internal(
    const ExecutionRequest& request, const ProcessRegistry* registry) {
  co_return co_await start_supervised(request, {}, registry);
}

}  // namespace quellar
