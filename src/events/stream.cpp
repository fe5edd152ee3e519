#include "stream.h"

#include <utility>

#include "../supervisor/pipeline.h"

namespace quellar {
namespace {

// Whatever way the task ends, `done` is called exactly once: with the
// queue, the spawn error, or the task's own failure.
class StreamPipelineStart final : public ReportingStart<std::shared_ptr<StreamQueue>> {
 public:
  StreamPipelineStart(ExecutionRequest request, CancellationToken cancellation, bool capture,
                      Done done)
      : ReportingStart(std::move(request), {}, std::move(done)),
        cancellation_(std::move(cancellation)),
        capture_(capture) {}

  asio::awaitable<void> supervise(StartOutcome started) override {
    co_await drive_stream(std::move(request), std::move(cancellation_), capture_, std::move(started),
                          [this](StreamStartOutcome outcome) { report(std::move(outcome)); });
  }

 private:
  CancellationToken cancellation_;
  bool capture_;
};

}  // namespace

void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done) {
  start_pipeline(std::make_unique<StreamPipelineStart>(std::move(request), std::move(cancellation),
                                                       capture, std::move(done)));
}

}  // namespace quellar
