#include "process_event_stream.h"

#include <array>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include "../asio_compat.h"

namespace quellar {
namespace {

constexpr auto use_tuple = asio_compat::as_tuple(asio::use_awaitable);

// Sends one message, waiting for room; false once the stream has gone.
asio::awaitable<bool> send(EventMessageChannel& channel, EventMessage message) {
  auto [ec] = co_await channel.async_send(std::move(message), use_tuple);
  co_return !ec;
}

EventMessage chunk(bool from_stdout, const char* data, std::size_t size) {
  if (from_stdout) return event_message::Stdout{Bytes(data, size)};
  return event_message::Stderr{Bytes(data, size)};
}

asio::awaitable<void> stream_reader(std::shared_ptr<ReaderControl> control, std::uint64_t limit,
                                    bool from_stdout, std::shared_ptr<EventMessageChannel> sender) {
  Pipe& source = control->pipe();
  // No allocation per read; each chunk (at most kReadBufferSize bytes, as a
  // chunk handed to a consumer always is) is copied once, into a string of
  // exactly its length.
  ReadBuffer buffer;
  std::uint64_t delivered = 0;
  for (;;) {
    auto [ec, n] = co_await source.async_read_some(buffer.next(), use_tuple);
    if (ec == asio::error::eof) {
      co_await send(*sender, event_message::Finished{});
      co_return;
    }
    if (ec && control->stopped()) co_return;  // the stream is gone
    if (ec) {
      control->release_pipe();
      co_await send(*sender, event_message::ReadFailed{from_stdout, io_error_from(ec)});
      co_await send(*sender, event_message::Finished{});
      co_return;
    }
    for (std::size_t offset = 0; offset < n;) {
      const std::size_t piece = std::min(kReadBufferSize, n - offset);
      const std::uint64_t remaining = limit > delivered ? limit - delivered : 0;
      if (piece <= remaining) {
        delivered += piece;
        if (!co_await send(*sender, chunk(from_stdout, buffer.data() + offset, piece))) co_return;
        offset += piece;
        continue;
      }
      // Bytes beyond the limit are never forwarded, and reading stops here:
      // the pipe goes at once, so that the child's further writes fail.
      control->release_pipe();
      if (remaining > 0) {
        co_await send(*sender, chunk(from_stdout, buffer.data() + offset,
                                     static_cast<std::size_t>(remaining)));
      }
      co_await send(*sender, event_message::LimitExceeded{from_stdout});
      co_await send(*sender, event_message::Finished{});
      co_return;
    }
    buffer.used(n);
  }
}

SandboxError unavailable(const char* what) { return SandboxError::execution(IoError::other(what)); }

}  // namespace

std::shared_ptr<ReaderControl> spawn_reader(Pipe source, std::uint64_t limit, bool from_stdout,
                                            std::shared_ptr<EventMessageChannel> sender) {
  auto executor = source.get_executor();
  auto control = std::make_shared<ReaderControl>(std::move(source));
  // Detached on purpose: a reader reports only through its messages.
  asio::co_spawn(executor, stream_reader(control, limit, from_stdout, std::move(sender)),
                 asio::detached);
  return control;
}

std::expected<ProcessEventStream, SandboxError> ProcessEventStream::create(SupervisedChild child) {
  if (!child.stdout_pipe) return std::unexpected(unavailable("stdout unavailable"));
  Pipe out = std::move(*child.stdout_pipe);
  child.stdout_pipe.reset();
  if (!child.stderr_pipe) return std::unexpected(unavailable("stderr unavailable"));
  Pipe err = std::move(*child.stderr_pipe);
  child.stderr_pipe.reset();

  ProcessEventStream stream(child.strand);
  stream.executable_ = child.executable;
  stream.pid_ = child.pid;
  stream.receiver_ = std::make_shared<EventMessageChannel>(child.strand, kEventChannelCapacity);
  stream.poll_timer_ = std::make_unique<asio::steady_timer>(child.strand);
  stream.readers_[0] = spawn_reader(std::move(out), child.max_stdout_bytes, true, stream.receiver_);
  stream.readers_[1] = spawn_reader(std::move(err), child.max_stderr_bytes, false, stream.receiver_);
  stream.child_.emplace(std::move(child));
  return stream;
}

ProcessEventStream::~ProcessEventStream() {
  // Readers waiting to send find the stream gone and end; readers waiting
  // on a pipe that a process outside the group holds open are ended too.
  if (receiver_) receiver_->close();
  for (const auto& reader : readers_) {
    if (reader) reader->stop();
  }
}

std::optional<NextResult> ProcessEventStream::handle(EventMessage message) {
  if (auto* out = std::get_if<event_message::Stdout>(&message)) {
    return ProcessEvent(process_event::Stdout{std::move(out->data)});
  }
  if (auto* err = std::get_if<event_message::Stderr>(&message)) {
    return ProcessEvent(process_event::Stderr{std::move(err->data)});
  }
  if (auto* limit = std::get_if<event_message::LimitExceeded>(&message)) {
    stop_error_ = limit->from_stdout ? SandboxError::output_too_large()
                                     : SandboxError::stderr_too_large();
  } else if (auto* failed = std::get_if<event_message::ReadFailed>(&message)) {
    stop_error_ = failed->from_stdout ? SandboxError::stdout_read(std::move(failed->error))
                                      : SandboxError::stderr_read(std::move(failed->error));
  } else {
    ++finished_readers_;
  }
  return std::nullopt;
}

ProcessEventStream::Pass ProcessEventStream::pass() {
  using Kind = Pass::Kind;
  if (stop_error_) return {Kind::StopChild, std::nullopt};
  if (!start_sent_) {
    start_sent_ = true;
    return {Kind::Ready, NextResult(ProcessEvent(process_event::Started{executable_, pid_}))};
  }
  for (;;) {
    if (child_) {
      auto exited = child_->child->try_wait_sync();
      if (!exited) {
        return {Kind::Ready, NextResult(SandboxError::execution(std::move(exited.error())))};
      }
      if (*exited) {
        // Held back until both readers have finished, so that every chunk
        // read before the end comes first.
        receipt_ = child_->complete(termination::Exited{**exited});
        child_.reset();
      }
    }
    std::optional<EventMessage> message = receiver_->try_receive();
    if (message) {
      if (auto result = handle(std::move(*message))) return {Kind::Ready, std::move(result)};
      if (stop_error_) return {Kind::StopChild, std::nullopt};
      continue;
    }
    // Each reader's last message is Finished: after two, nothing more comes.
    if (finished_readers_ < 2) return {Kind::WaitForMessage, std::nullopt};
    if (child_) return {Kind::PollExit, std::nullopt};
    if (receipt_) {
      ProcessReceipt receipt = std::move(*receipt_);
      receipt_.reset();
      return {Kind::Ready, NextResult(ProcessEvent(process_event::Exited{std::move(receipt)}))};
    }
    return {Kind::Ready, NextResult(EndOfStream{})};
  }
}

std::optional<NextResult> ProcessEventStream::poll_next() {
  Pass step = pass();
  if (step.kind == Pass::Kind::Ready) return std::move(step.result);
  return std::nullopt;
}

asio::awaitable<NextResult> ProcessEventStream::next() {
  for (;;) {
    Pass step = pass();
    switch (step.kind) {
      case Pass::Kind::Ready:
        co_return std::move(*step.result);
      case Pass::Kind::StopChild: {
        SandboxError error = std::move(*stop_error_);
        stop_error_.reset();
        if (child_) {
          SupervisedChild child = std::move(*child_);
          child_.reset();
          // Its receipt or error is not reported: the limit or read error is.
          (void)co_await SupervisedChild::shutdown(std::move(child), kErrorStopGrace);
        }
        co_return error;
      }
      case Pass::Kind::WaitForMessage: {
        auto [ec, message] = co_await receiver_->async_receive(use_tuple);
        // The channel is closed only by the stream's own drop, so an error
        // here is this wait being cancelled: nothing was taken.
        if (ec) co_return Interrupted{};
        if (auto result = handle(std::move(message))) co_return std::move(*result);
        break;
      }
      case Pass::Kind::PollExit: {
        // Both pipes have ended but the child runs on: poll its exit.
        poll_timer_->expires_after(kExitPollInterval);
        auto [ec] = co_await poll_timer_->async_wait(use_tuple);
        if (ec) co_return Interrupted{};
        break;
      }
    }
  }
}

asio::awaitable<std::expected<ProcessReceipt, SandboxError>> ProcessEventStream::shutdown(
    ProcessEventStream stream, std::chrono::nanoseconds grace) {
  std::optional<SupervisedChild> child = std::move(stream.child_);
  stream.child_.reset();
  if (child) co_return co_await SupervisedChild::shutdown(std::move(*child), grace);
  if (stream.receipt_) {
    ProcessReceipt receipt = std::move(*stream.receipt_);
    stream.receipt_.reset();
    co_return receipt;
  }
  co_return std::unexpected(SandboxError::execution(IoError::other("session already completed")));
}

}  // namespace quellar
