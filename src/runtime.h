// The process-wide asynchronous runtime: a few worker threads, each driving
// an io_context of its own, created on first use and never destroyed (work
// may still be in flight when the host exits). Every supervised child is
// given one worker's executor, and every task, timer and descriptor of that
// child lives on it: a child's tasks never run concurrently with each other
// and never hop between threads. A wake-up of another thread costs more than
// everything else a short run does, so runs are spread over the workers
// instead of each run being spread over all of them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <type_traits>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "cancellation.h"

namespace quellar::runtime {

// One worker's executor. Its io_context is driven by one thread, so the
// executor runs one handler at a time: what a strand would add, without the
// strand's queue.
using WorkerExecutor = asio::io_context::executor_type;

// The executor of the next worker, taken in turn, for everything of one
// child. After fork() the child process gets a fresh runtime on first use:
// the parent's worker threads do not exist there.
WorkerExecutor next_worker();

// Number of worker threads of the current runtime (starts it).
std::size_t worker_count();

// Names the calling thread (as `ps -L` and /proc/<pid>/task/<tid>/comm show
// it): the runtime's threads are "quellar-io", the blocking-work pool's
// "quellar-block".
void name_this_thread(const char* name);

// For the host's fork(): the runtime's start lock is held across it, and the
// forked child forgets the parent's runtime (host_fork.cpp calls these).
namespace fork_hooks {
void prepare();
void in_parent();
void in_child();
}  // namespace fork_hooks

namespace detail {

// One pending wait: whoever takes the handler first (the token's callback, or
// the wait's own cancellation) completes it, exactly once.
template <class Handler, class Executor>
class TokenWait {
 public:
  TokenWait(Handler handler, Executor executor)
      : handler_(std::move(handler)), executor_(std::move(executor)) {}

  void complete(std::error_code ec) {
    std::optional<Handler> handler;
    {
      std::lock_guard guard(lock_);
      if (handler_) {
        handler.emplace(std::move(*handler_));
        handler_.reset();
      }
    }
    if (!handler) return;
    auto target = asio::get_associated_executor(*handler, executor_);
    asio::post(target, [h = std::move(*handler), ec]() mutable { std::move(h)(ec); });
  }

 private:
  std::mutex lock_;
  std::optional<Handler> handler_;
  Executor executor_;
};

}  // namespace detail

// Completes with success once `token` is cancelled (at once if it already
// is), or with operation_aborted when the wait itself is cancelled through
// its cancellation slot. The handler runs on `executor` unless it has an
// executor of its own.
template <class Executor, class CompletionToken>
auto async_wait_cancelled(const CancellationToken& token, const Executor& executor,
                          CompletionToken&& completion) {
  return asio::async_initiate<CompletionToken, void(std::error_code)>(
      [](auto handler, CancellationToken token, Executor executor) {
        using Handler = std::decay_t<decltype(handler)>;
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto wait = std::make_shared<detail::TokenWait<Handler, Executor>>(std::move(handler),
                                                                          std::move(executor));
        auto id = token.on_cancel([wait] { wait->complete({}); });
        if (id == 0) {
          wait->complete({});
          return;
        }
        if (slot.is_connected()) {
          slot.assign([wait, token, id](asio::cancellation_type) {
            if (token.remove(id)) wait->complete(asio::error::operation_aborted);
          });
        }
      },
      completion, token, executor);
}

}  // namespace quellar::runtime
