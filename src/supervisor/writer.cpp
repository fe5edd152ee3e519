#include "writer.h"

#include <asio/co_spawn.hpp>

#include "../asio_compat.h"

namespace quellar {

InputWriter::InputWriter(platform::UniqueFd fd, const asio::any_io_executor& executor, bool empty)
    : done_(executor, 1) {
  if (empty) {
    outcome_ = WriterOutcome{};
  } else {
    fork_close_ = host_fork::CloseInForkedChild(fd.get());
    pipe_.emplace(executor, fd.release());
  }
}

void InputWriter::abort() {
  aborted_ = true;
  std::error_code ignored;
  if (pipe_) pipe_->cancel(ignored);
}

void InputWriter::finish(WriterOutcome outcome) {
  outcome_ = std::move(outcome);
  bool told = true;
  done_.try_send(told);
}

asio::awaitable<std::expected<void, IoError>> InputWriter::write(std::shared_ptr<InputWriter> writer,
                                                                 Bytes input) {
  std::size_t written = 0;
  std::expected<void, IoError> result;
  while (written < input.size() && !writer->aborted_) {
    auto [ec, n] = co_await writer->pipe_->async_write_some(
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
  writer->fork_close_.release();
  std::error_code ignored;
  writer->pipe_->close(ignored);
  co_return result;
}

void InputWriter::start(std::shared_ptr<InputWriter> writer, Bytes input) {
  if (writer->outcome_) return;  // nothing to write
  auto executor = writer->pipe_->get_executor();
  // Detached on purpose: the writer reports through its outcome; a task
  // that fails says so there too.
  asio::co_spawn(executor, write(writer, std::move(input)),
                 [writer](std::exception_ptr failure, std::expected<void, IoError> result) {
                   writer->finish(WriterOutcome{std::move(result), failure != nullptr});
                 });
}

}  // namespace quellar
