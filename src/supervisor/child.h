// A supervised child: the operating-system process with its exit watch, its
// process-group container, its three pipes, and the rules for dropping it
// (a running child's whole group is killed; an exited one is left alone).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "../error.h"
#include "../platform/process.h"
#include "../policy.h"
#include "../process_control.h"
#include "../runtime.h"
#include "live.h"

namespace quellar {

using Clock = std::chrono::steady_clock;
using Pipe = asio::posix::stream_descriptor;

// Owner of one child process until it is reaped. Dropped while the process
// still runs, it kills the process (not its group) and leaves the reaping to
// a background task, so that no zombie remains.
class ChildProcess {
 public:
  // Every asynchronous wait of the child runs on `executor` (its strand).
  ChildProcess(const asio::any_io_executor& executor, pid_t pid, platform::UniqueFd exit_watch);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

  // The pid while the process has not been reaped.
  std::optional<std::uint32_t> id() const;
  bool reaped() const { return status_.has_value(); }
  // SIGKILL to the process itself; callers discard the result.
  std::expected<void, IoError> start_kill();
  // Non-blocking: the exit details once the process has exited (reaping it).
  std::expected<std::optional<ProcessExit>, IoError> try_wait_sync();
  // Waits for the exit and reaps; a second call returns the same details.
  asio::awaitable<std::expected<ProcessExit, IoError>> wait();

  // Completes when the process may have exited (its exit watch became
  // readable, or, without one, after a short poll interval). Reaps nothing:
  // follow it with try_wait_sync(). Cancellable; runs on the child's strand.
  template <class CompletionToken>
  auto async_wait_exit(CompletionToken&& token) {
    return asio::async_initiate<CompletionToken, void(std::error_code)>(
        [this](auto handler) {
          if (watch_) {
            watch_->async_wait(Pipe::wait_read, std::move(handler));
          } else {
            poll_timer_.expires_after(kPollInterval);
            poll_timer_.async_wait(std::move(handler));
          }
        },
        token);
  }

 private:
  static constexpr std::chrono::milliseconds kPollInterval{5};

  pid_t pid_;
  std::optional<ProcessExit> status_;
  std::optional<Pipe> watch_;
  asio::steady_timer poll_timer_;
};

// Hands a killed child to a task that reaps it once it has exited.
void reap_in_background(pid_t pid, platform::UniqueFd exit_watch);

// Ties a registered child to a ProcessRegistry; while armed, dropping it
// kills the group and unregisters it.
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
  // Unregisters without signalling.
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
  ~SupervisedChild();

  // Makes the receipt; signals and waits for nothing. Call it once the child
  // has been reaped or given up on.
  ProcessReceipt complete(Termination termination);

  // Closes its input, waits half the grace for an exit, sends SIGTERM to the
  // group, waits the other half, then kills the group and reaps the child.
  static asio::awaitable<std::expected<ProcessReceipt, SandboxError>> shutdown(
      SupervisedChild child, std::chrono::nanoseconds grace);

  // The strand on which every handle of this child lives.
  runtime::Strand strand;
  std::optional<ChildProcess> child;
  std::shared_ptr<ProcessContainer> container;
  std::optional<Pipe> stdin_pipe;
  std::optional<Pipe> stdout_pipe;
  std::optional<Pipe> stderr_pipe;
  ExecutableIdentity executable;
  std::optional<ProcessLease> lease;
  std::optional<std::uint32_t> pid;
  WallTime started_at;
  std::uint64_t max_stdout_bytes = 0;
  std::uint64_t max_stderr_bytes = 0;
  bool kill_on_drop = true;
  EnforcementLevel enforcement = EnforcementLevel::Degraded;
  LiveRegistration live;

 private:
  friend SupervisedChild supervise(StartedChild, const ExecutionRequest&, const ProcessRegistry*,
                                   runtime::Strand);
  explicit SupervisedChild(runtime::Strand s) : strand(std::move(s)) {}
};

// Steps shared by spawn and by the run: validation, sandbox wrapping,
// environment, start, and recording the process group. Nothing is left
// running when this fails.
struct StartedChild {
  ExecutableIdentity executable;
  platform::SpawnedProcess process;
  std::shared_ptr<ProcessContainer> container;
  LiveRegistration live;
};
std::expected<StartedChild, SandboxError> start_child(const ExecutionRequest& request,
                                                      std::string_view input);

// Supervision of a started child whose launcher (if any) has started the
// program: its handles on `strand`, and its registration in `registry`.
SupervisedChild supervise(StartedChild started, const ExecutionRequest& request,
                          const ProcessRegistry* registry, runtime::Strand strand);

// Waits, without blocking a thread, for the sandbox launcher to start the
// program or to report why it could not; gives up after `bound` (a launcher
// stuck in a hung file system must not hold anyone forever).
asio::awaitable<std::expected<void, IoError>> launcher_started(platform::UniqueFd status,
                                                               std::chrono::milliseconds bound);

// The spawn failure for an error of the process start (or of the sandbox
// launcher's), naming the program as the path at fault where it must be.
SandboxError start_failure(IoError source, const ExecutionRequest& request,
                           const ExecutableIdentity& executable);

std::expected<SupervisedChild, SandboxError> spawn_internal(const ExecutionRequest& request,
                                                            const ProcessRegistry* registry);
inline std::expected<SupervisedChild, SandboxError> spawn(const ExecutionRequest& request) {
  return spawn_internal(request, nullptr);
}

// SIGKILL to the container's group, then to the child itself (which also
// reaches a child that left its group). Never fails, never waits.
void terminate_process_tree(ChildProcess& child, ProcessContainer& container);

// Splits a grace period in two halves, exactly: an odd second gives 500 ms to
// each half.
std::pair<std::chrono::nanoseconds, std::chrono::nanoseconds> split_grace(
    std::chrono::nanoseconds grace);

}  // namespace quellar
