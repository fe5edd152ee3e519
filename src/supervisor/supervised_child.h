// A supervised child: the one owner of a started child's lifetime. It holds
// the process (pid and exit watch), its process-group container, its pipes,
// its registrations, and the one rule for what dropping it does (DropPolicy).
// Owned by exactly one holder at a time, moved, never shared.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "../error.h"
#include "../policy.h"
#include "../process_control.h"
#include "../runtime.h"
#include "child_process.h"
#include "live_children.h"

namespace quellar {

// What dropping a child that did not end naturally does to its group.
enum class DropPolicy : std::uint8_t {
  // The group is killed while the leader runs; an exited leader's group is
  // left alone (what a caller of spawn() holding the child expects).
  KillWhileRunning,
  // The group is killed whether or not the leader is still there: a run or
  // a stream that is abandoned stops everything it started.
  KillGroup,
};

// Ties a registered child to a ProcessRegistry: its entry and its lifecycle
// events. Bookkeeping only; what is signalled is the child's decision.
class ProcessLease {
 public:
  ProcessLease(std::shared_ptr<ProcessContainer> container,
               std::shared_ptr<ProcessRegistry::Shared> registry,
               std::shared_ptr<LifecycleBroadcast> events, std::uint32_t pid);
  ProcessLease(ProcessLease&& other) noexcept;
  ProcessLease& operator=(ProcessLease&&) = delete;
  ~ProcessLease();

  std::uint32_t pid() const { return pid_; }
  const std::shared_ptr<LifecycleBroadcast>& events() const { return events_; }
  // Unregisters.
  void disarm() &&;

 private:
  void unregister();

  std::shared_ptr<ProcessContainer> container_;
  std::shared_ptr<ProcessRegistry::Shared> registry_;
  std::shared_ptr<LifecycleBroadcast> events_;
  std::uint32_t pid_;
  bool armed_ = true;
};

struct StartedChild;

class SupervisedChild {
 public:
  // A moved-from child owns nothing and its drop does nothing.
  SupervisedChild(SupervisedChild&& other) noexcept;
  SupervisedChild& operator=(SupervisedChild&&) = delete;
  // Applies the drop policy to a child that has not ended naturally: a
  // running one's group (or, under KillGroup, the group whatever the leader
  // does) is killed with SIGKILL, then the leader; then everything is
  // released, the process handed to the reaper if it is not reaped yet.
  ~SupervisedChild();

  // Makes the receipt; signals and waits for nothing. Call it once the child
  // has been reaped or given up on.
  ProcessReceipt complete(Termination termination);

  // The child ended on its own and its pipes are done: dropping it signals
  // nothing.
  void settle() { settled_ = true; }

  // Closes its input, waits half the grace for an exit, sends SIGTERM to the
  // group, waits the other half, then kills the group and reaps the child.
  // A leader that exits in the first half ends it without a signal.
  static asio::awaitable<std::expected<ProcessReceipt, SandboxError>> shutdown(
      SupervisedChild child, std::chrono::nanoseconds grace);

  // The same graceful sequence for the whole group, whether or not the
  // leader is still there (a stream being stopped): SIGTERM to the group
  // after the first half (or at once when the leader has already gone),
  // SIGKILL to what is left of it at the end of the grace.
  static asio::awaitable<std::expected<ProcessReceipt, SandboxError>> stop_group(
      SupervisedChild child, std::chrono::nanoseconds grace);

  // The worker on which every handle of this child lives.
  runtime::WorkerExecutor executor;
  std::optional<ChildProcess> child;
  std::shared_ptr<ProcessContainer> container;
  std::optional<Pipe> stdin_pipe;
  std::optional<Pipe> stdout_pipe;
  std::optional<Pipe> stderr_pipe;
  ExecutableIdentity executable;
  std::optional<std::uint32_t> pid;
  WallTime started_at;
  std::uint64_t max_stdout_bytes = 0;
  std::uint64_t max_stderr_bytes = 0;
  bool kill_on_drop = true;
  DropPolicy drop_policy = DropPolicy::KillWhileRunning;
  EnforcementLevel enforcement = EnforcementLevel::Degraded;

  bool registered() const { return lease_.has_value(); }

 private:
  friend SupervisedChild supervise(StartedChild, const ExecutionRequest&, const ProcessRegistry*,
                                   runtime::WorkerExecutor);
  explicit SupervisedChild(runtime::WorkerExecutor e) : executor(std::move(e)) {}

  std::optional<ProcessLease> lease_;
  LiveRegistration live_;
  bool settled_ = false;
};

// SIGKILL to the container's group, then to the child itself (which also
// reaches a child that left its group). Never fails, never waits.
void terminate_process_tree(ChildProcess& child, ProcessContainer& container);

// Splits a grace period in two halves, exactly: an odd second gives 500 ms to
// each half.
std::pair<std::chrono::nanoseconds, std::chrono::nanoseconds> split_grace(
    std::chrono::nanoseconds grace);

}  // namespace quellar
