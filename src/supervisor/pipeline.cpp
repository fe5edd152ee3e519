#include "pipeline.h"

#include <array>
#include <optional>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/error.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "../asio_compat.h"
#include "../blocking.h"
#include "../runtime.h"
#include "rotation.h"
#include "reader.h"
#include "spawn.h"
#include "writer.h"

namespace quellar {
namespace {

using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;

enum class Road { Run, Stream };

// What can decide how the child ends.
enum Source : int { kCancel = 0, kDeadline, kExit, kReader, kConsumerGone, kSources };

// Where the supervision's sources report, on the child's worker. A reader's
// end is kept here; every other source only says that it may have changed,
// and the supervision then looks at it (a cancelled token stays cancelled,
// an exited child stays exited): nothing reported can be lost, and one
// wake-up serves every source that fired meanwhile. Shared with the
// listeners, whose handlers may run after the supervision has gone.
struct Inbox {
  explicit Inbox(asio::any_io_executor e) : executor(std::move(e)) {}

  void notify() {
    news = true;
    if (waiter) asio::post(executor, std::exchange(waiter, nullptr));
  }

  asio::any_io_executor executor;
  bool news = false;
  UniqueFunction<void()> waiter;  // the supervision, waiting for news
  // Each reader reports once, into its own slot.
  std::array<std::optional<ReaderEnd>, 2> ends;
  bool misreported = false;  // a reader reported twice, or for no stream
  bool exit_listened = false;  // a wait for the exit watch is pending
  std::error_code exit_error;  // that wait's failure
};

// Completes once the inbox has news (at once if it has), taking them.
template <class CompletionToken>
auto async_news(Inbox& inbox, CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void()>(
      [&inbox](auto handler) {
        inbox.waiter = [h = std::move(handler)]() mutable { std::move(h)(); };
        if (inbox.news) inbox.notify();
      },
      token);
}

class Supervision {
 public:
  Supervision(Road road, ExecutionRequest request, CancellationToken cancellation,
              std::shared_ptr<StreamQueue> queue, asio::any_io_executor executor)
      : road_(road),
        request_(std::move(request)),
        cancellation_(std::move(cancellation)),
        queue_(std::move(queue)),
        executor_(std::move(executor)),
        timer_(executor_),
        inbox_(std::make_shared<Inbox>(executor_)) {}

  Supervision(const Supervision&) = delete;
  Supervision& operator=(const Supervision&) = delete;

  // However the supervision ends, its helpers end with it: a writer or a
  // reader still waiting on a pipe that a process outside the group holds
  // open would otherwise wait, with its descriptor, for as long as that
  // process lives. A stream's consumer always sees an end.
  ~Supervision() {
    if (writer_) writer_->abort();
    for (const auto& reader : readers_) {
      if (reader) reader->stop();
    }
    stop_listening();
    if (queue_ && !queue_->finished()) {
      queue_->finish(error_item(SandboxError::execution(
          IoError::other("the stream's supervision failed"))));
    }
  }

  // Supervises the child start_child started (after the launcher's
  // handshake); its error if it could not be started.
  asio::awaitable<std::optional<SandboxError>> start(StartOutcome started) {
    // The input is this pipeline's: written by its writer, or closed at once.
    if (started) input_ = std::move(started->process.stdin_fd);
    auto child = co_await supervise_start(std::move(started), request_, nullptr, &cancellation_);
    if (!child) co_return std::move(child.error());
    child_.emplace(std::move(*child));
    // Whatever way this supervision is abandoned, it stops what it started.
    child_->drop_policy = DropPolicy::KillGroup;
    co_return std::nullopt;
  }

  // run(): the input writer and two capture readers.
  void start_run_helpers(Bytes input) {
    writer_ = std::make_shared<InputWriter>(std::move(input_), executor_, input.empty());
    InputWriter::start(writer_, std::move(input));
    readers_[kStdout] = start_capture_reader(take_pipe(child_->stdout_pipe),
                                             request_.max_stdout_bytes, kStdout, end_sink());
    readers_[kStderr] = start_capture_reader(take_pipe(child_->stderr_pipe),
                                             request_.max_stderr_bytes, kStderr, end_sink());
  }

