#include "stream_mailbox.h"

#include <algorithm>
#include <chrono>
#include <variant>

#include "asyncio_bridge.h"
#include "error_translation.h"
#include "interpreter_exit.h"
#include "output_event_type.h"
#include "ready.h"
#include "run_result_type.h"

namespace quellar::py {
namespace {

// After this many awaitables completed at the call in a row, the next one
// goes once through the loop. A consumer that never has to wait (the child
// writes faster than it is read) must still let the loop's other tasks run;
// asyncio's own StreamReader does so whenever its buffer runs dry, which the
// channel, refilled by other threads, may never do.
constexpr unsigned kReadyStreak = 16;

// An item on its way from a runtime thread arrives within microseconds; the
// bound only keeps a broken promise from hanging the loop.
constexpr auto kTransitWait = std::chrono::seconds(1);

constexpr const char* kMailboxCapsule = "quellar._native.mailbox";

constexpr const char* kWeakMailboxCapsule = "quellar._native.weak_mailbox";

// A scheduled drain holds the mailbox (the futures it settles live there);
// the done-callback, kept by the mailbox, holds it weakly.
void free_mailbox_capsule(PyObject* capsule) {
  delete static_cast<std::shared_ptr<Mailbox>*>(PyCapsule_GetPointer(capsule, kMailboxCapsule));
}

void free_weak_mailbox_capsule(PyObject* capsule) {
  delete static_cast<std::weak_ptr<Mailbox>*>(PyCapsule_GetPointer(capsule, kWeakMailboxCapsule));
}

std::shared_ptr<Mailbox> mailbox_of(PyObject* capsule) {
  if (PyCapsule_IsValid(capsule, kMailboxCapsule)) {
    return *static_cast<std::shared_ptr<Mailbox>*>(PyCapsule_GetPointer(capsule, kMailboxCapsule));
  }
  auto* ref = static_cast<std::weak_ptr<Mailbox>*>(PyCapsule_GetPointer(capsule, kWeakMailboxCapsule));
  return ref != nullptr ? ref->lock() : nullptr;
}

// Scheduled on the loop: hands the arrived items to the pending futures.
PyObject* run_drain(PyObject* capsule, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (auto mailbox = mailbox_of(capsule)) mailbox->drain_scheduled_now();
    Py_RETURN_NONE;
  });
}

PyMethodDef drain_def = {"_drain", run_drain, METH_NOARGS, nullptr};

// Done-callback of every pending __anext__() future.
PyObject* waiter_done(PyObject* capsule, PyObject* future) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True) {
      if (auto mailbox = mailbox_of(capsule)) mailbox->abandon_waiter(future);
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef waiter_done_def = {"_on_next_done", waiter_done, METH_O, nullptr};

// object.name(argument) with one positional argument (PyObject_CallMethod
// would unpack a tuple argument).
Ref call_method(PyObject* object, const char* name, PyObject* argument) {
  Ref method = Ref::steal(PyObject_GetAttrString(object, name));
  if (!method) return method;
  return Ref::steal(PyObject_CallFunctionObjArgs(method.get(), argument, nullptr));
}

// Settles a pending future; a failure to build its outcome becomes its
// exception. A future that is already done keeps its state.
void settle(PyObject* future, PyOutcome outcome) {
  if (!outcome.value) {
    outcome.value = take_exception();
    outcome.is_exception = true;
    if (!outcome.value) return;
  }
  Ref done = call_method(future, outcome.is_exception ? "set_exception" : "set_result",
                         outcome.value.get());
  if (!done) PyErr_Clear();
}

bool is_done(PyObject* future) {
  Ref done = Ref::steal(PyObject_CallMethod(future, "done", nullptr));
  if (!done) {
    PyErr_Clear();
    return false;
  }
  return done.get() == Py_True;
}

// What aclose() makes of an item taken on its way to the final result:
// nothing yet (an item to discard), or its outcome.
std::optional<PyOutcome> final_outcome(ModuleState& state, Received received) {
  if (!received) return PyOutcome{none(), false};
  if (received->kind == StreamItem::Kind::Error ||
      (received->kind == StreamItem::Kind::Exited && received->result)) {
    PyOutcome event = to_python(state, std::move(received));
    if (!event.value || event.is_exception) return event;
    return PyOutcome{Ref::steal(PyObject_GetAttrString(event.value.get(), "result")), false};
  }
  return std::nullopt;
}

PyOutcome collected_to_python(ModuleState& state, Collected collected) {
  if (auto* error = std::get_if<SandboxError>(&collected)) return {to_py_error(std::move(*error)), true};
  if (auto* result = std::get_if<StreamResult>(&collected)) {
    return {new_run_result(state.run_result_type,
                           from_receipt(result->receipt, std::move(result->stdout_bytes),
                                        std::move(result->stderr_bytes))),
            false};
  }
  return {none(), false};
}

// The runtime thread that collects aclose()'s result settles its future.
void settle_collected(PendingFuture& future, Collected collected) {
  if (auto* error = std::get_if<SandboxError>(&collected)) {
    future.set_exception([&](ModuleState&) { return to_py_error(std::move(*error)); });
    return;
  }
  future.set_result([&](ModuleState& state) {
    return collected_to_python(state, std::move(collected)).value;
  });
}

}  // namespace

