#include "reader.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <span>

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>

#include "../asio_compat.h"

namespace quellar {
namespace {

// A capture reader starts with reads of this size; each read that comes
// back full doubles the next one, up to a buffer block (a child writing in
// bulk is then drained with few system calls, while a quiet one costs
// little).
constexpr std::size_t kFirstRead = 8192;
constexpr std::size_t kLargestRead = ByteBuffer::kLargestBlock;
// An event reader reading in bulk fills up to this many chunks per read.
constexpr std::size_t kChunksPerRead = 8;
constexpr std::size_t kChunk = StreamQueue::kChunkSize;

enum class Read { Data, End, Failed };

// A child writing in bulk fills a pipe's default 64 KiB between two
// wake-ups of its reader. A larger pipe, up to what the host allows without
// privileges (/proc/sys/fs/pipe-max-size, 1 MiB by default), lets the child
// write on while the reader copies, with a wake-up per megabyte. A refusal
// (a user past its pipe budget) leaves the pipe as it was.
constexpr std::size_t kDefaultPipeSize = 64 * 1024;

void grow_pipe([[maybe_unused]] Pipe& pipe) {
#ifdef F_SETPIPE_SZ
  constexpr int kBulkPipeSize = 1 << 20;
  (void)::fcntl(pipe.native_handle(), F_SETPIPE_SZ, kBulkPipeSize);
#endif
}

// One byte more, once the limit has been reached: whether it was passed.
asio::awaitable<std::pair<Read, std::error_code>> probe(ReaderControl& control) {
  char byte;
  auto [ec, n] = co_await control.pipe().async_read_some(asio::buffer(&byte, 1), use_tuple);
  if (ec == asio::error::eof || (ec && control.stopped())) co_return std::pair{Read::End, ec};
  if (ec) co_return std::pair{Read::Failed, ec};
  co_return std::pair{n > 0 ? Read::Data : Read::End, ec};
}

asio::awaitable<ReaderEnd> capture(std::shared_ptr<ReaderControl> control, std::uint64_t limit,
                                   std::uint8_t stream) {
  ReaderEnd end{ReaderEnd::Kind::Completed, stream, {}, {}};
  ByteBuffer& data = end.data;
  std::size_t read_size = kFirstRead;
  bool grown = false;
  for (;;) {
    if (control->stopped()) break;
    const std::uint64_t left = limit - data.size();
    if (left == 0) {
      auto [read, ec] = co_await probe(*control);
      if (read == Read::Data) end.kind = ReaderEnd::Kind::LimitExceeded;
      if (read == Read::Failed) {
        end = ReaderEnd{ReaderEnd::Kind::ReadFailed, stream, {}, io_error_from(ec)};
      }
      break;
    }
    const std::span<char> target =
        data.room(static_cast<std::size_t>(std::min<std::uint64_t>(left, read_size)));
    auto [ec, n] = co_await control->pipe().async_read_some(
        asio::buffer(target.data(), target.size()), use_tuple);
    if (ec == asio::error::eof || (ec && control->stopped())) break;
    if (ec) {
      // What was read before a failure is not reported.
      end = ReaderEnd{ReaderEnd::Kind::ReadFailed, stream, {}, io_error_from(ec)};
      break;
    }
    data.commit(n);
    if (n == kDefaultPipeSize && !grown) {
      grow_pipe(control->pipe());
      grown = true;
    }
    if (n == target.size()) read_size = std::min(read_size * 2, kLargestRead);
  }
  control->release_pipe();
  co_return end;
}

// Completes once the queue has room again (or ended, or lost its consumer).
template <class CompletionToken>
auto async_room(StreamQueue& queue, const asio::any_io_executor& executor, CompletionToken&& token) {
  return asio::async_initiate<CompletionToken, void()>(
      [&queue, executor](auto handler) {
        queue.when_room(executor, [h = std::move(handler)]() mutable { std::move(h)(); });
      },
      token);
}

// A chunk buffer of kChunk bytes, left uninitialised (the read fills it).
Bytes chunk_buffer() {
  Bytes buffer;
  buffer.resize_and_overwrite(kChunk, [](char*, std::size_t n) { return n; });
  return buffer;
}

asio::awaitable<ReaderEnd> forward(std::shared_ptr<ReaderControl> control, std::uint64_t limit,
                                   std::uint8_t stream, std::shared_ptr<StreamQueue> queue,
                                   std::shared_ptr<ByteBuffer> capture) {
  const auto executor = co_await asio::this_coro::executor;
  const auto kind = stream == kStdout ? StreamItem::Kind::Stdout : StreamItem::Kind::Stderr;
  ReaderEnd end{ReaderEnd::Kind::Completed, stream, {}, {}};
  std::uint64_t delivered = 0;
  std::vector<Bytes> buffers;            // ready for the next read
  std::optional<StreamItem> held;        // a chunk waiting for room
  bool bulk = false;                     // the last read came back full
  auto gone = [&] { return queue->finished() || queue->consumer_gone().is_cancelled(); };

  for (;;) {
    // Looked at once per read: a queue that ends meanwhile drops what is
    // pushed, and the next look stops the reader.
    bool ended = gone();
    while (held && !ended) {
      if (queue->try_push(*held)) {
        held.reset();
        break;
      }
      co_await async_room(*queue, executor, asio::use_awaitable);
      ended = gone();
    }
    if (ended || control->stopped()) break;

    const std::uint64_t left = limit - delivered;
    if (left == 0) {
      auto [read, ec] = co_await probe(*control);
      if (read == Read::Data) end.kind = ReaderEnd::Kind::LimitExceeded;
      if (read == Read::Failed) end = ReaderEnd{ReaderEnd::Kind::ReadFailed, stream, {}, io_error_from(ec)};
      break;
    }
    // One chunk is always this reader's own (the one it may hold); more only
    // in bulk, as many as the queue has room reserved for.
    const std::uint64_t chunks_left = (left + kChunk - 1) / kChunk;
    std::size_t reserved = 0;
    if (bulk && chunks_left > 1) {
      reserved = queue->reserve(std::min<std::uint64_t>(kChunksPerRead - 1, chunks_left - 1));
    }
    const std::size_t count = reserved + 1;
    while (buffers.size() < count) buffers.push_back(chunk_buffer());
    std::array<asio::mutable_buffer, kChunksPerRead> targets;
    std::uint64_t asked = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, left - asked));
      targets[i] = asio::buffer(buffers[i].data(), size);
      asked += size;
    }
    auto [ec, n] = co_await control->pipe().async_read_some(
        std::span<asio::mutable_buffer>(targets.data(), count), use_tuple);
    if (ec) {
      queue->unreserve(reserved);
      if (ec == asio::error::eof || control->stopped()) break;
      end = ReaderEnd{ReaderEnd::Kind::ReadFailed, stream, {}, io_error_from(ec)};
      break;
    }
    delivered += n;
    bulk = n == asked && asked == count * kChunk;
    const std::size_t filled = (n + kChunk - 1) / kChunk;
    for (std::size_t i = 0; i < filled; ++i) {
      Bytes data = std::move(buffers[i]);
      data.resize(std::min(kChunk, n - i * kChunk));
      // A short chunk (a line) does not keep a whole chunk's memory while
      // it waits, or while the consumer keeps its event.
      if (data.size() < kChunk / 4) data.shrink_to_fit();
      if (capture) capture->append(data);
      StreamItem item{kind, std::move(data), nullptr, nullptr, nullptr};
      if (i < reserved) {
        queue->push_reserved(std::move(item));
      } else {
        held = std::move(item);  // pushed at the top of the loop, room permitting
      }
    }
    if (filled < reserved) queue->unreserve(reserved - filled);
    buffers.erase(buffers.begin(), buffers.begin() + static_cast<std::ptrdiff_t>(filled));
  }
  // A chunk read before the end (or before a failure) still goes in, if it
  // can: nothing read is dropped while the consumer is there.
  while (held && !gone()) {
    if (queue->try_push(*held)) break;
    co_await async_room(*queue, executor, asio::use_awaitable);
  }
  control->release_pipe();
  co_return end;
}

