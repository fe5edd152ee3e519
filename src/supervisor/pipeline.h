// The one supervision pipeline behind run() and stream(). Both start their
// child the same way (on the blocking-work pool, then the launcher's
// handshake), read its output with the same readers, watch the same sources
// (cancellation, the deadline, the child's exit, the readers' ends, and for
// a stream its consumer going away) and stop the child through the same
// owner. They differ in policy:
//
//   run()    output captured, reported once at the end; an output limit is
//            an outcome; the timeout and cancellation kill the group at once.
//   stream() output forwarded as events into the queue the consumer reads;
//            an output limit is an error; the deadline and cancellation stop
//            the group gracefully (kFinishGrace), its own errors faster
//            (kErrorStopGrace).
#pragma once

#include <chrono>
#include <memory>
#include <utility>
#include <variant>

#include <asio/awaitable.hpp>

#include "../cancellation.h"
#include "../events/stream_queue.h"
#include "../outcome.h"
#include "../policy.h"
#include "../unique_function.h"
#include "spawn.h"

namespace quellar {

// How long, after the child's group has been killed (or after the child
// exited on its own), a run still waits for output pipes and the input pipe
// that a process outside the group keeps open. Then the pipes are closed and
// the run finishes with what it has.
inline constexpr std::chrono::milliseconds kPipeGrace{100};
// A stream's graceful stop: the deadline, a cancellation, its consumer gone.
inline constexpr std::chrono::milliseconds kFinishGrace{250};
// A stream's stop after its own error: an output limit, a failed read.
inline constexpr std::chrono::milliseconds kErrorStopGrace{100};

// The start-up both entry points share: start_child on the blocking-work
// pool, then the pipeline's task on a worker of its own, which the pool
// thread wakes once, with the child. What an entry point adds is its task
// and where its outcome goes.
class PipelineStart {
 public:
  using Failure = std::variant<SandboxError, TaskFailure>;

  PipelineStart(ExecutionRequest request, Bytes input)
      : request(std::move(request)), input(std::move(input)) {}
  virtual ~PipelineStart() = default;

  // On the child's worker: supervises what start_child started, reporting
  // as the entry point does. The start outlives the task.
  virtual asio::awaitable<void> supervise(StartOutcome started) = 0;
  // The start failed before its task could report: no thread could be made
  // to start the child on (a spawn failure), or start_child or the task
  // itself failed. Called at most once; an entry point whose task has
  // reported already has nobody left to tell.
  virtual void fail(Failure failure) = 0;

  ExecutionRequest request;
  Bytes input;  // run()'s; a stream's child has its input closed
};

// A start whose entry point hears of it once, through `done`: with the
// task's outcome (report()), or with why the start failed.
template <typename T>
class ReportingStart : public PipelineStart {
 public:
  using Done = UniqueFunction<void(Outcome<T>)>;

  ReportingStart(ExecutionRequest request, Bytes input, Done done)
      : PipelineStart(std::move(request), std::move(input)), done_(std::move(done)) {}

  void fail(Failure failure) final {
    std::visit([this](auto& why) { report(std::move(why)); }, failure);
  }

 protected:
  void report(Outcome<T> outcome) {
    if (done_) std::exchange(done_, nullptr)(std::move(outcome));
  }

 private:
  Done done_;
};

// Starts `start` and returns at once. Its report comes on a pool thread or
// the child's worker, or on the calling thread when no pool thread can be
// made (the child is not started there: the sandbox launcher dies with the
// thread that started it).
void start_pipeline(std::unique_ptr<PipelineStart> start);

// run(): one request from the child start_child started (`started`) to the
// end. Runs on the worker it is awaited on; give it one of its own.
asio::awaitable<Outcome<ExecutionOutput>> execute_with_cancellation(ExecutionRequest request,
                                                                    Bytes input,
                                                                    CancellationToken cancellation,
                                                                    StartOutcome started);

// stream(): takes over the child start_child started (its input closed at
// once), calls `started` once with the queue its events go to (or why it
// could not start), then supervises it until the stream ends. Cancelling
// `cancellation` stops the stream; the stream never cancels it.
asio::awaitable<void> drive_stream(ExecutionRequest request, CancellationToken cancellation,
                                   bool capture, StartOutcome child,
                                   UniqueFunction<void(StreamStartOutcome)> started);

}  // namespace quellar
