// A cancellation token: a shared, sticky flag with callbacks. Copies share
// one state, so cancelling any copy cancels them all. Safe from any thread.
// Asynchronous waiting on it lives in runtime.h (it needs Asio).
#pragma once

#include <cstdint>
#include "unique_function.h"
#include <memory>

namespace quellar {

class CancellationToken {
 public:
  using Callback = UniqueFunction<void()>;
  using CallbackId = std::uint64_t;

  CancellationToken();

  // Sets the flag and runs every registered callback once, on this thread,
  // outside any lock. Later calls do nothing.
  void cancel() const;
  bool is_cancelled() const;

  // Registers `callback` to run when the token is cancelled. Returns 0 when
  // the token is already cancelled: the callback is then dropped, not run,
  // and the caller acts on the cancellation itself.
  CallbackId on_cancel(Callback callback) const;
  // Unregisters; true when the callback was removed before it ran.
  bool remove(CallbackId id) const;

  friend bool operator==(const CancellationToken& a, const CancellationToken& b) {
    return a.state_ == b.state_;
  }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Cancels its token when destroyed, unless disarmed first: whoever drops
// unfinished work on the floor stops it.
class CancelOnDrop {
 public:
  explicit CancelOnDrop(CancellationToken token) : token_(std::move(token)) {}
  CancelOnDrop(const CancelOnDrop&) = delete;
  CancelOnDrop& operator=(const CancelOnDrop&) = delete;
  ~CancelOnDrop() {
    if (armed_) token_.cancel();
  }
  void disarm() { armed_ = false; }

 private:
  CancellationToken token_;
  bool armed_ = true;
};

}  // namespace quellar
