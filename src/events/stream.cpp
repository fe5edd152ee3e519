#include "stream.h"

#include <asio/co_spawn.hpp>

#include "../blocking.h"
#include "../runtime.h"
#include "../supervisor/pipeline.h"

namespace quellar {

void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done) {
  // Whatever way the task ends, `done` is called exactly once: with the
  // queue, the spawn error, or the task's own failure.
  auto pending = std::make_shared<UniqueFunction<void(StreamStartOutcome)>>(std::move(done));
  auto started = [pending](StreamStartOutcome outcome) {
    if (*pending) std::exchange(*pending, nullptr)(std::move(outcome));
  };
  // The child starts on a pool thread, which hands it to a worker.
  blocking::post([request = std::move(request), cancellation = std::move(cancellation), capture,
                  started]() mutable {
    auto child = start_child_caught(request, {});
    if (auto* failure = std::get_if<TaskFailure>(&child)) {
      started(std::move(*failure));
      return;
    }
    asio::co_spawn(runtime::next_worker(),
                   drive_stream(std::move(request), std::move(cancellation), capture,
                                std::get<StartOutcome>(std::move(child)), started),
                   [started](std::exception_ptr failure) mutable {
                     if (failure) started(task_failure(failure));
                   });
  });
}

}  // namespace quellar
