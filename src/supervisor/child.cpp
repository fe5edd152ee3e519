#include "child.h"

#include <signal.h>

#include <utility>

#include "../asio_compat.h"
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/use_awaitable.hpp>

#include "../environment.h"
#include "../filesystem.h"
#include "validate.h"

namespace quellar {
namespace {

using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;
constexpr auto use_tuple = asio_compat::as_tuple(asio::use_awaitable);

// The background reaper: waits for a killed child's exit and collects it.
asio::awaitable<void> reap(pid_t pid, platform::UniqueFd exit_watch) {
  auto executor = co_await asio::this_coro::executor;
  std::optional<Pipe> watch;
  if (exit_watch) watch.emplace(executor, exit_watch.release());
  asio::steady_timer timer(executor);
  auto backoff = std::chrono::milliseconds(1);
  for (;;) {
    auto reaped = platform::try_reap(pid);
    // An error means the pid is not our child any more (someone else reaped
    // it): nothing is left to collect.
    if (!reaped || *reaped) co_return;
    if (watch) {
      co_await watch->async_wait(Pipe::wait_read, use_tuple);
    } else {
      timer.expires_after(backoff);
      co_await timer.async_wait(use_tuple);
      backoff = std::min(backoff * 2, std::chrono::milliseconds(100));
    }
  }
}

struct Elapsed {};
using BoundedWait = std::variant<ProcessExit, IoError, Elapsed>;

// Waits for the child's exit until `deadline` (none: without limit).
asio::awaitable<BoundedWait> wait_until(ChildProcess& child,
                                        std::optional<Clock::time_point> deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_at(deadline.value_or(Clock::time_point::max()));
  for (;;) {
    auto polled = child.try_wait_sync();
    if (!polled) co_return polled.error();
    if (*polled) co_return **polled;
    if (deadline && Clock::now() >= *deadline) co_return Elapsed{};
    // Neither branch takes data, so the loser of the race loses nothing.
    co_await make_parallel_group([&](auto token) { return child.async_wait_exit(std::move(token)); },
                                 [&](auto token) { return timer.async_wait(std::move(token)); })
        .async_wait(wait_for_one(), use_tuple);
  }
}

// now + span, or no deadline when that cannot be represented.
std::optional<Clock::time_point> deadline_after(std::chrono::nanoseconds span) {
  auto now = Clock::now();
  if (span > Clock::time_point::max() - now) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(span);
}

SandboxError spawn_failure(IoError source, const ExecutableIdentity& executable) {
  return SandboxError::spawn(std::move(source)).with_executable(executable);
}

}  // namespace

// ---------------------------------------------------------------- ChildProcess

ChildProcess::ChildProcess(const asio::any_io_executor& executor, pid_t pid,
                           platform::UniqueFd exit_watch)
    : pid_(pid), poll_timer_(executor) {
  if (exit_watch) watch_.emplace(executor, exit_watch.release());
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::move(other.status_)),
      watch_(std::move(other.watch_)),
      poll_timer_(std::move(other.poll_timer_)) {
  other.watch_.reset();
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || status_) return;
  if (auto exited = try_wait_sync(); exited && *exited) return;
  ::kill(pid_, SIGKILL);
  platform::UniqueFd watch;
  if (watch_) watch.reset(watch_->release());
  reap_in_background(pid_, std::move(watch));
}

std::optional<std::uint32_t> ChildProcess::id() const {
  if (pid_ <= 0 || status_) return std::nullopt;
  return static_cast<std::uint32_t>(pid_);
}

