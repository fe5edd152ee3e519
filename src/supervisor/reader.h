// Output readers: each drains one output pipe of a running child, never
// keeping or forwarding more than its limit, and reports once, at the end,
// with a ReaderEnd. A capture reader (run()) reads straight into its capture;
// an event reader (stream()) reads into chunks of at most kChunkSize bytes
// and puts them straight into the stream's queue, reading only when there is
// room. Stopping the child is the supervision's business, not the reader's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "../byte_buffer.h"
#include "../events/stream_queue.h"
#include "../io_error.h"
#include "../unique_function.h"
#include "child_process.h"

namespace quellar {

inline constexpr std::uint8_t kStdout = 0;
inline constexpr std::uint8_t kStderr = 1;

// How a reader ended: the one message it sends.
struct ReaderEnd {
  enum class Kind : std::uint8_t {
    Completed,      // end of file; a capture reader's data is everything read
    LimitExceeded,  // more than the limit came: a capture holds exactly the limit
    ReadFailed,     // a read failed; nothing captured is reported
    Failed,         // the reader's task itself failed (memory exhausted)
  };
  Kind kind = Kind::Completed;
  std::uint8_t stream = kStdout;
  ByteBuffer data;               // capture readers: Completed, LimitExceeded
  std::optional<IoError> error;  // ReadFailed, Failed
};

// Where a reader's end goes: called once, on the pipe's executor.
using ReaderEndSink = UniqueFunction<void(ReaderEnd)>;

// A reader's pipe, shared between the reader and whoever started it, so that
// the starter can end a reader that would otherwise wait for a pipe held open
// by a process outside the child's group. Used on the pipe's executor only.
class ReaderControl {
 public:
  explicit ReaderControl(Pipe pipe) : pipe_(std::move(pipe)) {}
  // Ends the reader's current and further reads (it then reports Completed
  // with what it has).
  void stop();
  bool stopped() const { return stopped_; }
  Pipe& pipe() { return pipe_; }
  // Closes the pipe once its reader is done with it (the end of file, a
  // limit, a failure): the child's further writes fail at once.
  void release_pipe() {
    std::error_code ignored;
    pipe_.close(ignored);
  }

 private:
  Pipe pipe_;
  bool stopped_ = false;
};

// Starts a capture reader on the pipe's executor. Nobody joins it: its only
// output is the one ReaderEnd it hands to `on_end`.
std::shared_ptr<ReaderControl> start_capture_reader(Pipe source, std::uint64_t limit,
                                                    std::uint8_t stream, ReaderEndSink on_end);

// Starts an event reader on the pipe's executor: chunks go into `queue` (and
// are appended to `capture` too, when given); its ReaderEnd carries no data.
std::shared_ptr<ReaderControl> start_event_reader(Pipe source, std::uint64_t limit,
                                                  std::uint8_t stream,
                                                  std::shared_ptr<StreamQueue> queue,
                                                  std::shared_ptr<ByteBuffer> capture,
                                                  ReaderEndSink on_end);

}  // namespace quellar
