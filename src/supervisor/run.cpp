#include "run.h"

#include <asio/co_spawn.hpp>

#include "../runtime.h"
#include "pipeline.h"

namespace quellar {

void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done) {
  asio::co_spawn(
      runtime::next_worker(),
      execute_with_cancellation(std::move(request), std::move(input), std::move(cancellation)),
      [done = std::move(done)](std::exception_ptr failure, RunOutcome outcome) mutable {
        if (failure) {
          done(task_failure(failure));
        } else {
          done(std::move(outcome));
        }
      });
}

}  // namespace quellar
