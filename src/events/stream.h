// Entry point of the streaming road for bindings that must not see Asio:
// start a command, then pull its events from a StreamChannel.
//
// A driver task on the runtime pulls events from the child's event stream
// and pushes them, with back-pressure, into the channel (at most kCapacity
// items wait there). It enforces the time limit and cancellation by stopping
// the child gracefully (kFinishGrace: half of it waiting, SIGTERM to the
// group, the other half waiting, SIGKILL). When the receiving side is
// released, the driver stops the child the same way and sends nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include "../cancellation.h"
#include "../outcome.h"
#include "../policy.h"
#include "../unique_function.h"

namespace quellar {

// The final result of a stream: the child's receipt (its termination set to
// why the stream ended) and what was captured (empty unless capturing).
struct StreamResult {
  ProcessReceipt receipt;
  Bytes stdout_bytes;
  Bytes stderr_bytes;
};

struct StreamItem {
  enum class Kind : std::uint8_t { Started, Stdout, Stderr, Exited, Error };
  Kind kind = Kind::Started;
  Bytes data;                         // Stdout, Stderr
  std::optional<StreamResult> result;  // Exited
  std::optional<SandboxError> error;   // Error: the stream failed; nothing follows
};

// What a receive gives: the next item, or nothing once the stream has ended
// and every item has been taken.
using Received = std::optional<StreamItem>;

// What collecting the final result gives (closing a stream): no result, the
// result, or the error the stream ended with.
struct NoResult {};
using Collected = std::variant<NoResult, StreamResult, SandboxError>;

class StreamChannel {
 public:
  static constexpr std::size_t kCapacity = 16;

  explicit StreamChannel(CancellationToken stream_token);
  StreamChannel(const StreamChannel&) = delete;
  StreamChannel& operator=(const StreamChannel&) = delete;

  // ---- receiving side (any thread). Requests are served in the order they
  // are made, one item each.

  // The next item now, if it is there and no earlier request waits;
  // otherwise `later` is called with it once it arrives, on a runtime thread.
  std::optional<Received> receive(UniqueFunction<void(Received)> later);

  // The final result: at once if an earlier request already took it;
  // otherwise items are taken and discarded until the result, an error or
  // the end (`later` is called then, unless it could be decided now).
  std::optional<Collected> collect_result(UniqueFunction<void(Collected)> later);

  // Takes back the most recent receive request still waiting, as if it had
  // never been made: its `later` is dropped uncalled. False when none waits
  // (every request made has been served; an item may be on its way to
  // `later`). For a receiver whose awaiter gave up: the next request gets
  // the item instead, and a released receiver with no request left is gone.
  bool withdraw_receive();

  // Stops the stream: the driver ends it with the termination "cancelled".
  void cancel() { stream_token_.cancel(); }

  // The receiving side is gone. Once no request waits any more, the driver
  // sees it and stops the child without sending anything.
  void release_receiver();

  // ---- sending side (the driver)

  // Queues the item if there is room (moving from it); false otherwise.
  bool try_send(StreamItem& item);
  // Called once (from whichever thread frees room or releases the
  // receiver) when a send could succeed or fail; replaces any earlier one.
  void on_room(UniqueFunction<void()> wake);
  void clear_room_waiter();
  // Nothing more will be sent.
  void close();

  // Items waiting to be received.
  std::size_t queued() const;

  const CancellationToken& stream_token() const { return stream_token_; }
  // Cancelled once the receiving side is gone for good.
  const CancellationToken& receiver_gone() const { return receiver_gone_; }

 private:
  struct Request {
    bool collect;  // collect_result() rather than receive()
    UniqueFunction<void(Received)> on_item;
    UniqueFunction<void(Collected)> on_collected;
  };
  using Completion = UniqueFunction<void()>;

  // Serves waiting requests from the queue; returns what to call outside the lock.
  std::vector<Completion> serve_locked();
  // Takes the front item for a receive, keeping a copy of a final result.
  StreamItem pop_locked();
  std::optional<Collected> collect_locked(bool& decided);
  void run(std::vector<Completion> completions, bool room_freed);

  CancellationToken stream_token_;
  CancellationToken receiver_gone_;
  mutable std::mutex lock_;
  std::deque<StreamItem> items_;
  std::deque<Request> requests_;
  std::optional<StreamResult> result_slot_;
  bool closed_ = false;
  bool receiver_released_ = false;
  UniqueFunction<void()> room_waiter_;
};

inline constexpr std::chrono::milliseconds kFinishGrace{250};

using StreamStartOutcome = Outcome<std::shared_ptr<StreamChannel>>;

// Spawns the command (its standard input closed at once) and starts the
// driver; `done` is called once, on a runtime thread, with the channel or the
// spawn error. Cancelling `cancellation` stops the stream; the stream never
// cancels it.
void start_stream(ExecutionRequest request, CancellationToken cancellation, bool capture,
                  UniqueFunction<void(StreamStartOutcome)> done);

}  // namespace quellar
