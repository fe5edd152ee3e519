// The input writer of a run: writes the caller's input to the child's
// standard input, then closes it. A child that exits or closes its input
// before reading everything ends the writing without a failure (a broken
// pipe is the child's choice); other write errors are the writer's result.
#pragma once

#include <expected>
#include <memory>
#include <optional>

#include "../host_fork.h"
#include "../io_error.h"
#include "../platform/fd.h"
#include "../policy.h"
#include "child_process.h"
#include "local_channel.h"

namespace quellar {

struct WriterOutcome {
  std::expected<void, IoError> result;
  bool task_failed = false;  // the task ended abnormally instead of returning
};

class InputWriter {
 public:
  // An empty input needs no task: the pipe is closed at once, and the writer
  // is done before the child could read.
  InputWriter(platform::UniqueFd fd, const asio::any_io_executor& executor, bool empty);
  InputWriter(const InputWriter&) = delete;
  InputWriter& operator=(const InputWriter&) = delete;

  // Starts writing `input` (the writer is shared with its task).
  static void start(std::shared_ptr<InputWriter> writer, Bytes input);
  // Stops the writer wherever it is; its result is never looked at.
  void abort();

  // Once it has finished.
  const std::optional<WriterOutcome>& outcome() const { return outcome_; }
  // Completes (with success) once it has finished, if it has not yet.
  LocalChannel<bool>& done() { return done_; }

 private:
  static asio::awaitable<std::expected<void, IoError>> write(std::shared_ptr<InputWriter> writer,
                                                             Bytes input);
  void finish(WriterOutcome outcome);

  std::optional<Pipe> pipe_;
  // A process forked from the host must not keep the child's input open.
  host_fork::CloseInForkedChild fork_close_;
  bool aborted_ = false;
  std::optional<WriterOutcome> outcome_;
  LocalChannel<bool> done_;
};

}  // namespace quellar