  // stream(): the start event first, then two event readers; the child's
  // input is closed at once.
  void start_stream_helpers(bool capture) {
    input_.reset();
    queue_->push(StreamItem{StreamItem::Kind::Started, {}, nullptr, nullptr,
                            std::make_unique<StreamStart>(child_->executable, child_->pid)});
    if (capture) {
      captures_[kStdout] = std::make_shared<ByteBuffer>();
      captures_[kStderr] = std::make_shared<ByteBuffer>();
    }
    readers_[kStdout] = start_event_reader(take_pipe(child_->stdout_pipe), request_.max_stdout_bytes,
                                           kStdout, queue_, captures_[kStdout], end_sink());
    readers_[kStderr] = start_event_reader(take_pipe(child_->stderr_pipe), request_.max_stderr_bytes,
                                           kStderr, queue_, captures_[kStderr], end_sink());
  }

  // Watches the sources until the child has ended on its own with both
  // readers done, or something else decided how it ends. When several have
  // something at once, they are looked at in a random rotation: none always
  // decides first.
  asio::awaitable<void> decide() {
    // The time limit counts from here: the child and its helpers exist.
    timer_.expires_at(expiry_after_ms(request_.timeout_ms));
    listen();
    while (!decided()) {
      if (exit_ && ends_read_[kStdout] && ends_read_[kStderr]) {
        natural_ = true;
        break;
      }
      if (poll_in_rotation<kSources>([this](std::size_t source) { return poll(static_cast<int>(source)); })) {
        continue;
      }
      listen_for_exit();  // again, after a wake-up that was not the exit
      co_await wait_for_news();
    }
    stop_listening();
  }

  asio::awaitable<Outcome<ExecutionOutput>> finish_run() {
    if (broken_) co_return *broken_;
    if (failure_) co_return std::move(*failure_).with_executable(child_->executable);
    if (natural_) co_return co_await complete_naturally();
    // No graceful stop on this road: the whole group is killed at once.
    terminate_process_tree(*child_->child, *child_->container);
    (void)co_await child_->child->wait();
    co_await drain();
    writer_->abort();
    child_->settle();
    co_return output(std::move(*reason_));
  }

  asio::awaitable<void> finish_stream() {
    if (broken_) {
      queue_->finish(error_item(SandboxError::execution(IoError::other(broken_->description))));
    } else if (natural_) {
      ProcessReceipt receipt = child_->complete(termination::Exited{*exit_});
      child_->settle();
      queue_->finish(exited_item(std::move(receipt)));
    } else if (failure_) {
      // Its own error (an output limit, a failed read) stops the child
      // faster; how it ended is not reported, the error is.
      (void)co_await SupervisedChild::stop_group(take_child(), kErrorStopGrace);
      queue_->finish(error_item(std::move(*failure_)));
    } else if (reason_) {
      auto receipt = co_await SupervisedChild::stop_group(take_child(), kFinishGrace);
      if (!receipt) {
        queue_->finish(std::nullopt);  // no exited event then: the iteration just ends
        co_return;
      }
      receipt->termination = std::move(*reason_);
      queue_->finish(exited_item(std::move(*receipt)));
    } else {
      // The consumer has gone: nobody is told.
      (void)co_await SupervisedChild::stop_group(take_child(), kFinishGrace);
      queue_->finish(std::nullopt);
    }
  }

 private:
  static Pipe take_pipe(std::optional<Pipe>& pipe) {
    Pipe taken = std::move(*pipe);
    pipe.reset();
    return taken;
  }

  SupervisedChild take_child() {
    SupervisedChild child = std::move(*child_);
    child_.reset();
    return child;
  }

  static StreamItem error_item(SandboxError error) {
    return StreamItem{StreamItem::Kind::Error, {}, nullptr,
                      std::make_unique<SandboxError>(std::move(error)), nullptr};
  }

