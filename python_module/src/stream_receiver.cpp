#include "stream_receiver.h"

#include <algorithm>

#include "asyncio_bridge.h"
#include "structmember.h"
#include "boxed.h"
#include "output_event_type.h"
#include "ready.h"

namespace quellar::py {
namespace {

// After this many awaitables completed at the call in a row, the next one
// goes once through the loop. A consumer that never has to wait (the child
// writes faster than it is read) must still let the loop's other tasks run;
// asyncio's own StreamReader does so whenever its buffer runs dry, which the
// queue, refilled by other threads, may never do.
constexpr unsigned kReadyStreak = 16;

// ---------------------------------------------------------------- the claim

// What a future of an event holds (in its attribute _quellar_claim): its
// claim on the queue, and the event once taken.
struct ClaimState {
  enum class Phase : std::uint8_t { Waiting, Taken, HandedOut, Withdrawn };

  std::shared_ptr<StreamReceiver> receiver;
  StreamQueue::Claim claim = 0;
  Phase phase = Phase::Waiting;
  std::size_t place = 0;
  // Taken and not yet handed out: kept to give it back.
  std::optional<Received> taken;
  Settlement settled;
  // What an awaiting task waits on: a plain asyncio.Future, woken with the
  // future of the event. A task waits on a plain future through asyncio's
  // own fast path, and reads nothing from it: the event is taken by the
  // iterator when the task resumes.
  Ref waker;

  ClaimState(std::shared_ptr<StreamReceiver> r, StreamQueue::Claim c)
      : receiver(std::move(r)), claim(c) {}
  ClaimState(ClaimState&&) noexcept = default;
  ~ClaimState() {
    // A future nobody awaits any more gives its claim up. (The receiver
    // forgets the future itself when it next looks: this may run in the
    // middle of the receiver's own work, during a garbage collection.)
    if (receiver && phase == Phase::Waiting) receiver->queue().withdraw(claim);
  }

  // The outcome, taking the event now if it has not been taken yet. Null
  // with an exception set when it is not there (the future was not woken).
  const Settlement* outcome(ModuleState& state) {
    if (phase == Phase::Taken || phase == Phase::HandedOut) return &settled;
    if (phase == Phase::Withdrawn) {
      PyErr_SetString(PyExc_RuntimeError, "the event of this awaitable was given up");
      return nullptr;
    }
    auto got = receiver->take(claim, place);
    if (!got) {
      PyErr_SetString(PyExc_RuntimeError, "the event of this awaitable is not there yet");
      return nullptr;
    }
    // The Python object gets a copy: the item itself is kept until it is
    // handed out, to be given back if its awaiter is cancelled first.
    settled = or_raised(to_python(state, Received(*got)));
    taken = std::move(*got);
    phase = Phase::Taken;
    return &settled;
  }

  void hand_out() {
    if (phase != Phase::Taken) return;
    phase = Phase::HandedOut;
    taken.reset();
  }

  // The awaiter was cancelled before it resumed with its event: a claim
  // not yet taken is given up, an event taken (by a result() call) goes back
  // to its place.
  void give_back() {
    if (phase == Phase::Waiting) {
      withdraw();
      return;
    }
    if (phase != Phase::Taken) return;
    phase = Phase::Withdrawn;
    settled = Settlement{};
    if (taken && *taken) receiver->give_back(place, std::move(**taken));
    taken.reset();
  }

  void withdraw() {
    if (phase != Phase::Waiting) return;
    phase = Phase::Withdrawn;
    receiver->withdraw(claim);
  }

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(settled.value.get());
    Py_VISIT(waker.get());
    return 0;
  }
  void clear() {
    settled.value.reset();
    waker.reset();
  }
};

PyType_Slot claim_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<ClaimState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<ClaimState>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<ClaimState>)},
    {0, nullptr},
};

PyType_Spec claim_spec = {
    "quellar._native._Claim",
    sizeof(Boxed<ClaimState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    claim_slots,
};

// Where a future of an event keeps its claim object: one slot after
// asyncio.Future's own fields (whose size is read when the class is made),
// so that a future costs no attribute dictionary.
Py_ssize_t g_claim_offset = 0;

PyObject*& claim_slot(PyObject* future) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(future) + g_claim_offset);
}

