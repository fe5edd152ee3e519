// The stream driver: pulls events from a child's event stream and pushes
// them to the receiving side, enforcing the time limit and cancellation.
#include <stdexcept>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "../asio_compat.h"
#include "../runtime.h"
#include "../supervisor/race.h"
#include "process_event_stream.h"
#include "stream.h"

namespace quellar {
namespace {

// Completes once `item` is queued (success) or can never be (the receiving
// side is gone: broken_pipe). Cancelling the wait drops the item.
template <class CompletionToken>
auto async_send_item(std::shared_ptr<StreamChannel> channel, StreamItem item,
                     const asio::any_io_executor& executor, CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void(std::error_code)>(
      [](auto handler, std::shared_ptr<StreamChannel> channel, StreamItem item,
         asio::any_io_executor executor) {
        using Handler = decltype(handler);
        struct Send : std::enable_shared_from_this<Send> {
          Send(Handler h, std::shared_ptr<StreamChannel> c, StreamItem i, asio::any_io_executor e)
              : handler(std::move(h)), channel(std::move(c)), item(std::move(i)), executor(std::move(e)) {}
          void complete(std::error_code ec) {
            if (!handler) return;
            channel->clear_room_waiter();
            asio::post(executor, [h = std::move(*handler), ec]() mutable { std::move(h)(ec); });
            handler.reset();
          }
          // Runs on the driver's strand.
          void attempt() {
            if (!handler) return;
            if (channel->try_send(item)) return complete({});
            if (channel->receiver_gone().is_cancelled()) return complete(asio::error::broken_pipe);
            channel->on_room([self = this->shared_from_this()] {
              asio::post(self->executor, [self] { self->attempt(); });
            });
          }
          std::optional<Handler> handler;
          std::shared_ptr<StreamChannel> channel;
          StreamItem item;
          asio::any_io_executor executor;
        };
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto send = std::make_shared<Send>(std::move(handler), std::move(channel), std::move(item),
                                           std::move(executor));
        if (slot.is_connected()) {
          slot.assign([send](asio::cancellation_type) { send->complete(asio::error::operation_aborted); });
        }
        send->attempt();
      },
      token, std::move(channel), std::move(item), executor);
}

enum Branch : int { kDeadline = 0, kCancelled = 1, kGone = 2, kWork = 3 };

struct BranchResult {
  int branch = -1;
  bool disabled = false;
  std::error_code ec;
  std::optional<NextResult> next;  // kWork while pulling: what next() returned
};

StreamItem event_item(StreamItem::Kind kind, Bytes data = {}) {
  StreamItem item;
  item.kind = kind;
  item.data = std::move(data);
  return item;
}

class Driver {
 public:
  Driver(ProcessEventStream stream, std::shared_ptr<StreamChannel> channel,
         CancellationToken done_token, std::uint64_t timeout_ms, bool capture)
      : executor_(stream.strand()),
        stream_(std::move(stream)),
        channel_(std::move(channel)),
        done_token_(std::move(done_token)),
        timer_(executor_),
        capture_(capture) {
    const auto max_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::time_point::max() - Clock::now())
                            .count();
    deadline_ = timeout_ms >= static_cast<std::uint64_t>(max_ms)
                    ? Clock::time_point::max()
                    : Clock::now() + std::chrono::milliseconds(timeout_ms);
    timer_.expires_at(deadline_);
  }

  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // However the driver ends (an exception included): the watcher stops, and
  // the receiving side sees the end once it has taken what is queued. A
  // stream still held is dropped with the driver, killing the child's group.
  ~Driver() {
    done_token_.cancel();
    channel_->close();
  }

  asio::awaitable<void> run() {
    // The start event comes first, whatever else is already decided: the
    // stream has begun, and only then can it be stopped.
    if (auto started = stream_->poll_next()) {
      StreamItem item = to_item(std::get<ProcessEvent>(std::move(*started)));
      co_await send_final(std::move(item));
    }
    for (;;) {
      pushing_ = false;
      BranchResult pulled = co_await wait_step();
      if (pulled.branch != kWork) co_return co_await stop();
      NextResult next = std::move(*pulled.next);
      if (std::holds_alternative<Interrupted>(next)) continue;
      if (std::holds_alternative<EndOfStream>(next)) co_return;
      if (auto* error = std::get_if<SandboxError>(&next)) {
        StreamItem item = event_item(StreamItem::Kind::Error);
        item.error = std::move(*error);
        co_return co_await send_final(std::move(item));
      }
      ProcessEvent& event = std::get<ProcessEvent>(next);
      if (auto* exited = std::get_if<process_event::Exited>(&event)) {
        co_return co_await send_final(exited_item(std::move(exited->receipt)));
      }
      outgoing_ = to_item(std::move(event));
      pushing_ = true;
      BranchResult pushed = co_await wait_step();
      if (pushed.branch != kWork) co_return co_await stop();
      if (pushed.ec) co_return co_await quiet_shutdown();  // the receiving side is gone
    }
  }

