#include "run.h"

#include <utility>

#include "pipeline.h"

namespace quellar {
namespace {

class RunPipelineStart final : public ReportingStart<ExecutionOutput> {
 public:
  RunPipelineStart(ExecutionRequest request, Bytes input, CancellationToken cancellation,
                   RunCallback done)
      : ReportingStart(std::move(request), std::move(input), std::move(done)),
        cancellation_(std::move(cancellation)) {}

  asio::awaitable<void> supervise(StartOutcome started) override {
    report(co_await execute_with_cancellation(std::move(request), std::move(input),
                                              std::move(cancellation_), std::move(started)));
  }

 private:
  CancellationToken cancellation_;
};

}  // namespace

void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done) {
  start_pipeline(std::make_unique<RunPipelineStart>(std::move(request), std::move(input),
                                                    std::move(cancellation), std::move(done)));
}

}  // namespace quellar