// The claim of a future of an event; null (no exception) without one. The
// slot is writable from Python (see the members): whatever else was put
// there is no claim, and is never unboxed.
ClaimState* claim_of(ModuleState& state, PyObject* future) {
  if (!PyObject_TypeCheck(future, state.next_event_type)) return nullptr;
  PyObject* claim = claim_slot(future);
  if (claim == nullptr || Py_TYPE(claim) != state.claim_type) return nullptr;
  // Borrowed: the future holds the claim for as long as the future lives.
  return &unbox<ClaimState>(claim);
}

traverseproc g_future_traverse = nullptr;
inquiry g_future_clear = nullptr;

// The slot is the future's own reference, seen by the collector; the rest is
// asyncio.Future's (which also visits the class where it must).
int next_event_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(claim_slot(self));
  return g_future_traverse(self, visit, arg);
}

int next_event_clear(PyObject* self) {
  Py_CLEAR(claim_slot(self));
  return g_future_clear(self);
}

// ---------------------------------------------------------------- the future

// What result() and exception() read: the claim's settlement once the
// future has been woken for it; otherwise (not woken, cancelled, no claim)
// asyncio's own answer, from `base`. Neither, with an exception set, on
// failure.
struct Reading {
  const Settlement* settled = nullptr;
  Ref base;
};

Reading read_claim(ModuleState& state, PyObject* self, PyObject* base) {
  ClaimState* claim = claim_of(state, self);
  if (claim == nullptr) return {nullptr, call_base(base, self)};
  if (claim->phase == ClaimState::Phase::Waiting || claim->phase == ClaimState::Phase::Withdrawn) {
    // Not woken (InvalidStateError) or cancelled (CancelledError): asyncio says so.
    Ref done = call_base(state.future_done, self);
    Ref cancelled = call_base(state.future_cancelled, self);
    if (!done || !cancelled) return {};
    if (done.get() != Py_True || cancelled.get() == Py_True) return {nullptr, call_base(base, self)};
  }
  return {claim->outcome(state), {}};
}

// result(): takes the event when the future has been woken for it.
PyObject* next_event_result(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(Py_TYPE(self));
    Reading read = read_claim(state, self, state.future_result);
    if (read.settled == nullptr) return read.base.release();
    if (read.settled->is_exception) {
      finish_with(*read.settled);
      return nullptr;
    }
    return Ref(read.settled->value).release();
  });
}

// exception(): the same, giving the exception instead of raising it.
PyObject* next_event_exception(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(Py_TYPE(self));
    Reading read = read_claim(state, self, state.future_exception);
    if (read.settled == nullptr) return read.base.release();
    return (read.settled->is_exception ? Ref(read.settled->value) : none()).release();
  });
}

// cancel(): a future cancelled before its event was taken gives its claim up.
PyObject* next_event_cancel(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(Py_TYPE(self));
    Ref cancelled = call_base(state.future_cancel, self, args, kwargs);
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True) {
      if (ClaimState* claim = claim_of(state, self)) {
        claim->withdraw();
        // A task waiting on the waker sees the cancellation too.
        if (claim->waker && !call_base(state.future_cancel, claim->waker.get())) PyErr_Clear();
      }
    }
    return cancelled.release();
  });
}

// The iterator `await` drives: it yields the claim's waker until that is
// set, then takes the event and hands it over in the same step; thrown into
// (its task cancelled) before that, it gives the claim, or an event a
// result() call took, back first.
struct WaitState {
  Ref future;
  bool yielded = false;

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(future.get());
    return 0;
  }
  void clear() { future.reset(); }
};

enum class Step { Yield, Return, Raise };

