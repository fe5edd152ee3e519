// Bounded output readers: each drains one output pipe of a running child
// into memory, never keeping more than its limit, and reports once, at the
// end, with a single StreamEvent. Stopping the child is the run's business.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>


#include "../io_error.h"
#include "child.h"
#include "local_channel.h"

namespace quellar {

struct StreamEvent {
  enum class Kind : std::uint8_t { Completed = 0, LimitExceeded = 1, ReadFailed = 2 };
  Kind kind = Kind::Completed;
  std::uint8_t stream = 0;  // 0 standard output, 1 standard error
  Bytes data;               // Completed: all read; LimitExceeded: exactly the limit
  std::optional<IoError> error;  // ReadFailed
};

using StreamEventChannel = LocalChannel<StreamEvent>;

inline constexpr std::size_t kReadBufferSize = 8192;
inline constexpr std::size_t kBulkReadSize = 65536;

// A reader's buffer: kReadBufferSize bytes inside the task's own frame. A
// reader whose reads keep filling it (a child writing in bulk) switches, once,
// to a larger buffer: it then drains the pipe with fewer system calls and
// wakes the writing child (blocked on a full pipe) less often. A quiet child
// costs no more than the small buffer.
class ReadBuffer {
 public:
  asio::mutable_buffer next() {
    return bulk_ ? asio::buffer(bulk_.get(), kBulkReadSize) : asio::buffer(small_);
  }
  const char* data() const { return bulk_ ? bulk_.get() : small_.data(); }
  // Once the `n` bytes of the last read have been used.
  void used(std::size_t n) {
    if (!bulk_ && n == small_.size()) bulk_ = std::make_unique<char[]>(kBulkReadSize);
  }

 private:
  std::array<char, kReadBufferSize> small_{};
  std::unique_ptr<char[]> bulk_;
};

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
  // Closes the pipe once its reader is done with it (a limit, a failure).
  void release_pipe() {
    std::error_code ignored;
    pipe_.close(ignored);
  }
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
