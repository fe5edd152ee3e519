// The blocking-work pool: a few threads for system calls that may block for
// as long as the kernel likes (resolving paths and reading metadata on a hung
// network mount, starting a process whose executable lives there). A stuck
// call holds up only the request it belongs to: a request waits its turn
// behind short calls, but a call that has run for long no longer counts as
// a thread that serves, and a new thread takes the requests waiting. Threads
// never end, so the pool is as large as the most calls ever stuck at once,
// plus two. The runtime's workers never make such calls, so no stuck call
// stalls the other children they serve.
#pragma once

#include <exception>
#include <expected>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/post.hpp>

#include "io_error.h"
#include "unique_function.h"

namespace quellar::blocking {

// What a call is given: a pool thread to run on, or why there is none (no
// pool thread exists and none can be made: the process is out of threads or
// memory).
using PoolThread = std::expected<void, IoError>;
using Work = UniqueFunction<void(PoolThread)>;

// Runs `work` on a pool thread, at once. When there is none, `work` is called
// on the calling thread with why: it then only reports its failure, without
// doing its blocking part there (a thread of the caller's may end before
// what the call starts, or may have to stay responsive).
void post(Work work);

// Completes, on the awaiting side's executor, with what `work` returned
// (or the exception it threw), after running it on a pool thread. `work` is
// given the PoolThread it runs on, as with post().
template <class Fn, class Executor, class CompletionToken>
auto async_run(Fn work, const Executor& executor, CompletionToken&& token) {
  using Result = std::invoke_result_t<Fn&, PoolThread>;
  return asio::async_initiate<CompletionToken, void(std::exception_ptr, Result)>(
      [](auto handler, Fn work, Executor executor) {
        post([handler = std::move(handler), work = std::move(work),
              executor](PoolThread thread) mutable {
          std::exception_ptr failure;
          Result result{};
          try {
            result = work(std::move(thread));
          } catch (...) {
            failure = std::current_exception();
          }
          auto target = asio::get_associated_executor(handler, executor);
          asio::post(target, [h = std::move(handler), failure, r = std::move(result)]() mutable {
            std::move(h)(failure, std::move(r));
          });
        });
      },
      token, std::move(work), executor);
}

// For the host's fork() (host_fork.cpp): the pool's lock is held across it,
// and the forked child starts with an empty pool.
namespace fork_hooks {
void prepare();
void in_parent();
void in_child();
}  // namespace fork_hooks

}  // namespace quellar::blocking
