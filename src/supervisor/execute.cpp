#include "execute.h"

#include <array>
#include <stdexcept>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/use_awaitable.hpp>

#include "../asio_compat.h"
#include "child.h"
#include "live.h"
#include "race.h"
#include "reader.h"
#include "run.h"

namespace quellar {
namespace {

using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;
constexpr auto use_tuple = asio_compat::as_tuple(asio::use_awaitable);

[[noreturn]] void broken_invariant(const char* what) { throw std::logic_error(what); }

// ---------------------------------------------------------------- input writer

using WriterResult = std::expected<void, IoError>;
struct WriterOutcome {
  WriterResult result;
  bool task_failed = false;  // the task ended abnormally instead of returning
};
using WriterChannel = LocalChannel<WriterOutcome>;

// The input writer's shared state. An empty input needs no task: the pipe
// is closed at once, and the writer is done before the child could read.
struct InputWriter {
  InputWriter(platform::UniqueFd fd, const asio::any_io_executor& executor, bool empty)
      : done(executor, 1) {
    if (empty) {
      outcome = WriterOutcome{};
    } else {
      fork_close = CloseInForkedChild(fd.get());
      pipe.emplace(executor, fd.release());
    }
  }

  // Stops the writer wherever it is; its result is never looked at.
  void abort() {
    aborted = true;
    std::error_code ignored;
    if (pipe) pipe->cancel(ignored);
  }

  void finish(WriterOutcome result) {
    outcome = std::move(result);
    WriterOutcome told = *outcome;
    done.try_send(told);
  }

  std::optional<Pipe> pipe;
  // A process forked from the host must not keep the child's input open.
  CloseInForkedChild fork_close;
  bool aborted = false;
  std::optional<WriterOutcome> outcome;  // once finished
  WriterChannel done;                    // told when finished
};

asio::awaitable<WriterResult> write_input(std::shared_ptr<InputWriter> writer, Bytes input) {
  std::size_t written = 0;
  WriterResult result;
  while (written < input.size() && !writer->aborted) {
    auto [ec, n] = co_await writer->pipe->async_write_some(
        asio::buffer(input.data() + written, input.size() - written), use_tuple);
    // The child closed its input or exited without reading all of it: that
    // is its choice (head, true), as for subprocess.run(input=...), and the
    // run completes with whatever the child did.
    if (ec == asio::error::broken_pipe || ec == asio::error::connection_reset) break;
    if (ec) {
      result = std::unexpected(io_error_from(ec));
      break;
    }
    if (n == 0) {
      result = std::unexpected(IoError::other("failed to write whole buffer"));
      break;
    }
    written += n;
  }
  // End of input for the child, also after a failure.
  writer->fork_close.release();
  std::error_code ignored;
  writer->pipe->close(ignored);
  co_return result;
}

void spawn_input_writer(std::shared_ptr<InputWriter> writer, Bytes input) {
  if (writer->outcome) return;  // nothing to write
  auto executor = writer->pipe->get_executor();
  asio::co_spawn(executor, write_input(writer, std::move(input)),
                 [writer](std::exception_ptr failure, WriterResult result) {
                   writer->finish(WriterOutcome{std::move(result), failure != nullptr});
                 });
}

// ---------------------------------------------------------------- the race

enum Branch : int { kCancel = 0, kTimer = 1, kExit = 2, kEvent = 3 };

struct BranchResult {
  int branch = -1;
  bool disabled = false;
  std::error_code ec;
  std::optional<StreamEvent> event;
};

class Run {
 public:
  Run(const asio::any_io_executor& executor, ExecutionRequest request, CancellationToken token,
      StartedChild started, bool input_empty)
      : executor_(executor),
        request_(std::move(request)),
        cancellation_(std::move(token)),
        executable_(std::move(started.executable)),
        child_(executor, started.process.pid, std::move(started.process.exit_watch)),
        container_(std::move(started.container)),
        live_(std::move(started.live)),
        launcher_status_(std::move(started.process.launcher_status)),
        timer_(executor),
        events_(std::make_shared<StreamEventChannel>(executor, 2)) {
    platform::SpawnedProcess& process = started.process;
    writer_ = std::make_shared<InputWriter>(std::move(process.stdin_fd), executor, input_empty);
    readers_[0] = spawn_bounded_reader(Pipe(executor, process.stdout_fd.release()),
                                       request_.max_stdout_bytes, 0, events_);
    readers_[1] = spawn_bounded_reader(Pipe(executor, process.stderr_fd.release()),
                                       request_.max_stderr_bytes, 1, events_);
  }

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // However the run ends, its helpers end with it: a writer or a reader
  // still waiting on a pipe that a process outside the group holds open
  // would otherwise wait, with its descriptor, for as long as that process
  // lives. (After a natural end they have all finished already.)
  ~Run() {
    writer_->abort();
    for (const auto& reader : readers_) reader->stop();
  }