Mailbox::Mailbox(PyObject* module, std::weak_ptr<StreamChannel> channel)
    : module_(Ref::borrow(module)), channel_(std::move(channel)) {}

Mailbox::~Mailbox() {
  PythonAccess access;
  if (!access) {
    for (Waiter& waiter : waiters_) waiter.future.abandon();
    module_.abandon();
    for (Ref* ref : {&loop_.loop, &loop_.context, &loop_.call_soon, &loop_.call_soon_threadsafe,
                     &loop_.on_done_args, &loop_.context_kwargs}) {
      ref->abandon();
    }
    return;
  }
  GilGuard locked;
  waiters_.clear();
  module_.reset();
  loop_ = LoopSide{};
}

// ---- runtime threads

UniqueFunction<void(Received)> Mailbox::arrival(std::uint64_t seq) {
  return [self = shared_from_this(), seq](Received received) mutable {
    self->arrive(seq, std::move(received));
  };
}

void Mailbox::ensure_slot_locked(std::uint64_t seq) {
  while (base_ + slots_.size() <= seq) slots_.emplace_back();
}

void Mailbox::arrive(std::uint64_t seq, Received received) {
  bool schedule = false;
  {
    std::lock_guard guard(lock_);
    // The loop thread adds the slot right after making the request; the
    // item may come first.
    ensure_slot_locked(seq);
    slots_[seq - base_] = std::move(received);
    if (watching_transit_ > 0) filled_.notify_all();
    if (waiting_ > 0 && !drain_scheduled_ && slots_.front()) {
      drain_scheduled_ = true;
      schedule = true;
    }
  }
  if (!schedule) return;
  PythonAccess access;
  if (!access) return;  // the interpreter is exiting: nobody awaits any more
  GilGuard locked;
  schedule_drain(true);
  PyErr_Clear();
}

// ---- the loop's thread

bool Mailbox::LoopSide::bind(PyObject* running, const std::shared_ptr<Mailbox>& mailbox,
                             ModuleState& state) {
  if (loop.get() == running) return true;
  // Built once per loop: a runtime thread waking the loop makes one call.
  LoopSide side;
  side.loop = Ref::borrow(running);
  side.context = Ref::steal(PyObject_CallNoArgs(state.copy_context));
  if (!side.context) return false;
  auto* holder = new std::weak_ptr<Mailbox>(mailbox);
  Ref capsule = Ref::steal(PyCapsule_New(holder, kWeakMailboxCapsule, free_weak_mailbox_capsule));
  if (!capsule) {
    delete holder;
    return false;
  }
  Ref on_done = Ref::steal(PyCFunction_NewEx(&waiter_done_def, capsule.get(), nullptr));
  side.call_soon = Ref::steal(PyObject_GetAttrString(running, "call_soon"));
  side.call_soon_threadsafe = Ref::steal(PyObject_GetAttrString(running, "call_soon_threadsafe"));
  side.on_done_args = on_done ? Ref::steal(PyTuple_Pack(1, on_done.get())) : Ref();
  side.context_kwargs = Ref::steal(PyDict_New());
  if (!side.call_soon || !side.call_soon_threadsafe || !side.on_done_args || !side.context_kwargs ||
      PyDict_SetItemString(side.context_kwargs.get(), "context", side.context.get()) < 0) {
    return false;
  }
  *this = std::move(side);
  return true;
}

