// The Python end of a stream's item channel: hands the items that
// OutputStream.__anext__() requests to the awaitables it returned.
//
// Each __anext__() call requests one item from the channel at the call. When
// an item is already waiting, the call gets it at once and returns an
// awaitable that is already complete (no thread hop, no trip through the
// event loop). Otherwise it returns a future of the running loop; the runtime
// thread that serves the request files the item here and asks the loop,
// through call_soon_threadsafe, to hand it over.
//
// Requests and awaitables are matched by position, not one to one: the n-th
// pending future gets the n-th item requested. So when asyncio cancels a
// pending future, its item is not lost: the request is taken back from the
// channel if it still waits there, and an item already on its way is kept
// for the next __anext__() call, in order.
#pragma once

#include "ref.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "events/stream.h"
#include "module_state.h"

namespace quellar::py {

class Mailbox : public std::enable_shared_from_this<Mailbox> {
 public:
  // Interpreter lock needed. `module` gives the classes the items become.
  Mailbox(PyObject* module, std::weak_ptr<StreamChannel> channel);
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;
  // From any thread; touches Python only while the interpreter may be entered.
  ~Mailbox();

  // ---- on the loop's thread, with the interpreter lock. The channel is the
  // one given at construction, passed by its owner (the OutputStream).

  // __anext__(): an awaitable of the next OutputEvent. `loop` is the running
  // loop (borrowed). Null with an exception set on failure.
  PyObject* next(StreamChannel& channel, PyObject* loop);

  // aclose(), once the stream is cancelled: an awaitable of the final
  // RunResult or None. Null with an exception set on failure.
  PyObject* close(StreamChannel& channel, PyObject* loop);

  // The OutputStream is going: requests made for futures that asyncio
  // cancelled are taken back, so that only pending futures keep the
  // receiving side alive.
  void release();

  // ---- internal entry points (the loop's callbacks)
  void drain_scheduled_now();
  void abandon_waiter(PyObject* future);

 private:
  struct Waiter {
    Ref future;
  };

  // What settling futures on one loop needs, built once per loop.
  struct LoopSide {
    Ref loop;
    Ref context;  // the one the loop's callbacks run in
    Ref call_soon;
    Ref call_soon_threadsafe;
    Ref on_done_args;  // (done-callback of the pending futures,)
    Ref context_kwargs;  // {"context": context}

    // For `running` (borrowed); false with an exception set.
    bool bind(PyObject* running, const std::shared_ptr<Mailbox>& mailbox, ModuleState& state);
  };

  ModuleState& state() const { return *state_of(module_.get()); }

  // Runtime thread: the channel served request `seq` with `received`.
  void arrive(std::uint64_t seq, Received received);
  UniqueFunction<void(Received)> arrival(std::uint64_t seq);

  // Loop thread, interpreter lock held.
  // True, with RuntimeError set, when futures are pending on another loop.
  bool refuse_other_loop(PyObject* loop);
  PyObject* add_waiter(PyObject* loop);
  PyObject* ready(Received received);
  void drain();
  void abandon_cancelled();
  void abandon_at(std::size_t index);
  void trim_surplus();
  std::optional<Received> take_front();
  void wait_for_items_in_transit();
  // Asks the loop to run drain(); `threadsafe` from a runtime thread.
  void schedule_drain(bool threadsafe);

  // Any thread, `lock_` held.
  void ensure_slot_locked(std::uint64_t seq);

  Ref module_;
  std::weak_ptr<StreamChannel> channel_;

  // Shared with the runtime threads that serve requests.
  std::mutex lock_;
  std::condition_variable filled_;
  // One slot per request made and not yet handed over, in request order
  // (request numbers from base_): empty while its item has not arrived.
  std::deque<std::optional<Received>> slots_;
  std::uint64_t base_ = 0;
  std::size_t waiting_ = 0;  // waiters_.size(), for the threads filling slots
  bool drain_scheduled_ = false;
  int watching_transit_ = 0;

  // Loop side: the pending futures in call order; where to settle them.
  std::deque<Waiter> waiters_;
  LoopSide loop_;
  // Awaitables completed at the call in a row (see next()).
  unsigned ready_streak_ = 0;
};

}  // namespace quellar::py