  asio::awaitable<std::expected<ExecutionOutput, SandboxError>> run(Bytes input) {
    auto result = co_await race_to_the_end(std::move(input));
    // A launcher that could not start the program exits as soon as it has
    // said why; its exit status must not pass for the program's.
    if (auto refused = launcher_failure()) co_return std::unexpected(std::move(*refused));
    co_return result;
  }

 private:
  std::optional<SandboxError> launcher_failure() {
    if (!launcher_status_) return std::nullopt;
    auto report = platform::poll_launcher(launcher_status_.get());
    if (!report || *report) return std::nullopt;
    return start_failure(std::move(report->error()), request_, executable_);
  }

  asio::awaitable<std::expected<ExecutionOutput, SandboxError>> race_to_the_end(Bytes input) {
    spawn_input_writer(writer_, std::move(input));
    arm_timer();
    while (!reason_) {
      if (exit_ && slots_[0] && slots_[1]) co_return co_await complete_naturally();
      if (auto failed = co_await race_once(); failed) co_return std::unexpected(std::move(*failed));
    }
    co_return co_await terminate();
  }

  void arm_timer() {
    // Whole milliseconds; a timeout beyond the clock's range never fires.
    const auto max_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock::time_point::max() - Clock::now()).count();
    if (request_.timeout_ms >= static_cast<std::uint64_t>(max_ms)) {
      timer_.expires_at(Clock::time_point::max());
    } else {
      timer_.expires_after(std::chrono::milliseconds(request_.timeout_ms));
    }
  }

  bool enabled(int branch) const {
    switch (branch) {
      case kCancel:
      case kTimer:
        return !reason_;
      case kExit:
        return !exit_;
      default:
        return !slots_[0] || !slots_[1];
    }
  }

  // Starts one branch of the race. A disabled branch completes at once and
  // is ignored by the race's completion condition.
  template <class Handler>
  void initiate(int branch, Handler handler) {
    if (!enabled(branch)) {
      asio::post(executor_, [h = std::move(handler), branch]() mutable {
        std::move(h)(BranchResult{branch, true, {}, {}});
      });
      return;
    }
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (branch == kEvent) {
      events_->async_receive(asio::bind_cancellation_slot(
          slot, [h = std::move(handler)](std::error_code ec, StreamEvent event) mutable {
            // Reaches the race even when another branch won: nothing taken
            // from the channel is lost.
            BranchResult result{kEvent, false, ec, {}};
            if (!ec) result.event = std::move(event);
            std::move(h)(std::move(result));
          }));
      return;
    }
    auto report = [h = std::move(handler), branch](std::error_code ec) mutable {
      std::move(h)(BranchResult{branch, false, ec, {}});
    };
    switch (branch) {
      case kCancel:
        runtime::async_wait_cancelled(cancellation_, executor_,
                                      asio::bind_cancellation_slot(slot, std::move(report)));
        break;
      case kTimer:
        timer_.async_wait(asio::bind_cancellation_slot(slot, std::move(report)));
        break;
      default:
        child_.async_wait_exit(asio::bind_cancellation_slot(slot, std::move(report)));
    }
  }