std::expected<void, IoError> ChildProcess::start_kill() {
  if (pid_ <= 0 || status_) return {};
  if (::kill(pid_, SIGKILL) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<std::optional<ProcessExit>, IoError> ChildProcess::try_wait_sync() {
  if (status_) return status_;
  if (pid_ <= 0) return std::unexpected(IoError::other("no child process"));
  auto reaped = platform::try_reap(pid_);
  if (reaped && *reaped) status_ = **reaped;
  return reaped;
}

asio::awaitable<std::expected<ProcessExit, IoError>> ChildProcess::wait() {
  auto waited = co_await wait_until(*this, std::nullopt);
  if (auto* exit = std::get_if<ProcessExit>(&waited)) co_return *exit;
  co_return std::unexpected(std::get<IoError>(std::move(waited)));
}

void reap_in_background(pid_t pid, platform::UniqueFd exit_watch) {
  // Detached on purpose: nobody waits for a reaper; it ends once the killed
  // child has been collected.
  asio::co_spawn(runtime::context(), reap(pid, std::move(exit_watch)), asio::detached);
}

void terminate_process_tree(ChildProcess& child, ProcessContainer& container) {
  (void)container.terminate();
  (void)child.start_kill();
}

std::pair<std::chrono::nanoseconds, std::chrono::nanoseconds> split_grace(
    std::chrono::nanoseconds grace) {
  if (grace.count() < 0) grace = std::chrono::nanoseconds(0);
  std::chrono::nanoseconds first(grace.count() / 2);
  return {first, grace - first};
}

// ---------------------------------------------------------------- ProcessLease

ProcessLease::ProcessLease(std::shared_ptr<ProcessContainer> container,
                           std::shared_ptr<ProcessRegistry::Shared> registry,
                           std::shared_ptr<LifecycleBroadcast> events, std::uint32_t pid)
    : container_(std::move(container)),
      registry_(std::move(registry)),
      events_(std::move(events)),
      pid_(pid) {}

ProcessLease::ProcessLease(ProcessLease&& other) noexcept
    : container_(std::move(other.container_)),
      registry_(std::move(other.registry_)),
      events_(std::move(other.events_)),
      pid_(other.pid_),
      armed_(std::exchange(other.armed_, false)) {}

void ProcessLease::unregister() {
  std::shared_ptr<ProcessContainer> removed;  // released outside the lock
  std::lock_guard guard(registry_->lock);
  if (auto it = registry_->entries.find(pid_); it != registry_->entries.end()) {
    removed = std::move(it->second);
    registry_->entries.erase(it);
  }
}

void ProcessLease::disarm() && {
  if (!armed_) return;
  armed_ = false;
  unregister();
}

ProcessLease::~ProcessLease() {
  if (!armed_) return;
  // Signal first, lock the registry only afterwards: never both at once.
  (void)container_->terminate();
  unregister();
}

// ---------------------------------------------------------------- SupervisedChild

SupervisedChild::SupervisedChild(SupervisedChild&& other) noexcept
    : strand(other.strand),
      child(std::move(other.child)),
      container(std::move(other.container)),
      stdin_pipe(std::move(other.stdin_pipe)),
      stdout_pipe(std::move(other.stdout_pipe)),
      stderr_pipe(std::move(other.stderr_pipe)),
      executable(std::move(other.executable)),
      lease(std::move(other.lease)),
      pid(std::exchange(other.pid, std::nullopt)),
      started_at(other.started_at),
      max_stdout_bytes(other.max_stdout_bytes),
      max_stderr_bytes(other.max_stderr_bytes),
      kill_on_drop(other.kill_on_drop),
      enforcement(other.enforcement),
      live(std::move(other.live)) {
  other.child.reset();
  other.stdin_pipe.reset();
  other.stdout_pipe.reset();
  other.stderr_pipe.reset();
  other.lease.reset();
}

SupervisedChild::~SupervisedChild() {
  if (!child) return;  // moved from
  auto exited = child->try_wait_sync();
  if (exited && *exited) {
    pid.reset();
    if (lease) std::move(*lease).disarm();
  } else if (kill_on_drop) {
    if (container) (void)container->terminate();
    (void)child->start_kill();
  }
  // Released in this order: the process handle first (it reaps or hands the
  // process to the background reaper), the lease last.
  child.reset();
  container.reset();
  stdin_pipe.reset();
  stdout_pipe.reset();
  stderr_pipe.reset();
  lease.reset();
}

ProcessReceipt SupervisedChild::complete(Termination termination) {
  pid.reset();
  if (lease) {
    lease->events()->send(lifecycle::Exited{lease->pid(), termination});
    std::move(*lease).disarm();
    lease.reset();
  }
  return ProcessReceipt{executable, std::move(termination), started_at, std::chrono::system_clock::now(),
                        enforcement};
}

asio::awaitable<std::expected<ProcessReceipt, SandboxError>> SupervisedChild::shutdown(
    SupervisedChild self, std::chrono::nanoseconds grace) {
  self.stdin_pipe.reset();  // the child sees the end of its input
  auto [first, second] = split_grace(grace);

  auto waited = co_await wait_until(*self.child, deadline_after(first));
  if (auto* exit = std::get_if<ProcessExit>(&waited)) {
    co_return self.complete(termination::Exited{*exit});
  }
  if (auto* error = std::get_if<IoError>(&waited)) {
    co_return std::unexpected(SandboxError::execution(std::move(*error)));
  }

  if (auto stopped = self.container->request_graceful_stop(); !stopped) {
    // Returning drops the child, whose drop kills the group.
    co_return std::unexpected(SandboxError::execution(std::move(stopped.error())));
  }

  waited = co_await wait_until(*self.child, deadline_after(second));
  if (auto* exit = std::get_if<ProcessExit>(&waited)) {
    co_return self.complete(termination::Exited{*exit});
  }
  if (auto* error = std::get_if<IoError>(&waited)) {
    co_return std::unexpected(SandboxError::execution(std::move(*error)));
  }

  terminate_process_tree(*self.child, *self.container);
  (void)co_await self.child->wait();
  co_return self.complete(termination::TimedOut{});
}

// ---------------------------------------------------------------- spawning

std::expected<StartedChild, SandboxError> start_child(const ExecutionRequest& request,
                                                      std::string_view input) {
  auto executable = validate_request(request, input);
  if (!executable) return std::unexpected(std::move(executable.error()));
  const ExecutableIdentity& identity = *executable;

  const auto& filesystem = request.policy.filesystem;
  const bool network_disabled = request.policy.network == NetworkPolicy::Disabled;
  if (filesystem) {
    if (auto valid = validate_policy(*filesystem); !valid) {
      return std::unexpected(spawn_failure(std::move(valid.error()), identity));
    }
  }
  if (!identity.canonical) {
    return std::unexpected(spawn_failure(IoError::other("native path resolved"), identity));
  }

  // The resolved file runs, under the name the caller gave it.
  Command command(*identity.canonical);
  if (request.executable != *identity.canonical) command.program_arg0 = request.executable;
  command.args = request.args;
  std::expected<void, IoError> wrapped;
  if (filesystem) {
    wrapped = wrap_command(command, *filesystem, network_disabled);
  } else if (network_disabled) {
    wrapped = wrap_network_command(command);
  }
  if (!wrapped) return std::unexpected(spawn_failure(std::move(wrapped.error()), identity));

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

  // Nothing started may survive a failure from here on.
  auto give_up = [&process] {
    ::kill(process->pid, SIGKILL);
    reap_in_background(process->pid, std::move(process->exit_watch));
  };
  std::optional<std::uint32_t> pid;
  if (process->pid > 0) pid = static_cast<std::uint32_t>(process->pid);
  if (auto recorded = container->set_process_id(pid); !recorded) {
    if (process->pid > 0) give_up();
    return std::unexpected(spawn_failure(std::move(recorded.error()), identity));
  }
  auto live = admission.register_child(container);
  if (!live) {
    give_up();
    return std::unexpected(spawn_failure(IoError::other("the host process is exiting"), identity));
  }
  return StartedChild{std::move(*executable), std::move(*process), std::move(container),
                      std::move(*live)};
}

SupervisedChild supervise(StartedChild started, const ExecutionRequest& request,
                          const ProcessRegistry* registry, runtime::Strand strand) {
  platform::SpawnedProcess& process = started.process;
  SupervisedChild supervised(std::move(strand));
  const auto& executor = supervised.strand;
  supervised.child.emplace(executor, process.pid, std::move(process.exit_watch));
  supervised.container = std::move(started.container);
  supervised.live = std::move(started.live);
  supervised.stdin_pipe.emplace(executor, process.stdin_fd.release());
  supervised.stdout_pipe.emplace(executor, process.stdout_fd.release());
  supervised.stderr_pipe.emplace(executor, process.stderr_fd.release());
  supervised.executable = std::move(started.executable);
  supervised.pid = static_cast<std::uint32_t>(process.pid);
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
    supervised.lease.emplace(supervised.container, registry->shared(), registry->events(), pid);
  }
  return supervised;
}

asio::awaitable<std::expected<void, IoError>> launcher_started(platform::UniqueFd status,
                                                               std::chrono::milliseconds bound) {
  auto executor = co_await asio::this_coro::executor;
  Pipe pipe(executor, status.release());
  asio::steady_timer timer(executor);
  timer.expires_after(bound);
  for (;;) {
    if (auto report = platform::poll_launcher(pipe.native_handle())) co_return std::move(*report);
    if (Clock::now() >= timer.expiry()) {
      co_return std::unexpected(
          IoError::other("the sandbox launcher did not start the program in time"));
    }
    // Neither branch takes data: the loser loses nothing.
    co_await make_parallel_group(
        [&](auto token) { return pipe.async_wait(Pipe::wait_read, std::move(token)); },
        [&](auto token) { return timer.async_wait(std::move(token)); })
        .async_wait(wait_for_one(), use_tuple);
  }
}

std::expected<SupervisedChild, SandboxError> spawn_internal(const ExecutionRequest& request,
                                                            const ProcessRegistry* registry) {
  auto started = start_child(request, {});
  if (!started) return std::unexpected(std::move(started.error()));
  if (auto launched = platform::wait_for_launcher(started->process); !launched) {
    return std::unexpected(spawn_failure(std::move(launched.error()), started->executable));
  }
  return supervise(std::move(*started), request, registry, runtime::make_strand());
}

}  // namespace quellar
