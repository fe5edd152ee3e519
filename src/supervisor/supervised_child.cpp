#include "supervised_child.h"

#include <utility>

#include "../asio_compat.h"

namespace quellar {
namespace {

SandboxError wait_failure(IoError error) { return SandboxError::execution(std::move(error)); }

}  // namespace

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
  if (armed_) unregister();
}

// ---------------------------------------------------------------- SupervisedChild

SupervisedChild::SupervisedChild(SupervisedChild&& other) noexcept
    : executor(other.executor),
      child(std::move(other.child)),
      container(std::move(other.container)),
      stdin_pipe(std::move(other.stdin_pipe)),
      stdout_pipe(std::move(other.stdout_pipe)),
      stderr_pipe(std::move(other.stderr_pipe)),
      executable(std::move(other.executable)),
      pid(std::exchange(other.pid, std::nullopt)),
      started_at(other.started_at),
      max_stdout_bytes(other.max_stdout_bytes),
      max_stderr_bytes(other.max_stderr_bytes),
      kill_on_drop(other.kill_on_drop),
      drop_policy(other.drop_policy),
      enforcement(other.enforcement),
      lease_(std::move(other.lease_)),
      live_(std::move(other.live_)),
      settled_(other.settled_) {
  other.child.reset();
  other.stdin_pipe.reset();
  other.stdout_pipe.reset();
  other.stderr_pipe.reset();
  other.lease_.reset();
}

SupervisedChild::~SupervisedChild() {
  if (!child) return;  // moved from
  if (!settled_) {
    auto exited = child->try_wait_sync();
    const bool running = !(exited && *exited);
    if (!running) pid.reset();
    // A registered child's group is killed while it runs even without
    // kill_on_drop: its registration promised that.
    const bool group = (running && (kill_on_drop || lease_)) ||
                       (!running && kill_on_drop && drop_policy == DropPolicy::KillGroup);
    if (group && container) (void)container->terminate();
    if (running) (void)child->start_kill();
  }
  if (lease_) std::move(*lease_).disarm();
  // Released in this order: the process handle first (it reaps, or hands the
  // process to the background reaper), the registrations last.
  child.reset();
  container.reset();
  stdin_pipe.reset();
  stdout_pipe.reset();
  stderr_pipe.reset();
  lease_.reset();
}

ProcessReceipt SupervisedChild::complete(Termination termination) {
  pid.reset();
  if (lease_) {
    lease_->events()->send(lifecycle::Exited{lease_->pid(), termination});
    std::move(*lease_).disarm();
    lease_.reset();
  }
  return ProcessReceipt{executable, std::move(termination), started_at,
                        std::chrono::system_clock::now(), enforcement};
}

namespace {

// The graceful sequence of both stops. `whole_group`: the group is signalled
// whether or not the leader is still there, and what is left of it is killed
// at the end of the grace.
asio::awaitable<std::expected<ProcessReceipt, SandboxError>> graceful(
    SupervisedChild self, std::chrono::nanoseconds grace, bool whole_group) {
  self.stdin_pipe.reset();  // the child sees the end of its input
  auto [first, second] = split_grace(grace);

  BoundedWait waited = co_await wait_until(*self.child, deadline_after(first));
  if (auto* error = std::get_if<IoError>(&waited)) co_return std::unexpected(wait_failure(*error));
  if (std::holds_alternative<ProcessExit>(waited) && !whole_group) {
    self.settle();
    co_return self.complete(termination::Exited{std::get<ProcessExit>(waited)});
  }

  if (auto stopped = self.container->request_graceful_stop(); !stopped) {
    // Returning drops the child, whose drop kills the group.
    co_return std::unexpected(wait_failure(std::move(stopped.error())));
  }
  const auto end = deadline_after(second);

  if (!std::holds_alternative<ProcessExit>(waited)) {
    waited = co_await wait_until(*self.child, end);
    if (auto* error = std::get_if<IoError>(&waited)) co_return std::unexpected(wait_failure(*error));
    if (std::holds_alternative<ProcessExit>(waited) && !whole_group) {
      self.settle();
      co_return self.complete(termination::Exited{std::get<ProcessExit>(waited)});
    }
  }

  if (auto* exit = std::get_if<ProcessExit>(&waited)) {
    // The leader is gone; what is left of its group has the rest of the
    // grace after SIGTERM, then SIGKILL.
    if (self.container->has_members()) {
      asio::steady_timer timer(self.executor);
      timer.expires_at(end.value_or(Clock::time_point::max()));
      co_await timer.async_wait(use_tuple);
    }
    (void)self.container->terminate();
    self.settle();
    co_return self.complete(termination::Exited{*exit});
  }

  terminate_process_tree(*self.child, *self.container);
  (void)co_await self.child->wait();
  self.settle();
  co_return self.complete(termination::TimedOut{});
}

}  // namespace

asio::awaitable<std::expected<ProcessReceipt, SandboxError>> SupervisedChild::shutdown(
    SupervisedChild child, std::chrono::nanoseconds grace) {
  co_return co_await graceful(std::move(child), grace, false);
}

asio::awaitable<std::expected<ProcessReceipt, SandboxError>> SupervisedChild::stop_group(
    SupervisedChild child, std::chrono::nanoseconds grace) {
  co_return co_await graceful(std::move(child), grace, true);
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

}  // namespace quellar
