#include "stream.h"

#include <utility>

#include "../supervisor/pipeline.h"

namespace quellar {
namespace {

class StreamPipelineStart final : public PipelineStart {
 public:
  StreamPipelineStart(ExecutionRequest request, CancellationToken cancellation, bool capture,
              UniqueFunction<void(StreamStartOutcome)> done)
      : PipelineStart(std::move(request), {}),
        cancellation_(std::move(cancellation)),
        capture_(capture),
        done_(std::move(done)) {}

  asio::awaitable<void> supervise(StartOutcome started) override {
    co_await drive_stream(std::move(request), std::move(cancellation_), capture_, std::move(started),
                          [this](StreamStartOutcome outcome) { report(std::move(outcome)); });
  }

  // Whatever way the task ends, `done` is called exactly once: with the
  // queue, the spawn error, or the task's own failure.
  void fail(Failure failure) override {
    std::visit([this](auto& why) { report(std::move(why)); }, failure);
  }

 private:
  void report(StreamStartOutcome outcome) {
    if (done_) std::exchange(done_, nullptr)(std::move(outcome));
  }

  CancellationToken cancellation_;
  bool capture_;
  UniqueFunction<void(StreamStartOutcome)> done_;
};

}  // namespace

void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done) {
  start_pipeline(std::make_unique<StreamPipelineStart>(std::move(request), std::move(cancellation),
                                                       capture, std::move(done)));
}

}  // namespace quellar