 private:
  const CancellationToken& stream_token() const { return channel_->stream_token(); }

  StreamItem to_item(ProcessEvent event) {
    if (auto* out = std::get_if<process_event::Stdout>(&event)) {
      if (capture_) captured_stdout_ += out->data;
      return event_item(StreamItem::Kind::Stdout, std::move(out->data));
    }
    if (auto* err = std::get_if<process_event::Stderr>(&event)) {
      if (capture_) captured_stderr_ += err->data;
      return event_item(StreamItem::Kind::Stderr, std::move(err->data));
    }
    return event_item(StreamItem::Kind::Started);
  }

  StreamItem exited_item(ProcessReceipt receipt) {
    StreamItem item = event_item(StreamItem::Kind::Exited);
    item.result = StreamResult{std::move(receipt), std::move(captured_stdout_),
                               std::move(captured_stderr_)};
    return item;
  }

  // Whether a branch other than the work is ready right now.
  bool ready(int branch) const {
    switch (branch) {
      case kDeadline:
        return Clock::now() >= deadline_;
      case kCancelled:
        return stream_token().is_cancelled();
      default:
        return channel_->receiver_gone().is_cancelled();
    }
  }

  // Polls the four branches once, in a random rotation, without waiting:
  // the first ready one wins, exactly as if all four had been waited on.
  std::optional<BranchResult> poll_now() {
    const unsigned rotation = random_rotation(4);
    for (unsigned k = 0; k < 4; ++k) {
      const int branch = static_cast<int>((rotation + k) % 4);
      if (branch != kWork) {
        if (ready(branch)) return BranchResult{branch, false, {}, {}};
      } else if (pushing_) {
        if (channel_->try_send(*outgoing_)) return BranchResult{kWork, false, {}, {}};
      } else if (auto next = stream_->poll_next()) {
        return BranchResult{kWork, false, {}, std::move(next)};
      }
    }
    return std::nullopt;
  }

  asio::awaitable<BranchResult> wait_step() {
    if (auto now = poll_now()) co_return std::move(*now);
    auto outcome = co_await race<4, BranchResult>(
        [this](int branch, auto handler) { initiate(branch, std::move(handler)); });
    BranchResult& work = outcome.results[kWork];
    // Work that completed although another branch won is not thrown away:
    // an event already pulled is handled, an item already queued is sent.
    // The deadline, the cancellation and the receiver's absence are lasting
    // states and win the next step.
    if (outcome.winner != kWork && !work.disabled) {
      if (!pushing_ && work.next && !std::holds_alternative<Interrupted>(*work.next)) {
        co_return std::move(work);
      }
      if (pushing_ && !work.ec) co_return std::move(work);
    }
    co_return std::move(outcome.results[outcome.winner]);
  }

  template <class Handler>
  void initiate(int branch, Handler handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (branch == kWork && !pushing_) {
      asio::co_spawn(executor_, stream_->next(),
                     asio::bind_cancellation_slot(
                         slot, [h = std::move(handler)](std::exception_ptr failure,
                                                        NextResult next) mutable {
                           // next() dropped while stopping a child after an
                           // error ends with an exception: the child is gone
                           // and nothing is reported.
                           BranchResult result{kWork, false, {}, {}};
                           result.next = failure ? NextResult(Interrupted{}) : std::move(next);
                           std::move(h)(std::move(result));
                         }));
      return;
    }
    auto report = [h = std::move(handler), branch](std::error_code ec) mutable {
      std::move(h)(BranchResult{branch, false, ec, {}});
    };
    auto bound = asio::bind_cancellation_slot(slot, std::move(report));
    switch (branch) {
      case kDeadline:
        timer_.async_wait(std::move(bound));
        break;
      case kCancelled:
        runtime::async_wait_cancelled(stream_token(), executor_, std::move(bound));
        break;
      case kGone:
        runtime::async_wait_cancelled(channel_->receiver_gone(), executor_, std::move(bound));
        break;
      default:
        async_send_item(channel_, std::move(*outgoing_), executor_, std::move(bound));
        outgoing_.reset();
    }
  }