void Mailbox::schedule_drain(bool threadsafe) {
  // Held for the call: the loop thread may rebind meanwhile.
  Ref schedule = threadsafe ? loop_.call_soon_threadsafe : loop_.call_soon;
  Ref kwargs = loop_.context_kwargs;
  auto* holder = new std::shared_ptr<Mailbox>(shared_from_this());
  Ref capsule = Ref::steal(PyCapsule_New(holder, kMailboxCapsule, free_mailbox_capsule));
  if (!capsule) delete holder;
  Ref drain = capsule ? Ref::steal(PyCFunction_NewEx(&drain_def, capsule.get(), nullptr)) : Ref();
  Ref args = drain ? Ref::steal(PyTuple_Pack(1, drain.get())) : Ref();
  // A closed loop refuses: its futures can never be settled anyway.
  if (!schedule || !args || !Ref::steal(PyObject_Call(schedule.get(), args.get(), kwargs.get()))) {
    PyErr_Clear();
    std::lock_guard guard(lock_);
    drain_scheduled_ = false;
  }
}

void Mailbox::drain_scheduled_now() {
  {
    std::lock_guard guard(lock_);
    drain_scheduled_ = false;
  }
  drain();
}

std::optional<Received> Mailbox::take_front() {
  std::lock_guard guard(lock_);
  if (slots_.empty() || !slots_.front()) return std::nullopt;
  Received received = std::move(*slots_.front());
  slots_.pop_front();
  ++base_;
  return received;
}

void Mailbox::drain() {
  abandon_cancelled();
  while (!waiters_.empty()) {
    std::optional<Received> received = take_front();
    if (!received) break;
    Waiter waiter = std::move(waiters_.front());
    waiters_.pop_front();
    {
      std::lock_guard guard(lock_);
      --waiting_;
    }
    settle(waiter.future.get(), to_python(state(), std::move(*received)));
  }
}

void Mailbox::abandon_cancelled() {
  for (std::size_t i = 0; i < waiters_.size();) {
    // Done without us: cancelled by asyncio (or settled by someone else).
    if (is_done(waiters_[i].future.get())) {
      abandon_at(i);
    } else {
      ++i;
    }
  }
}

void Mailbox::abandon_waiter(PyObject* future) {
  auto it = std::find_if(waiters_.begin(), waiters_.end(),
                         [future](const Waiter& w) { return w.future.get() == future; });
  if (it == waiters_.end()) return;
  abandon_at(static_cast<std::size_t>(it - waiters_.begin()));
  // A later future may now be first in line for an item already here.
  drain();
}

void Mailbox::abandon_at(std::size_t index) {
  Waiter abandoned = std::move(waiters_[index]);
  waiters_.erase(waiters_.begin() + static_cast<std::ptrdiff_t>(index));
  {
    std::lock_guard guard(lock_);
    --waiting_;
  }
  trim_surplus();
}

void Mailbox::trim_surplus() {
  // Requests still waiting in the channel are the last ones made, so taking
  // back the most recent one removes the last slot. One that can no longer be
  // taken back has been served: its item is kept for the next call.
  auto channel = channel_.lock();
  if (!channel) return;
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (slots_.size() <= waiters_.size()) return;
    }
    if (!channel->withdraw_receive()) return;
    std::lock_guard guard(lock_);
    slots_.pop_back();
  }
}

void Mailbox::release() {
  if (!waiters_.empty()) abandon_cancelled();
  trim_surplus();
}

PyObject* Mailbox::ready(Received received) {
  PyOutcome outcome = to_python(state(), std::move(received));
  if (!outcome.value) return nullptr;
  return new_ready(state().ready_type, std::move(outcome.value), outcome.is_exception).release();
}

PyObject* Mailbox::add_waiter(PyObject* loop) {
  Ref future;
  bool watching = loop_.bind(loop, shared_from_this(), state());
  if (watching) future = Ref::steal(PyObject_CallMethod(loop, "create_future", nullptr));
  if (future) {
    Ref add = Ref::steal(PyObject_GetAttrString(future.get(), "add_done_callback"));
    watching = add && Ref::steal(PyObject_Call(add.get(), loop_.on_done_args.get(),
                                               loop_.context_kwargs.get()));
  }
  if (!future || !watching) {
    // The request made for this call has nobody to go to: take it back
    // (with the exception still pending).
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    trim_surplus();
    PyErr_Restore(type, value, traceback);
    return nullptr;
  }
  waiters_.push_back(Waiter{future});
  bool deliver_now = false;
  {
    std::lock_guard guard(lock_);
    ++waiting_;
    // An item that arrived before this future was counted scheduled nothing.
    deliver_now = !drain_scheduled_ && !slots_.empty() && slots_.front().has_value();
  }
  ready_streak_ = 0;
  if (deliver_now) drain();
  return future.release();
}

