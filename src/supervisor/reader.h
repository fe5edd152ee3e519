// Bounded output readers: each drains one output pipe of a running child
// into memory, never keeping more than its limit, and reports once, at the
// end, with a single StreamEvent. Stopping the child is the run's business.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <asio/experimental/channel.hpp>

#include "../io_error.h"
#include "child.h"

namespace quellar {

struct StreamEvent {
  enum class Kind : std::uint8_t { Completed = 0, LimitExceeded = 1, ReadFailed = 2 };
  Kind kind = Kind::Completed;
  std::uint8_t stream = 0;  // 0 standard output, 1 standard error
  Bytes data;               // Completed: all read; LimitExceeded: exactly the limit
  std::optional<IoError> error;  // ReadFailed
};

using StreamEventChannel = asio::experimental::channel<void(std::error_code, StreamEvent)>;

inline constexpr std::size_t kReadBufferSize = 8192;

// A reader's pipe, shared between the reader and whoever started it, so
// that the starter can end a reader that would otherwise wait for a pipe
// held open by a process outside the child's group. Used on the pipe's
// executor only.
class ReaderControl {
 public:
  explicit ReaderControl(Pipe pipe) : pipe_(std::move(pipe)) {}
  // Ends the reader's current and further reads (a bounded reader then
  // reports Completed with what it captured).
  void stop();
  bool stopped() const { return stopped_; }
  Pipe& pipe() { return pipe_; }

 private:
  Pipe pipe_;
  bool stopped_ = false;
};

// Starts a reader task on the pipe's executor. Nobody joins it: its only
// output is the one event it sends on `sender`.
std::shared_ptr<ReaderControl> spawn_bounded_reader(Pipe source, std::uint64_t limit,
                                                    std::uint8_t stream,
                                                    std::shared_ptr<StreamEventChannel> sender);

// The IoError for an error code from an asynchronous operation.
IoError io_error_from(const std::error_code& ec);

}  // namespace quellar
