// The queue a stream's consumer reads: its readers put the child's output
// chunks straight into it, the stream's supervision puts the start event
// first and the exit event or the error last, and the consumer takes them.
//
// Back-pressure: at most kCapacity items wait here. A reader reads only when
// there is room, as many chunks as there is room for (reserved before the
// read), plus the one chunk it may hold while it waits for room; so at most
// kCapacity + 2 chunks of at most kChunkSize bytes are in memory, and a
// consumer that stops taking blocks the child on its full pipe.
//
// The consumer claims items before it takes them: the n-th claim gets the
// n-th item. An item leaves the queue only when its claim is taken, which
// the consumer does in the code that resumes with it; a claim given up
// (withdrawn) leaves its item to the next claim, and an item taken back
// (given back) returns to its place. So a cancelled wait loses nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include <asio/any_io_executor.hpp>

#include "../byte_buffer.h"
#include "../cancellation.h"
#include "../error.h"
#include "../outcome.h"
#include "../policy.h"
#include "../unique_function.h"

namespace quellar {

// The final result of a stream: the child's receipt (its termination set to
// why the stream ended) and what was captured (empty unless capturing).
struct StreamResult {
  ProcessReceipt receipt;
  ByteBuffer stdout_bytes;
  ByteBuffer stderr_bytes;
};

// Which child a stream runs (the bindings do not expose it).
struct StreamStart {
  ExecutableIdentity executable;
  std::optional<std::uint32_t> pid;
};

// A value kept out of line: owned like a unique_ptr, copied with what it
// points to (an event is a value: a consumer may copy one).
template <class T>
class OutOfLine {
 public:
  OutOfLine() = default;
  OutOfLine(std::nullptr_t) {}
  OutOfLine(std::unique_ptr<T> value) : value_(std::move(value)) {}
  OutOfLine(const OutOfLine& other)
      : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
  OutOfLine& operator=(const OutOfLine& other) {
    if (this != &other) *this = OutOfLine(other);
    return *this;
  }
  OutOfLine(OutOfLine&&) noexcept = default;
  OutOfLine& operator=(OutOfLine&&) noexcept = default;

  explicit operator bool() const { return value_ != nullptr; }
  T& operator*() const { return *value_; }
  T* operator->() const { return value_.get(); }
  // Takes the value out, leaving nothing.
  std::unique_ptr<T> take() { return std::move(value_); }

 private:
  std::unique_ptr<T> value_;
};

// One event. The payloads of the one-off events live out of line: a chunk
// is small, so that the queue's deque holds many per block instead of one
// (an allocation per chunk, under the queue's lock).
struct StreamItem {
  enum class Kind : std::uint8_t { Started, Stdout, Stderr, Exited, Error };
  Kind kind = Kind::Started;
  Bytes data;                          // Stdout, Stderr: at most kChunkSize bytes
  OutOfLine<StreamResult> result;      // Exited
  OutOfLine<SandboxError> error;       // Error: the stream failed; nothing follows
  OutOfLine<StreamStart> start;        // Started
};

// What taking a claim gives: the item, or nothing once the stream has ended
// and every item has been taken.
using Received = std::optional<StreamItem>;

// What a claim on the final result gives (closing a stream): no result, the
// result, or the error the stream ended with.
struct NoResult {};
using Collected = std::variant<NoResult, StreamResult, SandboxError>;

class StreamQueue {
 public:
  static constexpr std::size_t kCapacity = 32;
  static constexpr std::size_t kChunkSize = 8192;
  using Claim = std::uint64_t;

  explicit StreamQueue(CancellationToken stream_token);
  StreamQueue(const StreamQueue&) = delete;
  StreamQueue& operator=(const StreamQueue&) = delete;

  // ---- the consumer (any thread)