bool Mailbox::refuse_other_loop(PyObject* loop) {
  // Their futures can only be settled on their own loop's thread: nothing
  // of theirs may be touched from here.
  if (waiters_.empty() || loop_.loop.get() == loop) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  "the OutputStream has awaitables pending on another event loop");
  return true;
}

PyObject* Mailbox::next(StreamChannel& channel, PyObject* loop) {
  if (refuse_other_loop(loop)) return nullptr;
  if (!waiters_.empty()) drain();
  // An item taken for a future that asyncio cancelled comes first.
  if (waiters_.empty()) {
    if (auto kept = take_front()) return ready(std::move(*kept));
  }
  std::size_t slots = 0;
  std::uint64_t seq = 0;
  {
    std::lock_guard guard(lock_);
    slots = slots_.size();
    seq = base_ + slots;
  }
  // A request already made, whose future was cancelled, owes this call its item.
  if (slots > waiters_.size()) return add_waiter(loop);

  std::optional<Received> now = channel.receive(arrival(seq));
  if (!now) {
    {
      std::lock_guard guard(lock_);
      ensure_slot_locked(seq);
    }
    return add_waiter(loop);
  }
  if (slots == 0 && ready_streak_ < kReadyStreak) {
    ++ready_streak_;
    return ready(std::move(*now));
  }
  // Taken now, handed over through the loop: either earlier requests'
  // items are still on their way from runtime threads (they come first), or
  // this call lets the loop run once (see kReadyStreak).
  {
    std::lock_guard guard(lock_);
    ensure_slot_locked(seq);
    slots_[seq - base_] = std::move(*now);
  }
  if (slots != 0) return add_waiter(loop);
  bool schedule = false;
  {
    std::lock_guard guard(lock_);
    schedule = !drain_scheduled_;
    drain_scheduled_ = true;
  }
  PyObject* future = add_waiter(loop);
  if (schedule) schedule_drain(false);
  return future;
}

void Mailbox::wait_for_items_in_transit() {
  auto all_here = [this] {
    return std::all_of(slots_.begin(), slots_.end(), [](const auto& slot) { return slot.has_value(); });
  };
  {
    std::lock_guard guard(lock_);
    if (all_here()) return;
  }
  // Without the interpreter lock: the thread delivering the item may need it
  // for an earlier completion. (Destroyed in reverse order: the mutex is
  // released before the interpreter lock is taken back.)
  GilRelease unlocked;
  std::unique_lock guard(lock_);
  ++watching_transit_;
  filled_.wait_for(guard, kTransitWait, all_here);
  --watching_transit_;
}

PyObject* Mailbox::close(StreamChannel& channel, PyObject* loop) {
  if (refuse_other_loop(loop)) return nullptr;
  if (!waiters_.empty()) drain();
  if (waiters_.empty()) {
    // Items taken for futures that asyncio cancelled were never seen: they
    // come before anything still in the channel. With no future pending,
    // every request still unanswered has been served; its item is on its way.
    trim_surplus();
    wait_for_items_in_transit();
    while (auto received = take_front()) {
      if (auto outcome = final_outcome(state(), std::move(*received))) {
        if (!outcome->value) return nullptr;
        return new_ready(state().ready_type, std::move(outcome->value), outcome->is_exception).release();
      }
    }
  }
  auto pending = PendingFuture::create(module_.get());
  if (!pending) return nullptr;
  Ref future = Ref::borrow(pending->future());
  auto shared = std::make_shared<PendingFuture>(std::move(*pending));
  std::optional<Collected> now =
      channel.collect_result([shared](Collected collected) { settle_collected(*shared, std::move(collected)); });
  if (!now) return future.release();
  shared->discard();
  PyOutcome outcome = collected_to_python(state(), std::move(*now));
  if (!outcome.value) return nullptr;
  return new_ready(state().ready_type, std::move(outcome.value), outcome.is_exception).release();
}

}  // namespace quellar::py