  StreamItem exited_item(ProcessReceipt receipt) {
    auto result = std::make_unique<StreamResult>(std::move(receipt), ByteBuffer(), ByteBuffer());
    if (captures_[kStdout]) result->stdout_bytes = std::move(*captures_[kStdout]);
    if (captures_[kStderr]) result->stderr_bytes = std::move(*captures_[kStderr]);
    return StreamItem{StreamItem::Kind::Exited, {}, std::move(result), nullptr, nullptr};
  }

  bool decided() const { return reason_ || failure_ || quiet_ || broken_; }

  // One checked path for a broken invariant: the task reports it as its
  // failure instead of throwing.
  void broken(const char* what) {
    if (!broken_) broken_ = TaskFailure{what};
  }

  // Whether the source has decided something (applying it), without waiting.
  bool poll(int source) {
    switch (source) {
      case kCancel:
        if (decided() || !cancellation_.is_cancelled()) return false;
        reason_ = termination::Cancelled{};
        return true;
      case kDeadline:
        if (decided() || Clock::now() < timer_.expiry()) return false;
        reason_ = termination::TimedOut{};
        return true;
      case kExit:
        // Only once the exit watch has fired: a running child costs no
        // system call per look.
        if (exit_ || inbox_->exit_listened) return false;
        if (inbox_->exit_error) {
          if (!decided()) failure_ = SandboxError::execution(io_error_from(inbox_->exit_error));
          return true;
        }
        return check_exit();
      case kReader:
        if (inbox_->misreported) {
          inbox_->misreported = false;
          broken("a reader reported its end twice");
          return true;
        }
        for (auto& end : inbox_->ends) {
          if (!end) continue;
          apply_end(std::move(*end));
          end.reset();
          return true;
        }
        return false;
      default:
        if (road_ != Road::Stream || quiet_ || !queue_->consumer_gone().is_cancelled()) return false;
        quiet_ = true;
        return true;
    }
  }

  // Reaps the child if it has exited; false while it runs.
  bool check_exit() {
    auto polled = child_->child->try_wait_sync();
    if (!polled) {
      if (!decided()) failure_ = SandboxError::execution(std::move(polled.error()));
      return true;
    }
    if (!*polled) return false;
    exit_ = **polled;
    return true;
  }

  // The listeners: each wakes the supervision when its source may have
  // something. Their handlers hold the inbox, never the supervision.
  void listen() {
    auto wake = [inbox = inbox_] { asio::post(inbox->executor, [inbox] { inbox->notify(); }); };
    timer_.async_wait([inbox = inbox_](std::error_code) { inbox->notify(); });
    cancel_listener_ = cancellation_.on_cancel(wake);
    if (road_ == Road::Stream) consumer_listener_ = queue_->consumer_gone().on_cancel(wake);
    listen_for_exit();
  }

  void listen_for_exit() {
    if (exit_ || inbox_->exit_listened) return;
    inbox_->exit_listened = true;
    child_->child->async_wait_exit([inbox = inbox_](std::error_code ec) {
      inbox->exit_listened = false;
      if (ec && ec != asio::error::operation_aborted) inbox->exit_error = ec;
      inbox->notify();
    });
  }

  // The token listeners go; the others fire, harmlessly, when their waits
  // end or are dropped.
  void stop_listening() {
    if (cancel_listener_ != 0) cancellation_.remove(std::exchange(cancel_listener_, 0));
    if (consumer_listener_ != 0) queue_->consumer_gone().remove(std::exchange(consumer_listener_, 0));
  }

  asio::awaitable<void> wait_for_news() {
    if (!inbox_->news) co_await async_news(*inbox_, asio::use_awaitable);
    inbox_->news = false;
  }

  ReaderEndSink end_sink() {
    return [inbox = inbox_](ReaderEnd end) {
      if (end.stream > kStderr || inbox->ends[end.stream]) {
        inbox->misreported = true;
      } else {
        inbox->ends[end.stream] = std::move(end);
      }
      inbox->notify();
    };
  }