Step step(PyObject* self, Ref& out) {
  WaitState& wait = unbox<WaitState>(self);
  ModuleState& state = *state_of(Py_TYPE(self));
  if (!wait.future) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse an awaited event");
    return Step::Raise;
  }
  ClaimState* claim = claim_of(state, wait.future.get());
  if (claim == nullptr) {
    // Its _quellar_claim was deleted or replaced: the claim is given up
    // already, and nothing would ever wake the future.
    wait.future.reset();
    PyErr_SetString(PyExc_TypeError,
                    "this OutputStream awaitable has lost its claim (_quellar_claim was replaced)");
    return Step::Raise;
  }
  Ref done = call_base(state.future_done, wait.future.get());
  if (!done) return Step::Raise;
  if (done.get() != Py_True) {
    if (wait.yielded) {
      PyErr_SetString(PyExc_RuntimeError, "await wasn't used with future");
      return Step::Raise;
    }
    // The task waits, as for any asyncio future, on the claim's waker.
    if (!claim->waker) claim->waker = claim->receiver->new_waker(claim->claim);
    if (!claim->waker) return Step::Raise;
    if (PyObject_SetAttr(claim->waker.get(), state.str_blocking, Py_True) < 0) return Step::Raise;
    wait.yielded = true;
    out = claim->waker;
    return Step::Yield;
  }
  Ref future = std::move(wait.future);
  Ref cancelled = call_base(state.future_cancelled, future.get());
  if (!cancelled) return Step::Raise;
  if (cancelled.get() == Py_True) {
    out = call_base(state.future_result, future.get());  // raises CancelledError
    return Step::Raise;
  }
  const Settlement* settled = claim->outcome(state);
  if (settled == nullptr) return Step::Raise;
  claim->hand_out();
  if (settled->is_exception) {
    finish_with(*settled);
    return Step::Raise;
  }
  out = settled->value;
  return Step::Return;
}

PyObject* wait_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref out;
    switch (step(self, out)) {
      case Step::Yield:
        return out.release();
      case Step::Return:
        finish_with(Settlement{std::move(out), false});
        return nullptr;
      default:
        return nullptr;
    }
  });
}

PySendResult wait_send(PyObject* self, PyObject*, PyObject** result) {
  return guarded<PySendResult>(PYGEN_ERROR, [&]() -> PySendResult {
    Ref out;
    switch (step(self, out)) {
      case Step::Yield:
        *result = out.release();
        return PYGEN_NEXT;
      case Step::Return:
        *result = out.release();
        return PYGEN_RETURN;
      default:
        *result = nullptr;
        return PYGEN_ERROR;
    }
  });
}

// Something is thrown into the awaiting coroutine (its task's cancellation,
// woken or not) or the coroutine is closed before the iterator handed its
// event over: the event stays for the next __anext__(), whether a result()
// call took it already or not. (A stream error is no thrown exception: the
// task waits on the waker, which is only ever set to None or cancelled, and
// step() raises the error itself.)
void give_back_of(PyObject* self) {
  WaitState& wait = unbox<WaitState>(self);
  if (!wait.future) return;
  ModuleState& state = *state_of(Py_TYPE(self));
  ClaimState* claim = claim_of(state, wait.future.get());
  if (claim == nullptr) return;
  claim->give_back();
  // The future shows what became of it, as a future a cancelled task waited
  // on does.
  if (!call_base(state.future_cancel, wait.future.get())) PyErr_Clear();
}

PyObject* wait_throw(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
    if (PyExceptionInstance_Check(type)) {
      value = type;
      type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    }
    give_back_of(self);
    unbox<WaitState>(self).future.reset();
    if (traceback == Py_None) traceback = nullptr;
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    return nullptr;
  });
}

PyObject* wait_close(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    give_back_of(self);
    unbox<WaitState>(self).future.reset();
    Py_RETURN_NONE;
  });
}

PyObject* wait_send_method(PyObject* self, PyObject* value) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    (void)value;
    return wait_next(self);
  });
}

PyObject* wait_iter(PyObject* self) { return Ref::borrow(self).release(); }

PyMethodDef wait_methods[] = {
    {"send", wait_send_method, METH_O, nullptr},
    {"throw", wait_throw, METH_VARARGS, nullptr},
    {"close", wait_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wait_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(wait_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wait_next)},
    {Py_am_send, reinterpret_cast<void*>(wait_send)},
    {Py_tp_methods, wait_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<WaitState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<WaitState>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<WaitState>)},
    {0, nullptr},
};

