// An ordered stream of events over one running child: a start event, its
// standard output and standard error in chunks as they are read, and an exit
// event carrying its receipt. Two reader tasks feed a bounded channel that
// the stream drains. Byte limits and read failures stop the child here; time
// limits and cancellation belong to the caller, which uses shutdown().
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <variant>

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include "../error.h"
#include "../policy.h"
#include "../supervisor/child.h"
#include "../supervisor/local_channel.h"
#include "../supervisor/reader.h"

namespace quellar {

namespace event_message {
struct Stdout {
  Bytes data;
};
struct Stderr {
  Bytes data;
};
struct LimitExceeded {
  bool from_stdout;
};
struct ReadFailed {
  bool from_stdout;
  IoError error;
};
struct Finished {};
}  // namespace event_message

// What a stream reader sends to its stream.
using EventMessage = std::variant<event_message::Stdout, event_message::Stderr,
                                  event_message::LimitExceeded, event_message::ReadFailed,
                                  event_message::Finished>;
using EventMessageChannel = LocalChannel<EventMessage>;

namespace process_event {
struct Started {
  ExecutableIdentity executable;
  std::optional<std::uint32_t> pid;
};
struct Stdout {
  Bytes data;
};
struct Stderr {
  Bytes data;
};
struct Exited {
  ProcessReceipt receipt;
};
}  // namespace process_event

using ProcessEvent = std::variant<process_event::Started, process_event::Stdout,
                                  process_event::Stderr, process_event::Exited>;

struct EndOfStream {};
// next() was cancelled while it waited; it took nothing and changed nothing
// that a later call would miss.
struct Interrupted {};

using NextResult = std::variant<EndOfStream, ProcessEvent, SandboxError, Interrupted>;

inline constexpr std::size_t kEventChannelCapacity = 32;
inline constexpr std::chrono::milliseconds kExitPollInterval{10};
inline constexpr std::chrono::milliseconds kErrorStopGrace{100};

class ProcessEventStream {
 public:
  // Takes the child whole; its standard input stays where it is.
  static std::expected<ProcessEventStream, SandboxError> create(SupervisedChild child);

  ProcessEventStream(ProcessEventStream&&) noexcept = default;
  ProcessEventStream& operator=(ProcessEventStream&&) = delete;
  ~ProcessEventStream();

  // The next event, an error, or the end of the stream. Runs on the child's
  // strand. A cancelled wait returns Interrupted; a cancelled stop of the
  // child (after a limit or read error) drops the child, killing its group.
  asio::awaitable<NextResult> next();

  // The next result if it is there without waiting (and without stopping the
  // child), else nothing; what it took is kept for the next call of next().
  std::optional<NextResult> poll_next();

  // Ends the stream early: stops a child still held (half the grace, SIGTERM
  // to the group, the other half, SIGKILL), or hands back the receipt of one
  // already reaped. Discards output still queued.
  static asio::awaitable<std::expected<ProcessReceipt, SandboxError>> shutdown(
      ProcessEventStream stream, std::chrono::nanoseconds grace);

  const runtime::Strand& strand() const { return strand_; }

 private:
  // One synchronous pass of next(): what it found, and what next() must do.
  struct Pass {
    enum class Kind { Ready, WaitForMessage, PollExit, StopChild } kind;
    std::optional<NextResult> result;  // Ready
  };

  explicit ProcessEventStream(runtime::Strand strand) : strand_(std::move(strand)) {}
  Pass pass();
  std::optional<NextResult> handle(EventMessage message);
  std::optional<NextResult> finish_if_closed();

  runtime::Strand strand_;
  std::optional<SupervisedChild> child_;
  ExecutableIdentity executable_;
  std::optional<ProcessReceipt> receipt_;
  std::optional<std::uint32_t> pid_;
  std::shared_ptr<EventMessageChannel> receiver_;
  std::array<std::shared_ptr<ReaderControl>, 2> readers_;
  std::uint64_t finished_readers_ = 0;
  bool start_sent_ = false;
  // A limit or read error taken by poll_next(): the child must be stopped
  // before it is returned, which needs waiting.
  std::optional<SandboxError> stop_error_;
  std::unique_ptr<asio::steady_timer> poll_timer_;
};

// Starts one stream reader; nobody joins it. The control lets the stream end
// it when the stream goes away while the reader waits on a pipe.
std::shared_ptr<ReaderControl> spawn_reader(Pipe source, std::uint64_t limit, bool from_stdout,
                                            std::shared_ptr<EventMessageChannel> sender);

}  // namespace quellar
