// Driving the runtime from a synchronous test body.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include <asio/co_spawn.hpp>

#include "events/stream.h"
#include "runtime.h"
#include "supervisor/run.h"

namespace quellar::test {

// Runs an awaitable on `executor` and blocks until it is done (its value
// need not be default-constructible).
template <class T, class Executor>
T run_blocking(const Executor& executor, asio::awaitable<T> task) {
  std::promise<T> promise;
  auto future = promise.get_future();
  asio::co_spawn(
      executor,
      [&promise, task = std::move(task)]() mutable -> asio::awaitable<void> {
        promise.set_value(co_await std::move(task));
      },
      [&promise](std::exception_ptr failure) {
        if (failure) promise.set_exception(failure);
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

// start_stream, waited for until the stream has started (or could not).
inline StreamStartOutcome start_stream_blocking(ExecutionRequest request, bool capture = false,
                                                CancellationToken token = {}) {
  std::promise<StreamStartOutcome> promise;
  auto future = promise.get_future();
  start_stream(std::move(request), std::move(token), capture,
               [&promise](StreamStartOutcome outcome) { promise.set_value(std::move(outcome)); });
  return future.get();
}

// Waits until the queue calls its consumer's waker (or says a claim is ready).
inline void wait_until_ready(StreamQueue& queue) {
  auto woken = std::make_shared<std::promise<void>>();
  auto future = woken->get_future();
  if (queue.on_ready([woken] { woken->set_value(); })) return;
  future.wait();
}

// The next item of a stream, as a consumer that claims, waits and takes.
inline Received receive(StreamQueue& queue) {
  const StreamQueue::Claim claim = queue.claim();
  for (;;) {
    if (auto got = queue.take(claim)) return std::move(*got);
    wait_until_ready(queue);
  }
}

// Its final result, as aclose() collects it.
inline Collected collect(StreamQueue& queue) {
  const StreamQueue::Claim claim = queue.claim_result();
  for (;;) {
    if (auto got = queue.take_result(claim)) return std::move(*got);
    wait_until_ready(queue);
  }
}

// The output of a run that must succeed, or a test failure (and an empty
// output).
inline ExecutionOutput expect_output(RunOutcome outcome) {
  if (auto* error = std::get_if<SandboxError>(&outcome)) {
    ADD_FAILURE() << "run failed: " << error->describe();
    return {};
  }
  if (auto* failure = std::get_if<TaskFailure>(&outcome)) {
    ADD_FAILURE() << "run task failed: " << failure->description;
    return {};
  }
  return std::get<ExecutionOutput>(std::move(outcome));
}

// The error of a run that must fail.
inline SandboxError expect_error(RunOutcome outcome) {
  if (auto* error = std::get_if<SandboxError>(&outcome)) return *error;
  ADD_FAILURE() << "expected an error";
  return SandboxError::of(SandboxErrorKind::Unsupported);
}

inline ExecutionRequest shell(std::string script, std::uint64_t timeout_ms = 10000) {
  ExecutionRequest request;
  request.executable = "/bin/sh";
  request.args = {"-c", std::move(script)};
  request.timeout_ms = timeout_ms;
  return request;
}

}  // namespace quellar::test