  // Polls every enabled branch once, in a random rotation, without waiting:
  // the first that is ready decides this iteration, exactly as if all had
  // been waited on. Returns false when none is ready.
  bool poll_now(std::optional<SandboxError>& failed) {
    const unsigned rotation = random_rotation(4);
    for (unsigned k = 0; k < 4; ++k) {
      const int branch = static_cast<int>((rotation + k) % 4);
      if (!enabled(branch)) continue;
      switch (branch) {
        case kCancel:
          if (!cancellation_.is_cancelled()) continue;
          reason_ = termination::Cancelled{};
          return true;
        case kTimer:
          if (Clock::now() < timer_.expiry()) continue;
          reason_ = termination::TimedOut{};
          return true;
        case kExit: {
          auto polled = child_.try_wait_sync();
          if (!polled) {
            failed = failure(SandboxError::execution(std::move(polled.error())));
            return true;
          }
          if (!*polled) continue;
          exit_ = **polled;
          return true;
        }
        default: {
          std::optional<StreamEvent> event = events_->try_receive();
          if (!event) continue;
          failed = handle_event(std::move(*event));
          return true;
        }
      }
    }
    return false;
  }

  // One iteration of the race: returns an error that ends the run, if any.
  asio::awaitable<std::optional<SandboxError>> race_once() {
    if (pending_) {
      StreamEvent event = std::move(*pending_);
      pending_.reset();
      co_return handle_event(std::move(event));
    }
    if (std::optional<SandboxError> failed; poll_now(failed)) co_return failed;
    auto outcome = co_await race<4, BranchResult>(
        [this](int branch, auto handler) { initiate(branch, std::move(handler)); });
    BranchResult& winner = outcome.results[outcome.winner];
    BranchResult& event = outcome.results[kEvent];
    // A stream event taken by a losing receive is handled next, not lost.
    if (&event != &winner && !event.disabled && !event.ec && event.event) {
      pending_ = std::move(event.event);
    }
    co_return handle_winner(winner);
  }

  std::optional<SandboxError> handle_winner(BranchResult& winner) {
    switch (winner.branch) {
      case kCancel:
        reason_ = termination::Cancelled{};
        return std::nullopt;
      case kTimer:
        reason_ = termination::TimedOut{};
        return std::nullopt;
      case kExit: {
        if (winner.ec) return failure(SandboxError::execution(io_error_from(winner.ec)));
        auto polled = child_.try_wait_sync();
        if (!polled) return failure(SandboxError::execution(std::move(polled.error())));
        if (*polled) exit_ = **polled;
        return std::nullopt;
      }
      default:
        if (winner.ec || !winner.event) broken_invariant("the output event channel closed");
        return handle_event(std::move(*winner.event));
    }
  }

  std::optional<SandboxError> handle_event(StreamEvent event) {
    switch (event.kind) {
      case StreamEvent::Kind::Completed:
        slots_[event.stream] = std::move(event.data);
        return std::nullopt;
      case StreamEvent::Kind::LimitExceeded:
        slots_[event.stream] = std::move(event.data);
        if (event.stream == 0) {
          reason_ = termination::StdoutLimitExceeded{};
        } else {
          reason_ = termination::StderrLimitExceeded{};
        }
        return std::nullopt;
      case StreamEvent::Kind::ReadFailed:
        return failure(event.stream == 0 ? SandboxError::stdout_read(std::move(*event.error))
                                         : SandboxError::stderr_read(std::move(*event.error)));
    }
    broken_invariant("unknown stream event");
  }

  SandboxError failure(SandboxError error) { return std::move(error).with_executable(executable_); }

  ExecutionOutput output(Termination termination) {
    ExecutionOutput out;
    out.stdout_bytes = slots_[0] ? std::move(*slots_[0]) : Bytes();
    out.stderr_bytes = slots_[1] ? std::move(*slots_[1]) : Bytes();
    out.executable = executable_;
    auto* exited = std::get_if<termination::Exited>(&termination);
    out.success = exited && exited->exit.code == 0;
    out.termination = std::move(termination);
    out.enforcement = EnforcementLevel::Degraded;
    return out;
  }

  asio::awaitable<std::expected<ExecutionOutput, SandboxError>> complete_naturally() {
    // The child and both pipes have ended. The input writer can only still
    // be busy if a process outside the group holds the input open without
    // reading it; it gets a short grace, not forever.
    if (!writer_->outcome) {
      asio::steady_timer grace(executor_);
      grace.expires_after(kPipeGrace);
      co_await make_parallel_group(
          [&](auto token) { return writer_->done.async_receive(std::move(token)); },
          [&](auto token) { return grace.async_wait(std::move(token)); })
          .async_wait(wait_for_one(), asio::use_awaitable);
    }
    if (!writer_->outcome) {
      writer_->abort();
      co_return std::unexpected(failure(SandboxError::stdin(IoError::other(
          "the child exited before reading all of its input, and a process outside its group "
          "holds the input open"))));
    }
    const WriterOutcome& outcome = *writer_->outcome;
    if (outcome.task_failed) {
      co_return std::unexpected(
          failure(SandboxError::execution(IoError::other("the input writer task failed"))));
    }
    if (!outcome.result) {
      co_return std::unexpected(failure(SandboxError::stdin(outcome.result.error())));
    }
    co_return output(termination::Exited{*exit_});
  }

