#include "run.h"

#include <asio/co_spawn.hpp>

#include "../blocking.h"
#include "../runtime.h"
#include "pipeline.h"

namespace quellar {

void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done) {
  blocking::post([request = std::move(request), input = std::move(input),
                  cancellation = std::move(cancellation), done = std::move(done)]() mutable {
    auto started = start_child_caught(request, input);
    if (auto* failure = std::get_if<TaskFailure>(&started)) {
      done(std::move(*failure));
      return;
    }
    asio::co_spawn(
        runtime::next_worker(),
        execute_with_cancellation(std::move(request), std::move(input), std::move(cancellation),
                                  std::get<StartOutcome>(std::move(started))),
        [done = std::move(done)](std::exception_ptr failure, RunOutcome outcome) mutable {
          if (failure) {
            done(task_failure(failure));
          } else {
            done(std::move(outcome));
          }
        });
  });
}

}  // namespace quellar