  // Records a reader's end; once something else decided how the child ends,
  // only its data counts.
  void apply_end(ReaderEnd end) {
    const bool settled = decided();
    const std::uint8_t stream = end.stream;
    const bool out = stream == kStdout;
    if (stream > kStderr || ends_read_[stream]) {
      broken("a reader reported its end twice");
      return;
    }
    switch (end.kind) {
      case ReaderEnd::Kind::Completed:
        break;
      case ReaderEnd::Kind::LimitExceeded:
        if (settled) break;
        if (road_ == Road::Run) {
          if (out) {
            reason_ = termination::StdoutLimitExceeded{};
          } else {
            reason_ = termination::StderrLimitExceeded{};
          }
        } else {
          failure_ = out ? SandboxError::output_too_large() : SandboxError::stderr_too_large();
        }
        break;
      case ReaderEnd::Kind::ReadFailed:
        if (!settled) {
          failure_ = out ? SandboxError::stdout_read(std::move(*end.error))
                         : SandboxError::stderr_read(std::move(*end.error));
        }
        end.data = ByteBuffer();
        break;
      case ReaderEnd::Kind::Failed:
        // Its task failed (memory exhausted): nothing it had is kept.
        if (!settled) failure_ = SandboxError::execution(std::move(*end.error));
        end.data = ByteBuffer();
        break;
    }
    ends_read_[stream] = true;
    captured_[stream] = std::move(end.data);
  }

  ExecutionOutput output(Termination termination) {
    ExecutionOutput out;
    out.stdout_bytes = std::move(captured_[kStdout]);
    out.stderr_bytes = std::move(captured_[kStderr]);
    out.executable = child_->executable;
    auto* exited = std::get_if<termination::Exited>(&termination);
    out.success = exited && exited->exit.code == 0;
    out.termination = std::move(termination);
    out.enforcement = EnforcementLevel::Degraded;
    return out;
  }

  SandboxError run_failure(SandboxError error) {
    return std::move(error).with_executable(child_->executable);
  }

  asio::awaitable<Outcome<ExecutionOutput>> complete_naturally() {
    // The child and both pipes have ended. The input writer can only still
    // be busy if a process outside the group holds the input open without
    // reading it; it gets a short grace, not forever.
    if (!writer_->outcome()) {
      asio::steady_timer grace(executor_);
      grace.expires_after(kPipeGrace);
      co_await make_parallel_group(
          [&](auto token) { return writer_->done().async_receive(std::move(token)); },
          [&](auto token) { return grace.async_wait(std::move(token)); })
          .async_wait(wait_for_one(), use_tuple);
    }
    child_->settle();
    if (!writer_->outcome()) {
      writer_->abort();
      co_return run_failure(SandboxError::stdin(IoError::other(
          "the child exited before reading all of its input, and a process outside its group "
          "holds the input open")));
    }
    const WriterOutcome& outcome = *writer_->outcome();
    if (outcome.task_failed) {
      co_return run_failure(SandboxError::execution(IoError::other("the input writer task failed")));
    }
    if (!outcome.result) co_return run_failure(SandboxError::stdin(outcome.result.error()));
    co_return output(termination::Exited{*exit_});
  }

  // Collects the readers' ends after the kill. A reader whose pipe a process
  // outside the group keeps open is stopped after the grace, and reports
  // what it captured.
  asio::awaitable<void> drain() {
    asio::steady_timer grace(executor_);
    grace.expires_after(kPipeGrace);
    grace.async_wait([inbox = inbox_](std::error_code) { inbox->notify(); });
    bool stopped = false;
    for (;;) {
      while (poll(kReader)) {
      }
      if (ends_read_[kStdout] && ends_read_[kStderr]) break;
      if (!stopped && Clock::now() >= grace.expiry()) {
        for (std::uint8_t s : {kStdout, kStderr}) {
          if (!ends_read_[s]) readers_[s]->stop();
        }
        stopped = true;
      }
      co_await wait_for_news();
    }
  }