PyType_Spec wait_spec = {
    "quellar._native._NextEventWait",
    sizeof(Boxed<WaitState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wait_slots,
};

PyObject* next_event_await(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(Py_TYPE(self));
    return box(state.next_event_wait_type, WaitState{Ref::borrow(self), false}).release();
  });
}

PyMethodDef next_event_methods[] = {
    {"result", next_event_result, METH_NOARGS,
     "The event, taken now if the future has been woken for it."},
    {"exception", next_event_exception, METH_NOARGS,
     "The exception the event raises, or None; taken as result() takes it."},
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_event_cancel)),
     METH_VARARGS | METH_KEYWORDS,
     "Cancels the future; its event, if it had one coming, goes to the next __anext__()."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef next_event_members[] = {
    // Not read-only: the class's deallocation clears writable object slots.
    {"_quellar_claim", T_OBJECT_EX, 0, 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot next_event_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(next_event_await)},
    {Py_tp_methods, next_event_methods},
    {Py_tp_members, next_event_members},
    {Py_tp_traverse, reinterpret_cast<void*>(next_event_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(next_event_clear)},
    {Py_tp_doc, const_cast<char*>(
        "The future of an OutputStream event that is not there yet: an asyncio.Future\n"
        "whose event is taken only by the code that resumes with it.")},
    {0, nullptr},
};

PyType_Spec next_event_spec = {
    "quellar._native._NextEvent",
    0,  // set when the class is made: asyncio.Future's size and one slot
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    next_event_slots,
};

}  // namespace

bool create_stream_future_types(PyObject* module, ModuleState& state, PyObject* bases) {
  state.claim_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &claim_spec, nullptr));
  if (state.claim_type == nullptr) return false;
  state.next_event_wait_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &wait_spec, nullptr));
  if (state.next_event_wait_type == nullptr) return false;
  PyObject* future_type = PyTuple_GetItem(bases, 0);
  Ref size = Ref::steal(PyObject_GetAttrString(future_type, "__basicsize__"));
  if (!size) return false;
  const Py_ssize_t base_size = PyLong_AsSsize_t(size.get());
  if (base_size < 0) return false;
  g_claim_offset = (base_size + alignof(PyObject*) - 1) / alignof(PyObject*) * alignof(PyObject*);
  next_event_members[0].offset = g_claim_offset;
  next_event_spec.basicsize = static_cast<int>(g_claim_offset + sizeof(PyObject*));
  auto* base = reinterpret_cast<PyTypeObject*>(future_type);
  g_future_traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(base, Py_tp_traverse));
  g_future_clear = reinterpret_cast<inquiry>(PyType_GetSlot(base, Py_tp_clear));
  if (g_future_traverse == nullptr || g_future_clear == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "asyncio.Future is not garbage-collected as expected");
    return false;
  }
  state.next_event_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &next_event_spec, bases));
  return state.next_event_type != nullptr;
}

// ---------------------------------------------------------------- StreamReceiver

StreamReceiver::StreamReceiver(PyObject* module, std::shared_ptr<StreamQueue> queue)
    : module_(Ref::borrow(module)), queue_(std::move(queue)) {}

StreamReceiver::~StreamReceiver() {
  if (!released_) queue_->release_consumer();
}

bool StreamReceiver::refuse_other_loop(PyObject* loop) {
  if (collected()) {
    // Only a stream brought back by a finalizer of its own cycle gets here.
    PyErr_SetString(PyExc_RuntimeError, "the OutputStream has been collected");
    return true;
  }
  // Their futures can only be settled on their own loop's thread: nothing
  // of theirs may be touched from here.
  if ((waiters_.empty() && closers_.empty()) || !link_ || link_->loop() == loop) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  "the OutputStream has awaitables pending on another event loop");
  return true;
}

bool StreamReceiver::bind(PyObject* loop) {
  if (link_ && link_->loop() == loop) return true;
  link_ = LoopLink::of(state(), loop);
  return link_ != nullptr;
}

void StreamReceiver::arm() {
  // The reader that makes a claim ready wakes the loop through the link; the
  // receiver itself is reached only on the loop's thread.
  std::weak_ptr<StreamReceiver> self = weak_from_this();
  std::shared_ptr<LoopLink> link = link_;
  if (queue_->on_ready([self, link] { link->wake_stream(self); })) link_->wake_stream(self);
}

