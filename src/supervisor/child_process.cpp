#include "child_process.h"

#include <signal.h>

#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/parallel_group.hpp>

#include "../asio_compat.h"
#include "../platform/process.h"
#include "../runtime.h"

namespace quellar {
namespace {

using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;

// The background reaper: waits for the child's exit and collects it.
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

}  // namespace

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
  // Detached on purpose: nobody waits for a reaper; it ends once the child
  // has been collected, and it cannot fail (its errors end it quietly).
  asio::co_spawn(runtime::next_worker(), reap(pid, std::move(exit_watch)), asio::detached);
}

asio::awaitable<BoundedWait> wait_until(ChildProcess& child, std::optional<Clock::time_point> deadline) {
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

}  // namespace quellar