  asio::awaitable<std::expected<ExecutionOutput, SandboxError>> terminate() {
    terminate_process_tree(child_, *container_);
    (void)co_await child_.wait();
    co_await drain();
    writer_->abort();
    co_return output(std::move(*reason_));
  }

  // Collects the readers' final events after the kill. A reader whose pipe a
  // process outside the group keeps open is stopped after the grace, and
  // reports what it captured.
  asio::awaitable<void> drain() {
    asio::steady_timer grace(executor_);
    grace.expires_after(kPipeGrace);
    bool stopped = false;
    while (!slots_[0] || !slots_[1]) {
      std::optional<StreamEvent> event = std::move(pending_);
      pending_.reset();
      if (!event && !stopped) {
        auto done = co_await make_parallel_group(
                        [&](auto token) { return events_->async_receive(std::move(token)); },
                        [&](auto token) { return grace.async_wait(std::move(token)); })
                        .async_wait(wait_for_one(), asio::use_awaitable);
        auto& [order, receive_ec, received, grace_ec] = done;
        (void)order;
        if (!receive_ec) {
          event = std::move(received);
        } else if (!grace_ec) {
          for (std::size_t s = 0; s < 2; ++s) {
            if (!slots_[s]) readers_[s]->stop();
          }
          stopped = true;
          continue;
        } else {
          co_return;  // the channel failed: nothing more will come
        }
      } else if (!event) {
        auto [ec, received] = co_await events_->async_receive(use_tuple);
        if (ec) co_return;
        event = std::move(received);
      }
      if (event->kind == StreamEvent::Kind::ReadFailed) co_return;
      if (!slots_[event->stream]) slots_[event->stream] = std::move(event->data);
    }
  }

  asio::any_io_executor executor_;
  ExecutionRequest request_;
  CancellationToken cancellation_;
  ExecutableIdentity executable_;
  ChildProcess child_;
  std::shared_ptr<ProcessContainer> container_;
  LiveRegistration live_;
  // Under the Linux sandbox launcher: its report, read once the run is over.
  platform::UniqueFd launcher_status_;
  asio::steady_timer timer_;
  std::shared_ptr<StreamEventChannel> events_;
  std::shared_ptr<InputWriter> writer_;
  std::array<std::shared_ptr<ReaderControl>, 2> readers_;

  std::array<std::optional<Bytes>, 2> slots_;
  std::optional<ProcessExit> exit_;
  std::optional<Termination> reason_;
  std::optional<StreamEvent> pending_;
};

}  // namespace

asio::awaitable<std::expected<ExecutionOutput, SandboxError>> execute_with_cancellation(
    ExecutionRequest request, Bytes input, CancellationToken cancellation) {
  auto started = start_child(request, input);
  if (!started) co_return std::unexpected(std::move(started.error()));
  auto executor = co_await asio::this_coro::executor;
  const bool input_empty = input.empty();
  Run run(executor, std::move(request), std::move(cancellation), std::move(*started), input_empty);
  co_return co_await run.run(std::move(input));
}

void start_run(ExecutionRequest request, Bytes input, CancellationToken cancellation,
               RunCallback done) {
  asio::co_spawn(
      runtime::make_strand(),
      execute_with_cancellation(std::move(request), std::move(input), std::move(cancellation)),
      [done = std::move(done)](std::exception_ptr failure,
                               std::expected<ExecutionOutput, SandboxError> result) mutable {
        if (failure) {
          std::string description = "unknown failure";
          try {
            std::rethrow_exception(failure);
          } catch (const std::exception& e) {
            description = e.what();
          } catch (...) {
          }
          done(TaskFailure{std::move(description)});
        } else if (result) {
          done(std::move(*result));
        } else {
          done(std::move(result.error()));
        }
      });
}

}  // namespace quellar