  // The next item not yet claimed.
  Claim claim();
  // The final result: every item from this claim's place on is discarded
  // until the exit event (its result), an error, or the end.
  Claim claim_result();
  // Whether the claim can be taken now.
  bool ready(Claim claim) const;
  // The claim's item, once there; the claim ends. Nothing while it is not.
  std::optional<Received> take(Claim claim);
  // The same for a claim on the final result.
  std::optional<Collected> take_result(Claim claim);
  // Gives the claim up; its item goes to the next claim.
  void withdraw(Claim claim);
  // Puts an item taken for a claim that was then given up back in its place
  // (`place`: where the claim was among the claims waiting when it was taken).
  void give_back(std::size_t place, StreamItem item);
  // Where the claim is among the claims waiting (for give_back).
  std::size_t place_of(Claim claim) const;

  // Calls `wake` once, on the thread that makes a waiting claim ready (an
  // item arrives, the stream ends), outside every lock. True, and nothing is
  // kept, when a waiting claim is ready already: take it now.
  bool on_ready(UniqueFunction<void()> wake);

  // Stops the stream: it ends with the termination "cancelled".
  void cancel() { stream_token_.cancel(); }
  // Nobody will claim any more. Once no claim waits either, the consumer is
  // gone: the stream stops its child without sending anything.
  void release_consumer();

  // Items waiting to be taken.
  std::size_t queued() const;
  // The exit event's result, once a claim has taken it (the event carries a
  // copy of its own).
  std::shared_ptr<const StreamResult> taken_result() const;

  const CancellationToken& stream_token() const { return stream_token_; }
  const CancellationToken& consumer_gone() const { return consumer_gone_; }

  // ---- the producer (the stream's supervision and readers, on its worker)

  // Always queued (the start event, the final event).
  void push(StreamItem item);
  // Reserves up to `wanted` slots for chunks about to be read; how many.
  std::size_t reserve(std::size_t wanted);
  // Puts a chunk in a slot reserved for it.
  void push_reserved(StreamItem item);
  void unreserve(std::size_t count);
  // Puts a chunk in if there is room (moving from it).
  bool try_push(StreamItem& item);
  // Calls `room` (posted to `executor`) once there is room again, or the
  // stream ended or lost its consumer; at once if there is room now.
  void when_room(const asio::any_io_executor& executor, UniqueFunction<void()> room);
  // Nothing more comes; `last` (the exit event or the error), if any, is the
  // final item. Wakes the consumer and every waiting producer.
  void finish(std::optional<StreamItem> last);
  bool finished() const;

 private:
  struct Waiting {
    Claim claim;
    bool result;  // claim_result()
  };
  using Call = UniqueFunction<void()>;

  std::size_t index_locked(Claim claim) const;  // among claims_, or npos
  bool ready_locked(std::size_t index) const;
  bool some_claim_ready_locked() const;
  // The item; an exit event's result is left in taken_result_, for the
  // caller to copy once the lock is let go.
  StreamItem take_at_locked(std::size_t index);
  // A claim on the final result: its outcome, the result taken (to copy),
  // or nothing yet.
  using Decided = std::variant<NoResult, std::shared_ptr<const StreamResult>, SandboxError>;
  std::optional<Decided> decide_result_locked(std::size_t index);
  // Queues the item (unless the stream is over); the consumer's waker to
  // call outside the lock, if a waiting claim is now ready.
  UniqueFunction<void()> push_locked(StreamItem item);
  // What to call outside the lock after a change.
  void settle_locked(std::vector<Call>& calls);
  void room_freed_locked(std::vector<Call>& calls);
  static void run(std::vector<Call>& calls);

  CancellationToken stream_token_;
  CancellationToken consumer_gone_;
  mutable std::mutex lock_;
  std::deque<StreamItem> items_;
  std::deque<Waiting> claims_;
  Claim next_claim_ = 1;
  std::size_t reserved_ = 0;
  bool finished_ = false;
  bool released_ = false;
  // Shared with the callers that copy it outside the lock; never changed.
  std::shared_ptr<const StreamResult> taken_result_;
  UniqueFunction<void()> consumer_waker_;
  std::vector<std::pair<asio::any_io_executor, Call>> room_waiters_;
};

// What a stream's start gives: the queue its events go to, or why it could
// not start.
using StreamStartOutcome = Outcome<std::shared_ptr<StreamQueue>>;

}  // namespace quellar
