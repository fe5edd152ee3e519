// The Python end of a stream's queue: turns OutputStream.__anext__() and
// aclose() into claims on the queue and awaitables that take their item only
// when the code awaiting them resumes.
//
// Each __anext__() claims the next event at the call (so the n-th call gets
// the n-th event, whatever order the awaitables are awaited in). When the
// event is already there, and no earlier awaitable is still pending, the
// call returns an awaitable that takes it when awaited, without a trip
// through the event loop. Otherwise it returns a future of the running loop
// (an asyncio.Future subclass) that is woken when its event has arrived. A
// task awaiting it waits on the claim's waker, a plain future of the loop
// set at the same wake-up, and the future's __await__ iterator takes the
// event only in the step that resumes the task, handing it over at once;
// code that reads the future without awaiting it (wait_for() before 3.12,
// gather()) takes the event through result(). A task cancelled before it
// resumed gives its claim up (or, when a result() call took the event
// already, puts the event back in its place), and so does a future
// cancelled before its wake-up. Either way the next __anext__() gets the
// event: a cancelled await loses nothing, under wait_for(),
// asyncio.timeout(), Task.cancel() and task groups alike.
//
// The runtime's threads never touch Python here: a reader that makes a
// claim ready wakes the loop through the loop's LoopLink, and the wake-up
// hands over every event that has arrived.
#pragma once

#include "ref.h"

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "events/stream_queue.h"
#include "module_state.h"

namespace quellar::py {

class LoopLink;

class StreamReceiver : public std::enable_shared_from_this<StreamReceiver> {
 public:
  // Interpreter lock needed (so is every member but the constructor's
  // callers' moves); `module` gives the classes the items become.
  StreamReceiver(PyObject* module, std::shared_ptr<StreamQueue> queue);
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;
  ~StreamReceiver();

  StreamQueue& queue() { return *queue_; }

  // __anext__(): an awaitable of the next OutputEvent. `loop` is the running
  // loop (borrowed). Null with an exception set.
  PyObject* next(PyObject* loop);
  // aclose(), once the stream is cancelled: an awaitable of the final
  // RunResult or None. Null with an exception set.
  PyObject* close(PyObject* loop);
  // The OutputStream is going: once no claim waits, the consumer is gone.
  void release();
  // For the OutputStream's collector slots. The receiver's references (the
  // module, each waiter's weak reference and waker, each closer's future)
  // are shown by the stream alone: the claims and ready awaitables sharing
  // the receiver do not show them again. A waker holds its waiting task, so
  // a task left waiting on a closed loop forms a cycle through the stream
  // that only the collector can break. Once cleared, the receiver wakes and
  // settles nothing any more.
  int traverse(visitproc visit, void* arg);
  void clear();
  // On the loop's thread after a wake-up: wakes every future whose event has
  // arrived, and settles aclose()'s.
  void drain();

  // For the awaitables' claims.
  // The claim's item, once there (`place`: where its claim stood).
  std::optional<Received> take(StreamQueue::Claim claim, std::size_t& place);
  void withdraw(StreamQueue::Claim claim);
  void give_back(std::size_t place, StreamItem item);

  ModuleState& state() const { return *state_of(module_.get()); }
  // The collector has cleared the receiver (its stream was garbage).
  bool collected() const { return !module_; }
  // A plain future of the receiver's loop for a task to wait on, held by
  // the receiver, and kept by the loop's link, until its claim is taken or
  // given up: what a producer owes a consumer waits for it, as asyncio's own
  // streams hold their waiter.
  Ref new_waker(StreamQueue::Claim claim);

 private:
  struct Waiter {
    StreamQueue::Claim claim;
    Ref future;  // a weak reference: a future nobody holds gives its claim up
    bool woken = false;
    Ref waker;  // once a task awaits it; kept by the link too
  };
  struct Closer {
    StreamQueue::Claim claim;
    Ref future;  // kept by the link too
  };

  bool refuse_other_loop(PyObject* loop);
  bool bind(PyObject* loop);
  PyObject* wait_for(StreamQueue::Claim claim, PyObject* loop);
  void prune();
  void arm();
  void forget(StreamQueue::Claim claim);
  // The link stops keeping `future` (see LoopLink::keep).
  void let_go(const Ref& future);

  Ref module_;
  std::shared_ptr<StreamQueue> queue_;
  std::shared_ptr<LoopLink> link_;  // the loop its futures are on
  std::deque<Waiter> waiters_;      // in claim order
  std::deque<Closer> closers_;
  bool released_ = false;
  // Awaitables completed at the call in a row (see next()).
  unsigned ready_streak_ = 0;
};

// Creates the stream's future classes (the future of an event that is not
// there yet, its awaiting iterator, its claim) into the module state.
// `bases` is (asyncio.Future,). False with an exception set.
bool create_stream_future_types(PyObject* module, ModuleState& state, PyObject* bases);

}  // namespace quellar::py
