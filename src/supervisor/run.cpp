#include "run.h"

#include <utility>

#include "pipeline.h"

namespace quellar {
namespace {

class RunPipelineStart final : public PipelineStart {
 public:
  RunPipelineStart(ExecutionRequest request, Bytes input, CancellationToken cancellation,
                   RunCallback done)
      : PipelineStart(std::move(request), std::move(input)),
        cancellation_(std::move(cancellation)),
        done_(std::move(done)) {}

  asio::awaitable<void> supervise(StartOutcome started) override {
    report(co_await execute_with_cancellation(std::move(request), std::move(input),
                                              std::move(cancellation_), std::move(started)));
  }

  void fail(Failure failure) override {
    std::visit([this](auto& why) { report(std::move(why)); }, failure);
  }

 private:
  void report(RunOutcome outcome) {
    if (done_) std::exchange(done_, nullptr)(std::move(outcome));
  }

  CancellationToken cancellation_;
  RunCallback done_;
};

}  // namespace

void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done) {
  start_pipeline(std::make_unique<RunPipelineStart>(std::move(request), std::move(input),
                                                    std::move(cancellation), std::move(done)));
}

}  // namespace quellar