// Runs a reader task; whatever way it ends, one ReaderEnd is handed over.
template <class Task>
std::shared_ptr<ReaderControl> start(Pipe source, std::uint8_t stream, ReaderEndSink on_end,
                                     Task task) {
  auto executor = source.get_executor();
  auto control = std::make_shared<ReaderControl>(std::move(source));
  // Detached on purpose: a reader reports only through its end. A task
  // that fails (memory exhausted) reports that instead of ending unseen.
  asio::co_spawn(executor, task(control),
                 [on_end = std::move(on_end), stream](std::exception_ptr failure, ReaderEnd end) mutable {
                   if (failure) {
                     end = ReaderEnd{ReaderEnd::Kind::Failed, stream, {}, IoError::other("the output reader failed")};
                     try {
                       std::rethrow_exception(failure);
                     } catch (const std::bad_alloc&) {
                       end.error = IoError::other("the output reader ran out of memory");
                     } catch (...) {
                     }
                   }
                   on_end(std::move(end));
                 });
  return control;
}

}  // namespace

void ReaderControl::stop() {
  stopped_ = true;
  std::error_code ignored;
  pipe_.cancel(ignored);
}

std::shared_ptr<ReaderControl> start_capture_reader(Pipe source, std::uint64_t limit,
                                                    std::uint8_t stream, ReaderEndSink on_end) {
  return start(std::move(source), stream, std::move(on_end),
               [limit, stream](std::shared_ptr<ReaderControl> control) {
                 return capture(std::move(control), limit, stream);
               });
}

std::shared_ptr<ReaderControl> start_event_reader(Pipe source, std::uint64_t limit,
                                                  std::uint8_t stream,
                                                  std::shared_ptr<StreamQueue> queue,
                                                  std::shared_ptr<ByteBuffer> capture,
                                                  ReaderEndSink on_end) {
  return start(std::move(source), stream, std::move(on_end),
               [limit, stream, queue = std::move(queue),
                capture = std::move(capture)](std::shared_ptr<ReaderControl> control) mutable {
                 return forward(std::move(control), limit, stream, std::move(queue), std::move(capture));
               });
}

}  // namespace quellar