  Road road_;
  ExecutionRequest request_;
  CancellationToken cancellation_;
  std::shared_ptr<StreamQueue> queue_;
  asio::any_io_executor executor_;
  asio::steady_timer timer_;
  std::shared_ptr<Inbox> inbox_;
  CancellationToken::CallbackId cancel_listener_ = 0;
  CancellationToken::CallbackId consumer_listener_ = 0;
  std::optional<SupervisedChild> child_;
  platform::UniqueFd input_;  // until the writer takes it
  std::shared_ptr<InputWriter> writer_;
  std::array<std::shared_ptr<ReaderControl>, 2> readers_;
  std::array<std::shared_ptr<ByteBuffer>, 2> captures_;

  // What the sources decided.
  std::array<bool, 2> ends_read_{};
  std::array<ByteBuffer, 2> captured_;
  std::optional<ProcessExit> exit_;
  std::optional<Termination> reason_;     // the supervisor stops the child
  std::optional<SandboxError> failure_;   // the supervision failed
  bool quiet_ = false;                    // a stream's consumer has gone
  bool natural_ = false;                  // exited on its own, both pipes done
  std::optional<TaskFailure> broken_;
};

// Forwards a cancellation of the caller's token to the stream for as long as
// the stream runs; the caller's token itself is never cancelled by a stream.
class ForwardCancellation {
 public:
  ForwardCancellation(CancellationToken caller, const CancellationToken& stream)
      : caller_(std::move(caller)) {
    id_ = caller_.on_cancel([stream] { stream.cancel(); });
    if (id_ == 0) stream.cancel();
  }
  ForwardCancellation(const ForwardCancellation&) = delete;
  ForwardCancellation& operator=(const ForwardCancellation&) = delete;
  ~ForwardCancellation() {
    if (id_ != 0) caller_.remove(id_);
  }

 private:
  CancellationToken caller_;
  CancellationToken::CallbackId id_ = 0;
};

}  // namespace

void start_pipeline(std::unique_ptr<PipelineStart> start) {
  blocking::post([start = std::move(start)](blocking::PoolThread thread) mutable {
    if (!thread) {
      start->fail(SandboxError::spawn(std::move(thread.error())));
      return;
    }
    auto child = start_child_caught(start->request, start->input);
    if (auto* failure = std::get_if<TaskFailure>(&child)) {
      start->fail(std::move(*failure));
      return;
    }
    PipelineStart& task = *start;
    asio::co_spawn(runtime::next_worker(), task.supervise(std::get<StartOutcome>(std::move(child))),
                   [start = std::move(start)](std::exception_ptr failure) {
                     if (failure) start->fail(task_failure(failure));
                   });
  });
}

asio::awaitable<Outcome<ExecutionOutput>> execute_with_cancellation(ExecutionRequest request,
                                                                    Bytes input,
                                                                    CancellationToken cancellation,
                                                                    StartOutcome started) {
  Supervision run(Road::Run, std::move(request), std::move(cancellation), nullptr,
                  co_await asio::this_coro::executor);
  if (auto failed = co_await run.start(std::move(started))) co_return std::move(*failed);
  run.start_run_helpers(std::move(input));
  co_await run.decide();
  co_return co_await run.finish_run();
}

asio::awaitable<void> drive_stream(ExecutionRequest request, CancellationToken cancellation,
                                   bool capture, StartOutcome child,
                                   UniqueFunction<void(StreamStartOutcome)> started) {
  // The stream watches a token of its own, which its queue can cancel too;
  // the caller's cancels it from the start on (the launcher's handshake
  // included).
  CancellationToken stream_token;
  ForwardCancellation forward(std::move(cancellation), stream_token);
  auto queue = std::make_shared<StreamQueue>(stream_token);
  Supervision stream(Road::Stream, std::move(request), stream_token, queue,
                     co_await asio::this_coro::executor);
  if (auto failed = co_await stream.start(std::move(child))) {
    started(std::move(*failed));
    co_return;
  }
  // The start event is the first item, whatever happens next: the stream
  // has begun, and only then can it be stopped.
  stream.start_stream_helpers(capture);
  started(queue);
  co_await stream.decide();
  co_await stream.finish_stream();
}

}  // namespace quellar
