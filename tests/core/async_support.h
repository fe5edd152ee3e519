// Driving the runtime from a synchronous test body.
#pragma once

#include <future>

#include <asio/co_spawn.hpp>

#include "runtime.h"
#include "supervisor/run.h"

namespace quellar::test {

// Runs an awaitable on `executor` and blocks until it is done.
template <class T, class Executor>
T run_blocking(const Executor& executor, asio::awaitable<T> task) {
  std::promise<T> promise;
  auto future = promise.get_future();
  asio::co_spawn(executor, std::move(task), [&promise](std::exception_ptr failure, T value) {
    if (failure) {
      promise.set_exception(failure);
    } else {
      promise.set_value(std::move(value));
    }
  });
  return future.get();
}

// start_run, waited for.
inline RunOutcome run_blocking(ExecutionRequest request, Bytes input = {},
                               CancellationToken token = {}) {
  std::promise<RunOutcome> promise;
  auto future = promise.get_future();
  start_run(std::move(request), std::move(input), std::move(token),
            [&promise](RunOutcome outcome) { promise.set_value(std::move(outcome)); });
  return future.get();
}

inline ExecutionRequest shell(std::string script, std::uint64_t timeout_ms = 10000) {
  ExecutionRequest request;
  request.executable = "/bin/sh";
  request.args = {"-c", std::move(script)};
  request.timeout_ms = timeout_ms;
  return request;
}

}  // namespace quellar::test