void StreamReceiver::let_go(const Ref& future) {
  // The receiver's own reference still holds it: nothing is released here.
  if (future && link_) link_->let_go(future.get());
}

void StreamReceiver::forget(StreamQueue::Claim claim) {
  auto it = std::find_if(waiters_.begin(), waiters_.end(),
                         [claim](const Waiter& w) { return w.claim == claim; });
  if (it == waiters_.end()) return;
  let_go(it->waker);
  Ref waker = std::move(it->waker);  // released once the waiters are consistent
  waiters_.erase(it);
}

void StreamReceiver::prune() {
  if (collected()) return;
  ModuleState& st = state();
  // Released at the end: releasing a waker can finalize the task that
  // waited on it, whose coroutine comes back here.
  std::vector<Ref> dropped;
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    PyObject* future = PyWeakref_GetObject(it->future.get());
    bool gone = future == nullptr || future == Py_None;
    if (!gone) {
      Ref cancelled = call_base(st.future_cancelled, future);
      gone = !cancelled || cancelled.get() == Py_True;
      PyErr_Clear();
    }
    // A future that went away gave its claim up when its claim went; one
    // cancelled (by asyncio.Future.cancel itself) gives it up here.
    if (gone) {
      queue_->withdraw(it->claim);
      let_go(it->waker);
      dropped.push_back(std::move(it->waker));
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = closers_.begin(); it != closers_.end();) {
    Ref done = call_base(st.future_done, it->future.get());
    if (!done || done.get() == Py_True) {
      PyErr_Clear();
      queue_->withdraw(it->claim);
      let_go(it->future);
      dropped.push_back(std::move(it->future));
      it = closers_.erase(it);
    } else {
      ++it;
    }
  }
}

PyObject* StreamReceiver::next(PyObject* loop) {
  if (refuse_other_loop(loop)) return nullptr;
  prune();
  const StreamQueue::Claim claim = queue_->claim();
  if (waiters_.empty() && queue_->ready(claim) && ready_streak_ < kReadyStreak) {
    ++ready_streak_;
    Ref ready = new_ready_claim(state(), shared_from_this(), claim);
    if (!ready) queue_->withdraw(claim);
    return ready.release();
  }
  ready_streak_ = 0;
  return wait_for(claim, loop);
}

PyObject* StreamReceiver::wait_for(StreamQueue::Claim claim, PyObject* loop) {
  ModuleState& st = state();
  if (!bind(loop)) {
    queue_->withdraw(claim);
    return nullptr;
  }
  Ref claim_object = box(st.claim_type, ClaimState{shared_from_this(), claim});
  if (!claim_object) {
    queue_->withdraw(claim);
    return nullptr;
  }
  // From here the claim object gives the claim up if anything fails.
  Ref future = link_->new_future(st.next_event_type);
  if (!future) return nullptr;
  claim_slot(future.get()) = claim_object.release();
  Ref weak = Ref::steal(PyWeakref_NewRef(future.get(), nullptr));
  if (!weak) return nullptr;
  waiters_.push_back(Waiter{claim, std::move(weak), false});
  if (queue_->ready(claim)) {
    // Taken at the call, handed over through the loop: the loop's other
    // tasks run once (see next()).
    link_->wake_stream(weak_from_this());
  } else {
    arm();
  }
  return future.release();
}

void StreamReceiver::drain() {
  if (collected()) return;
  ModuleState& st = state();
  auto keep = shared_from_this();
  prune();
  bool waiting = false;
  for (Waiter& waiter : waiters_) {
    if (waiter.woken) continue;
    if (!queue_->ready(waiter.claim)) {
      waiting = true;
      continue;
    }
    PyObject* future = PyWeakref_GetObject(waiter.future.get());
    if (future == nullptr || future == Py_None) continue;
    // Woken, not handed over: its result() takes the event, or the iterator
    // of the task waiting on its waker does when the task resumes.
    if (!call_base(st.future_set_result, future, Py_None)) PyErr_Clear();
    if (ClaimState* claim = claim_of(st, future); claim && claim->waker) {
      if (!call_base(st.future_set_result, claim->waker.get(), Py_None)) PyErr_Clear();
    }
    waiter.woken = true;
  }
  for (auto it = closers_.begin(); it != closers_.end();) {
    std::optional<Collected> decided = queue_->take_result(it->claim);
    if (!decided) {
      waiting = true;
      ++it;
      continue;
    }
    Settlement settled = or_raised(collected_to_python(st, std::move(*decided)));
    if (settled.value &&
        !call_base(settled.is_exception ? st.future_set_exception : st.future_set_result,
                   it->future.get(), settled.value.get())) {
      PyErr_Clear();
    }
    let_go(it->future);
    it = closers_.erase(it);
  }
  if (waiting) arm();
}

