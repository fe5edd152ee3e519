// One child process until it is reaped: its pid and its exit watch (a
// descriptor that becomes readable when the process exits). It decides
// nothing about signals: dropping an unreaped one hands it to the background
// reaper, so that no zombie remains; whoever owns it (SupervisedChild) kills
// it first when it must die.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <variant>

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "../io_error.h"
#include "../platform/fd.h"
#include "../policy.h"
#include "clock.h"

namespace quellar {

// The one kind of pipe end the supervisor uses: a descriptor on a worker.
using Pipe = asio::posix::stream_descriptor;

class ChildProcess {
 public:
  // Every asynchronous wait of the child runs on `executor` (its worker).
  ChildProcess(const asio::any_io_executor& executor, pid_t pid, platform::UniqueFd exit_watch);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

  // The pid while the process has not been reaped.
  std::optional<std::uint32_t> id() const;
  // SIGKILL to the process itself; callers discard the result.
  std::expected<void, IoError> start_kill();
  // Non-blocking: the exit details once the process has exited (reaping it).
  std::expected<std::optional<ProcessExit>, IoError> try_wait_sync();
  // Waits for the exit and reaps; a second call returns the same details.
  asio::awaitable<std::expected<ProcessExit, IoError>> wait();

  // Completes when the process may have exited (its exit watch became
  // readable, or, without one, after a short poll interval). Reaps nothing:
  // follow it with try_wait_sync(). Cancellable.
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

// Hands a child that will exit (it was killed, or it is exiting) to a task
// that reaps it once it has.
void reap_in_background(pid_t pid, platform::UniqueFd exit_watch);

// The exit of a bounded wait.
struct Elapsed {};
using BoundedWait = std::variant<ProcessExit, IoError, Elapsed>;

// Waits for the child's exit until `deadline` (none: without limit).
asio::awaitable<BoundedWait> wait_until(ChildProcess& child, std::optional<Clock::time_point> deadline);

}  // namespace quellar
