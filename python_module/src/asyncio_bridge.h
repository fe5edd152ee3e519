// The bridge between work on the core's runtime and asyncio.
//
// Each event loop that runs work gets one LoopLink. The runtime's threads
// hand it what the loop must do (settle a run's future, wake a stream's
// pending awaitables) without the interpreter lock; the link batches it and
// rings a doorbell, a descriptor the loop watches (loop.add_reader), which
// makes the loop run everything that has arrived in one callback on its own
// thread. So a result is always set on the loop's thread, a burst of
// finished runs wakes the loop once, and no runtime thread ever waits for
// the interpreter lock. A loop that cannot watch descriptors is called
// through loop.call_soon_threadsafe instead, with the lock.
//
// A link notices its loop going away: closing a loop drops the far-future
// timer the link keeps on it, and that runs the link's loop_gone(), which
// cancels every run still pending there (their groups are killed) instead of
// leaving them to their timeouts. Nothing of the bridge keeps a loop alive
// once its runs are over: the link's references to the loop and to the
// futures it still has to settle are visible to the garbage collector
// through the link's Python object, which the loop itself holds.
#pragma once

#include "ref.h"

#include <array>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <variant>
#include <vector>

#include "cancellation.h"
#include "events/stream_queue.h"
#include "interpreter_exit.h"
#include "module_state.h"
#include "outcome.h"
#include "run_result_type.h"

namespace quellar::py {

class StreamReceiver;

// A started stream's queue on its way to becoming an OutputStream: if it
// never gets there (its future was cancelled, its loop closed), the stream's
// consumer is released, and the stream stops its child.
class QueueHandoff {
 public:
  explicit QueueHandoff(std::shared_ptr<StreamQueue> queue) : queue_(std::move(queue)) {}
  QueueHandoff(QueueHandoff&&) noexcept = default;
  QueueHandoff& operator=(QueueHandoff&&) noexcept = default;
  ~QueueHandoff() {
    if (queue_) queue_->release_consumer();
  }
  std::shared_ptr<StreamQueue> take() { return std::move(queue_); }

 private:
  std::shared_ptr<StreamQueue> queue_;
};

// What settles a future of the bridge: a run's result, a started stream, or
// the error or task failure to raise.
using RunDelivery = std::variant<RunResultData, QueueHandoff, SandboxError, TaskFailure>;

class LoopLink : public std::enable_shared_from_this<LoopLink> {
 public:
  // ---- the loop's thread, interpreter lock held

  // The link of `loop` (the running loop), made on first use. Null with an
  // exception set on failure.
  static std::shared_ptr<LoopLink> of(ModuleState& state, PyObject* loop);
  // The link of `loop` if it has one.
  static std::shared_ptr<LoopLink> find(PyObject* loop);

  PyObject* loop() const { return loop_.get(); }
  // A new future of the loop, of `type` (an asyncio.Future subclass).
  Ref new_future(PyTypeObject* type) const;

  // A run whose `future` this loop's callers await: cancelling the future
  // cancels `token` (cancel_run), and so does the loop's closing.
  void attach_run(PyObject* future, CancellationToken token);
  void cancel_run(PyObject* future);

  // A future of this loop that a stream will settle (the waker a task waits
  // on, aclose()'s future): kept, and shown to the collector, until
  // let_go() or the loop's closing. So a task left to itself in `async for`
  // lives as long as the loop that can still wake it, as one waiting on a
  // socket lives with the loop's reader; once the loop has closed, nothing
  // keeps it but the cycle through its stream, which the collector frees.
  void keep(const Ref& future);
  void let_go(PyObject* future);

  // ---- any thread, without the interpreter lock

  // Settles the future on the loop's thread with `outcome`. A run is over
  // then: cancelling its future no longer touches its token.
  void deliver(Ref future, RunDelivery outcome);
  // Asks the loop's thread to hand the receiver's arrived events over.
  void wake_stream(std::weak_ptr<StreamReceiver> receiver);

  ~LoopLink();

  // ---- for the link's Python objects (interpreter lock held)
  int traverse(visitproc visit, void* arg);
  void clear();
  void drain(ModuleState& state);
  void loop_gone();