  ProcessEventStream take_stream() {
    if (!stream_) throw std::logic_error("stream remains active");
    ProcessEventStream stream = std::move(*stream_);
    stream_.reset();
    return stream;
  }

  // The deadline, a cancellation or the receiver's absence ended the stream.
  asio::awaitable<void> stop() {
    if (Clock::now() >= deadline_) co_return co_await finish(termination::TimedOut{});
    if (stream_token().is_cancelled()) co_return co_await finish(termination::Cancelled{});
    co_await quiet_shutdown();
  }

  asio::awaitable<void> finish(Termination reason) {
    auto receipt = co_await ProcessEventStream::shutdown(take_stream(), kFinishGrace);
    if (!receipt) co_return;  // no exited event then: the iteration just ends
    receipt->termination = std::move(reason);
    co_await send_final(exited_item(std::move(*receipt)));
  }

  asio::awaitable<void> quiet_shutdown() {
    (void)co_await ProcessEventStream::shutdown(take_stream(), kFinishGrace);
  }

  // Waits for room without watching anything else; fails only when the
  // receiving side is gone.
  asio::awaitable<void> send_final(StreamItem item) {
    co_await async_send_item(channel_, std::move(item), executor_,
                             asio_compat::as_tuple(asio::use_awaitable));
  }

  asio::any_io_executor executor_;
  std::optional<ProcessEventStream> stream_;
  std::shared_ptr<StreamChannel> channel_;
  CancellationToken done_token_;
  asio::steady_timer timer_;
  Clock::time_point deadline_;
  bool capture_;
  Bytes captured_stdout_;
  Bytes captured_stderr_;
  bool pushing_ = false;
  std::optional<StreamItem> outgoing_;
};

asio::awaitable<void> drive_stream(ProcessEventStream stream, std::shared_ptr<StreamChannel> channel,
                                   CancellationToken done_token, std::uint64_t timeout_ms,
                                   bool capture) {
  Driver driver(std::move(stream), std::move(channel), std::move(done_token), timeout_ms, capture);
  co_await driver.run();
}

// Forwards a cancellation of the caller's token to the stream until the
// driver is done; the caller's token itself is never cancelled by a stream.
void watch_caller_token(const CancellationToken& caller, const CancellationToken& stream_token,
                        const CancellationToken& done_token) {
  auto id = caller.on_cancel([stream_token] { stream_token.cancel(); });
  if (id == 0) {
    stream_token.cancel();
    return;
  }
  if (done_token.on_cancel([caller, id] { caller.remove(id); }) == 0) caller.remove(id);
}

// Starts the child, confirms its launcher (if any) started the program, and
// hands the stream to a driver; `done` learns which.
asio::awaitable<void> open_stream(ExecutionRequest request, CancellationToken cancellation,
                                  bool capture, UniqueFunction<void(StreamStartOutcome)> done,
                                  runtime::Strand strand) {
  auto started = start_child(request, {});
  if (!started) co_return done(std::move(started.error()));
  platform::UniqueFd launcher_status = std::move(started->process.launcher_status);
  ExecutableIdentity executable = started->executable;
  SupervisedChild child = supervise(std::move(*started), request, nullptr, strand);
  child.stdin_pipe.reset();  // the child reads end of file at once
  if (launcher_status) {
    auto launched = co_await launcher_started(
        std::move(launcher_status),
        std::chrono::milliseconds(std::min<std::uint64_t>(request.timeout_ms, 3'600'000)));
    // A refused start drops the child: the launcher has exited or is killed.
    if (!launched) {
      co_return done(start_failure(std::move(launched.error()), request, executable));
    }
  }
  auto stream = ProcessEventStream::create(std::move(child));
  if (!stream) co_return done(std::move(stream.error()));

  CancellationToken stream_token;
  CancellationToken done_token;
  auto channel = std::make_shared<StreamChannel>(stream_token);
  // Detached on purpose: the driver reports only through the channel.
  asio::co_spawn(strand,
                 drive_stream(std::move(*stream), channel, done_token, request.timeout_ms, capture),
                 asio::detached);
  watch_caller_token(cancellation, stream_token, done_token);
  done(std::move(channel));
}

}  // namespace

void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done) {
  // Spawning reads the file system and starts a process: off the caller's thread.
  auto strand = runtime::make_strand();
  asio::co_spawn(strand,
                 open_stream(std::move(request), std::move(cancellation), capture,
                             std::move(done), strand),
                 [](std::exception_ptr) {
                   // A failure escaping open_stream leaves `done` uncalled;
                   // the binding reports a dropped start as a worker failure.
                 });
}

}  // namespace quellar
