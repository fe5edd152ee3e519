#include "reader.h"

#include <array>

#include "../asio_compat.h"
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

namespace quellar {

IoError io_error_from(const std::error_code& ec) {
  // Asio reports system errors through a category of its own.
  if (ec.category() == std::system_category() || ec.category() == asio::system_category()) {
    return IoError::from_errno(ec.value());
  }
  return IoError::other(ec.message());
}

void ReaderControl::stop() {
  stopped_ = true;
  std::error_code ignored;
  pipe_.cancel(ignored);
}

asio::awaitable<void> bounded_reader(std::shared_ptr<ReaderControl> control, std::uint64_t limit,
                                     std::uint8_t stream,
                                     std::shared_ptr<StreamEventChannel> sender) {
  constexpr auto use_tuple = asio_compat::as_tuple(asio::use_awaitable);
  ReadBuffer buffer;  // no allocation per read
  StreamEvent event;
  event.stream = stream;
  event.data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit, kReadBufferSize)));

  for (;;) {
    if (control->stopped()) break;  // Completed with what was captured
    auto [ec, n] = co_await control->pipe().async_read_some(buffer.next(), use_tuple);
    if (ec == asio::error::eof || (ec && control->stopped())) break;
    if (ec) {
      event.kind = StreamEvent::Kind::ReadFailed;
      event.error = io_error_from(ec);
      event.data.clear();  // what was read before a failure is not reported
      break;
    }
    const std::uint64_t have = event.data.size();
    if (n > limit - std::min(limit, have)) {
      // Keep exactly the first `limit` bytes and stop reading at once.
      event.data.append(buffer.data(), static_cast<std::size_t>(limit - std::min(limit, have)));
      event.kind = StreamEvent::Kind::LimitExceeded;
      break;
    }
    event.data.append(buffer.data(), n);
    buffer.used(n);
  }
  // Closing first lets the child's further writes fail at once.
  control->release_pipe();
  // Fails quietly when the run has already gone.
  co_await sender->async_send(std::move(event), use_tuple);
}

std::shared_ptr<ReaderControl> spawn_bounded_reader(Pipe source, std::uint64_t limit,
                                                    std::uint8_t stream,
                                                    std::shared_ptr<StreamEventChannel> sender) {
  auto executor = source.get_executor();
  auto control = std::make_shared<ReaderControl>(std::move(source));
  // Detached on purpose: a reader reports only through its event.
  asio::co_spawn(executor, bounded_reader(control, limit, stream, std::move(sender)),
                 asio::detached);
  return control;
}

}  // namespace quellar