  LoopLink() = default;
  LoopLink(const LoopLink&) = delete;
  LoopLink& operator=(const LoopLink&) = delete;

 private:
  struct Delivery {
    Ref future;  // a run's, with its outcome
    std::optional<RunDelivery> outcome;
    std::weak_ptr<StreamReceiver> receiver;  // or a stream to wake
  };

  // Queues the delivery and schedules a drain if none is scheduled.
  void post(Delivery delivery, PyObject* finished_run);
  // Runs, with the interpreter lock, what post() decided; drops deliveries
  // that can go nowhere.
  void schedule(bool call_loop, bool release_self);

  // Wakes the loop without the interpreter lock: an eventfd (a pipe where
  // there is none) that the loop reads.
  class Doorbell {
   public:
    Doorbell() = default;
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;
    ~Doorbell() { close(); }
    bool open();
    void close();
    bool active() const { return read_fd_ >= 0; }
    int fd() const { return read_fd_; }
    void ring() const;   // any thread
    void quiet() const;  // the loop's thread: consumes the rings

   private:
    int read_fd_ = -1;
    int write_fd_ = -1;
  };

  std::mutex lock_;
  Doorbell doorbell_;  // set up before the link is shared, then only read
  std::vector<Delivery> pending_;
  bool drain_scheduled_ = false;
  bool gone_ = false;  // the loop closed, or the collector cleared the link
  std::size_t runs_in_flight_ = 0;
  std::unordered_map<PyObject*, CancellationToken> runs_;  // by future

  // The references to Python objects the link holds, its own object's aside.
  std::array<Ref*, 6> references() {
    return {&loop_, &call_soon_threadsafe_, &drain_, &drain_args_, &drain_kwargs_, &future_kwargs_};
  }

  // Interpreter lock only.
  Ref loop_;
  // The loop's address, its entry's key in the table of links: never
  // dereferenced, and kept after the collector clears loop_.
  PyObject* key_ = nullptr;
  Ref call_soon_threadsafe_;
  Ref drain_;  // the callable the loop runs: bound to the link's object
  Ref drain_args_;    // (drain_,) and {"context": the link's context}, for
  Ref drain_kwargs_;  // call_soon_threadsafe (the kwargs also for the watch timer)
  Ref future_kwargs_;  // {"loop": loop}, for the futures of this loop
  // The link's object, held while runs are in flight: a run in flight keeps
  // its loop alive, a finished one does not.
  Ref self_;
  PyObject* object_ = nullptr;  // borrowed: the link's Python object
  std::unordered_map<PyObject*, Ref> kept_;  // see keep()
};

// What work started from the running loop needs: the loop's link, the
// future the caller gets (of `type`, on that loop, attached to the work's
// token), and the registration that stops the work if the interpreter exits
// first.
struct LoopStart {
  std::shared_ptr<LoopLink> link;
  Ref future;
  ExitLink exit_link;
};

// Null with an exception set: RuntimeError when no asyncio event loop is
// running in this thread, or when the interpreter is exiting (`refusal` is
// the message then).
std::optional<LoopStart> start_on_running_loop(ModuleState& state, PyTypeObject* type,
                                               const CancellationToken& token, const char* refusal);

// The pending exception as an instance (with its traceback), cleared; null
// when none is pending. Interpreter lock needed.
Ref take_exception();

// RuntimeError("execution worker failed: " + description), for work that
// ended without an outcome. Interpreter lock needed.
Ref worker_failure(std::string_view description);

// Creates the bridge's classes (the link, its closing notice, run()'s
// future) into the module state. False with an exception set.
bool create_bridge_types(PyObject* module, ModuleState& state);

// asyncio.Future.method(self, *args): the base implementation the
// subclasses' overrides call. Interpreter lock needed.
Ref call_base(PyObject* method, PyObject* self, PyObject* arg = nullptr);
// asyncio.Future.method(self, *args, **kwargs), for an override that passes
// on what it was called with (`kwargs` may be null).
Ref call_base(PyObject* method, PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quellar::py