PyObject* StreamReceiver::close(PyObject* loop) {
  if (refuse_other_loop(loop)) return nullptr;
  prune();
  ModuleState& st = state();
  if (auto result = queue_->taken_result()) {
    return new_ready(st, collected_to_python(st, Collected(std::move(*result)))).release();
  }
  const StreamQueue::Claim claim = queue_->claim_result();
  if (auto decided = queue_->take_result(claim)) {
    return new_ready(st, collected_to_python(st, std::move(*decided))).release();
  }
  if (!bind(loop)) {
    queue_->withdraw(claim);
    return nullptr;
  }
  Ref future = link_->new_future(reinterpret_cast<PyTypeObject*>(st.future_type));
  if (!future) {
    queue_->withdraw(claim);
    return nullptr;
  }
  closers_.push_back(Closer{claim, future});
  link_->keep(future);
  arm();
  return future.release();
}

void StreamReceiver::release() {
  if (released_) return;
  released_ = true;
  prune();
  queue_->release_consumer();
}

int StreamReceiver::traverse(visitproc visit, void* arg) {
  Py_VISIT(module_.get());
  for (const Waiter& waiter : waiters_) {
    Py_VISIT(waiter.future.get());
    Py_VISIT(waiter.waker.get());
  }
  for (const Closer& closer : closers_) Py_VISIT(closer.future.get());
  return 0;
}

void StreamReceiver::clear() {
  // Moved out first and released last: releasing a waker can finalize the
  // task that waited on it, whose coroutine gives its claim back through
  // this receiver, changing the waiters under the loop.
  std::vector<Ref> dropped;
  dropped.push_back(std::move(module_));
  for (Waiter& waiter : waiters_) {
    let_go(waiter.waker);
    dropped.push_back(std::move(waiter.future));
    dropped.push_back(std::move(waiter.waker));
  }
  for (Closer& closer : closers_) {
    queue_->withdraw(closer.claim);
    let_go(closer.future);
    dropped.push_back(std::move(closer.future));
  }
  closers_.clear();
}

Ref StreamReceiver::new_waker(StreamQueue::Claim claim) {
  if (collected()) {
    // Nothing would ever wake it: its stream was garbage.
    PyErr_SetString(PyExc_RuntimeError, "the OutputStream of this awaitable has been collected");
    return {};
  }
  if (!link_) {
    PyErr_SetString(PyExc_RuntimeError, "the OutputStream has no event loop");
    return {};
  }
  Ref waker = link_->new_future(reinterpret_cast<PyTypeObject*>(state().future_type));
  if (!waker) return waker;
  auto it = std::find_if(waiters_.begin(), waiters_.end(),
                         [claim](const Waiter& w) { return w.claim == claim; });
  if (it != waiters_.end()) {
    it->waker = waker;
    link_->keep(waker);
  }
  return waker;
}

std::optional<Received> StreamReceiver::take(StreamQueue::Claim claim, std::size_t& place) {
  place = queue_->place_of(claim);
  std::optional<Received> got = queue_->take(claim);
  if (got) forget(claim);
  return got;
}

void StreamReceiver::withdraw(StreamQueue::Claim claim) {
  queue_->withdraw(claim);
  forget(claim);
}

void StreamReceiver::give_back(std::size_t place, StreamItem item) {
  queue_->give_back(place, std::move(item));
  // The next claim may now have its event: wake it.
  if (!waiters_.empty() && link_) link_->wake_stream(weak_from_this());
}

}  // namespace quellar::py
