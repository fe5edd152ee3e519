#include "asyncio_bridge.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "boxed.h"
#include "error_translation.h"
#include "interpreter_exit.h"
#include "output_event_type.h"
#include "output_stream_type.h"
#include "stream_receiver.h"

namespace quellar::py {

void settle_run(ModuleState& state, PyObject* future, RunDelivery outcome);

namespace {

// The link of each loop, by the loop's address. Interpreter lock only.
// Never destroyed: links may go after the module during the interpreter's end.
auto* g_links = new std::unordered_map<PyObject*, std::weak_ptr<LoopLink>>;

// How far ahead the timer that ties a link to its loop lies: never reached.
constexpr double kWatchDelay = 1e9;

// The link's Python object: what the loop runs (its drain), and what the
// collector sees of the link's references.
struct LinkHandle {
  std::shared_ptr<LoopLink> link;
  int traverse(visitproc visit, void* arg) { return link ? link->traverse(visit, arg) : 0; }
  void clear() {
    if (link) link->clear();
  }
};

// Dropped, with the timer that holds it, when its loop closes.
struct GoneNotice {
  std::weak_ptr<LoopLink> link;
  explicit GoneNotice(std::weak_ptr<LoopLink> l) : link(std::move(l)) {}
  // A moved-from notice says nothing.
  GoneNotice(GoneNotice&&) noexcept = default;
  ~GoneNotice() {
    if (auto alive = link.lock()) alive->loop_gone();
  }
};

PyObject* drain_link(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::shared_ptr<LoopLink> link = unbox<LinkHandle>(self).link;
    if (link) link->drain(*state_of(Py_TYPE(self)));
    Py_RETURN_NONE;
  });
}

PyMethodDef drain_def = {"_quellar_drain", drain_link, METH_NOARGS, nullptr};

PyObject* watch_loop(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef watch_def = {"_quellar_loop_watch", watch_loop, METH_VARARGS, nullptr};

PyType_Slot link_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<LinkHandle>)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<LinkHandle>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<LinkHandle>)},
    {0, nullptr},
};

PyType_Spec link_spec = {
    "quellar._native._LoopLink",
    sizeof(Boxed<LinkHandle>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    link_slots,
};

PyType_Slot gone_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<GoneNotice>)},
    {0, nullptr},
};

PyType_Spec gone_spec = {
    "quellar._native._LoopGone",
    sizeof(Boxed<GoneNotice>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gone_slots,
};

// The future of run() and stream(): cancelling it cancels the token that
// stops the child (a run's group is killed; a stream not yet delivered is
// stopped gracefully).
PyObject* run_future_cancel(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& state = *state_of(Py_TYPE(self));
    Ref cancelled = call_base(state.future_cancel, self, args, kwargs);
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True) {
      Ref loop = call_base(state.future_get_loop, self);
      if (!loop) return nullptr;
      if (auto link = LoopLink::find(loop.get())) link->cancel_run(self);
    }
    return cancelled.release();
  });
}

PyMethodDef run_future_methods[] = {
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_future_cancel)),
     METH_VARARGS | METH_KEYWORDS, "Cancels the future and, with it, the child's run or stream."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot run_future_slots[] = {
    {Py_tp_methods, run_future_methods},
    {Py_tp_doc, const_cast<char*>("The future of a run() or stream(): an asyncio.Future whose cancel() stops the child.")},
    {0, nullptr},
};

PyType_Spec run_future_spec = {
    "quellar._native._RunFuture",
    0,  // asyncio.Future's own layout
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    run_future_slots,
};

bool keep_attribute(PyObject* from, const char* name, PyObject** slot) {
  *slot = PyObject_GetAttrString(from, name);
  return *slot != nullptr;
}

}  // namespace

// ---------------------------------------------------------------- LoopLink

bool LoopLink::Doorbell::open() {
#ifdef __linux__
  read_fd_ = write_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return read_fd_ >= 0;
#else
  int fds[2];
  if (::pipe(fds) != 0) return false;
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  return true;
#endif
}

void LoopLink::Doorbell::close() {
  if (write_fd_ >= 0 && write_fd_ != read_fd_) ::close(write_fd_);
  if (read_fd_ >= 0) ::close(read_fd_);
  read_fd_ = write_fd_ = -1;
}

void LoopLink::Doorbell::ring() const {
  // A full pipe (or counter) has rung already.
#ifdef __linux__
  const std::uint64_t one = 1;
  (void)!::write(write_fd_, &one, sizeof one);
#else
  const char one = 1;
  (void)!::write(write_fd_, &one, 1);
#endif
}

void LoopLink::Doorbell::quiet() const {
#ifdef __linux__
  std::uint64_t rings;
  (void)!::read(read_fd_, &rings, sizeof rings);  // takes them all
#else
  char rings[64];
  while (::read(read_fd_, rings, sizeof rings) > 0) {
  }
#endif
}

std::shared_ptr<LoopLink> LoopLink::find(PyObject* loop) {
  auto it = g_links->find(loop);
  if (it == g_links->end()) return nullptr;
  auto link = it->second.lock();
  if (!link || link->loop_.get() != loop) return nullptr;
  return link;
}

std::shared_ptr<LoopLink> LoopLink::of(ModuleState& state, PyObject* loop) {
  if (auto link = find(loop)) {
    std::lock_guard guard(link->lock_);
    if (!link->gone_) return link;
  }
  auto link = std::make_shared<LoopLink>();
  link->loop_ = Ref::borrow(loop);
  link->key_ = loop;
  link->call_soon_threadsafe_ = Ref::steal(PyObject_GetAttrString(loop, "call_soon_threadsafe"));
  if (!link->call_soon_threadsafe_) return nullptr;
  Ref object = box(state.loop_link_type, LinkHandle{link});
  if (!object) return nullptr;
  link->object_ = object.get();
  link->drain_ = Ref::steal(PyCFunction_NewEx(&drain_def, object.get(), nullptr));
  if (!link->drain_) return nullptr;
  link->drain_args_ = Ref::steal(PyTuple_Pack(1, link->drain_.get()));
  // Everything the link schedules on the loop runs in an empty context of
  // its own, made once. A handle scheduled without one copies the context
  // of whoever scheduled it: the reader and the watch timer, which live as
  // long as the loop, would keep the first caller's context variables (and
  // all they hold) alive with it, and each call_soon_threadsafe would copy
  // a runtime thread's.
  Ref contextvars = Ref::steal(PyImport_ImportModule("contextvars"));
  Ref context_type = contextvars ? Ref::steal(PyObject_GetAttrString(contextvars.get(), "Context")) : Ref();
  Ref context = context_type ? Ref::steal(PyObject_CallNoArgs(context_type.get())) : Ref();
  link->drain_kwargs_ = Ref::steal(PyDict_New());
  if (!context || !link->drain_kwargs_ ||
      PyDict_SetItemString(link->drain_kwargs_.get(), "context", context.get()) < 0) {
    return nullptr;
  }
  link->future_kwargs_ = Ref::steal(PyDict_New());
  if (!link->drain_args_ || !link->future_kwargs_ ||
      PyDict_SetItemString(link->future_kwargs_.get(), "loop", loop) < 0) {
    return nullptr;
  }
  // The loop watches the doorbell; one that cannot (no add_reader) is
  // called through call_soon_threadsafe.
  // add_reader takes no context: it is called from inside the link's, which
  // its handle copies.
  if (link->doorbell_.open()) {
    Ref fd = Ref::steal(PyLong_FromLong(link->doorbell_.fd()));
    Ref add_reader = Ref::steal(PyObject_GetAttrString(loop, "add_reader"));
    Ref run = Ref::steal(PyUnicode_FromString("run"));
    if (!fd || !add_reader || !run ||
        !Ref::steal(PyObject_CallMethodObjArgs(context.get(), run.get(), add_reader.get(), fd.get(),
                                               link->drain_.get(), nullptr))) {
      PyErr_Clear();
      link->doorbell_.close();
    }
  }
  // The loop holds the link through a timer that never fires: closing the
  // loop drops it (and the notice with it), collecting the loop collects
  // the link. A loop without timers of this kind keeps its link for good.
  Ref notice = box(state.loop_gone_type, GoneNotice{link});
  Ref watch = Ref::steal(PyCFunction_NewEx(&watch_def, nullptr, nullptr));
  Ref timer;
  if (notice && watch) {
    Ref call_later = Ref::steal(PyObject_GetAttrString(loop, "call_later"));
    Ref args = Ref::steal(Py_BuildValue("(dOOO)", kWatchDelay, watch.get(), notice.get(), object.get()));
    if (call_later && args) {
      timer = Ref::steal(PyObject_Call(call_later.get(), args.get(), link->drain_kwargs_.get()));
    }
  }
  if (!timer) {
    PyErr_Clear();
    link->self_ = object;
  }
  (*g_links)[loop] = link;
  return link;
}

LoopLink::~LoopLink() {
  PythonAccess access;
  if (!access) {
    // The interpreter is exiting: its references are leaked on purpose.
    for (Delivery& delivery : pending_) delivery.future.abandon();
    for (Ref* ref : references()) ref->abandon();
    for (auto& [future, ref] : kept_) ref.abandon();
    self_.abandon();
    return;
  }
  GilGuard locked;
  // By the key, not loop_: the collector may have cleared that already. An
  // entry a newer link of the same address took over stays.
  if (auto it = g_links->find(key_); it != g_links->end() && it->second.expired()) g_links->erase(it);
  pending_.clear();
  kept_.clear();
  for (Ref* ref : references()) ref->reset();
  self_.reset();
}

void LoopLink::attach_run(PyObject* future, CancellationToken token) {
  {
    std::lock_guard guard(lock_);
    runs_[future] = std::move(token);
    ++runs_in_flight_;
  }
  // A loop watching the doorbell holds the link's object already.
  if (!self_ && !doorbell_.active()) self_ = Ref::borrow(object_);
}

void LoopLink::cancel_run(PyObject* future) {
  std::optional<CancellationToken> token;
  {
    std::lock_guard guard(lock_);
    if (auto it = runs_.find(future); it != runs_.end()) {
      token = std::move(it->second);
      runs_.erase(it);
    }
  }
  if (!token) return;
  // The token's callbacks belong to the runtime, which may itself be waiting
  // for the interpreter lock.
  GilRelease unlocked;
  token->cancel();
}

void LoopLink::keep(const Ref& future) {
  {
    std::lock_guard guard(lock_);
    // A closed loop settles nothing any more: it keeps nothing either.
    if (gone_) return;
  }
  kept_.emplace(future.get(), future);
}

void LoopLink::let_go(PyObject* future) {
  auto it = kept_.find(future);
  if (it == kept_.end()) return;
  Ref held = std::move(it->second);
  kept_.erase(it);
}

void LoopLink::deliver(Ref future, RunDelivery outcome) {
  PyObject* key = future.get();
  post(Delivery{std::move(future), std::move(outcome), {}}, key);
}

void LoopLink::wake_stream(std::weak_ptr<StreamReceiver> receiver) {
  post(Delivery{{}, std::nullopt, std::move(receiver)}, nullptr);
}

void LoopLink::post(Delivery delivery, PyObject* finished_run) {
  auto keep = shared_from_this();  // schedule() may drop the last owner
  bool call_loop = false;
  bool release = false;
  bool gone = false;
  {
    std::lock_guard guard(lock_);
    if (finished_run != nullptr) {
      // A finished run's token is the caller's again: cancelling its future
      // now has nothing to stop. A stream handed over still has its child
      // running: until the loop settles the future, cancel() must reach it.
      if (!(delivery.outcome && std::holds_alternative<QueueHandoff>(*delivery.outcome))) {
        runs_.erase(finished_run);
      }
      if (runs_in_flight_ > 0 && --runs_in_flight_ == 0) release = !doorbell_.active();
    }
    pending_.push_back(std::move(delivery));
    if (!drain_scheduled_) drain_scheduled_ = call_loop = true;
    gone = gone_;
  }
  if (call_loop && !gone && doorbell_.active()) {
    doorbell_.ring();
    call_loop = false;
  }
  // A delivery that can go nowhere is dropped, with the interpreter lock.
  if (call_loop || release || gone) schedule(call_loop, release);
}

void LoopLink::schedule(bool call_loop, bool release_self) {
  PythonAccess access;
  if (!access) {
    // The interpreter is exiting: nobody can be settled any more.
    std::lock_guard guard(lock_);
    for (Delivery& delivery : pending_) delivery.future.abandon();
    pending_.clear();
    return;
  }
  GilGuard locked;
  std::vector<Delivery> dropped;
  bool gone = false;
  {
    std::lock_guard guard(lock_);
    gone = gone_;
  }
  if (call_loop && !gone) {
    // A closed loop refuses: it will never run anything again.
    if (!Ref::steal(PyObject_Call(call_soon_threadsafe_.get(), drain_args_.get(), drain_kwargs_.get()))) {
      PyErr_Clear();
      loop_gone();
      gone = true;
    }
  }
  {
    std::lock_guard guard(lock_);
    if (gone_) {
      dropped.swap(pending_);
      drain_scheduled_ = false;
    }
    // A run attached meanwhile keeps the link's object.
    release_self = release_self && runs_in_flight_ == 0;
  }
  dropped.clear();  // with the interpreter lock
  if (release_self) self_.reset();
}

void LoopLink::drain(ModuleState& state) {
  auto keep = shared_from_this();
  std::vector<Delivery> batch;
  // Rings from here on call the loop again: they may come with deliveries
  // this batch misses.
  if (doorbell_.active()) doorbell_.quiet();
  {
    std::lock_guard guard(lock_);
    batch.swap(pending_);
    drain_scheduled_ = false;
    for (const Delivery& delivery : batch) {
      if (delivery.outcome) runs_.erase(delivery.future.get());
    }
  }
  for (Delivery& delivery : batch) {
    if (delivery.outcome) {
      settle_run(state, delivery.future.get(), std::move(*delivery.outcome));
    } else if (auto receiver = delivery.receiver.lock()) {
      receiver->drain();
    }
  }
  batch.clear();
  PyErr_Clear();
}

void LoopLink::loop_gone() {
  std::vector<CancellationToken> tokens;
  std::vector<Delivery> dropped;
  {
    std::lock_guard guard(lock_);
    gone_ = true;
    for (auto& [future, token] : runs_) tokens.push_back(token);
    runs_.clear();
    dropped.swap(pending_);
    drain_scheduled_ = false;
  }
  dropped.clear();
  // Swapped out first: releasing one may finalize a task, whose coroutine
  // lets go of another.
  std::unordered_map<PyObject*, Ref> kept;
  kept.swap(kept_);
  kept.clear();
  if (tokens.empty()) return;
  // Their futures can never be settled: the runs stop now, their groups
  // killed, instead of running on to their timeouts.
  GilRelease unlocked;
  for (const CancellationToken& token : tokens) token.cancel();
}

int LoopLink::traverse(visitproc visit, void* arg) {
  for (Ref* ref : references()) Py_VISIT(ref->get());
  for (const auto& [future, ref] : kept_) Py_VISIT(ref.get());
  std::lock_guard guard(lock_);
  for (const Delivery& delivery : pending_) Py_VISIT(delivery.future.get());
  return 0;
}

void LoopLink::clear() {
  std::vector<Delivery> dropped;
  {
    std::lock_guard guard(lock_);
    gone_ = true;
    dropped.swap(pending_);
  }
  dropped.clear();
  std::unordered_map<PyObject*, Ref> kept;
  kept.swap(kept_);
  kept.clear();
  for (Ref* ref : references()) ref->reset();
}

Ref LoopLink::new_future(PyTypeObject* type) const {
  if (!future_kwargs_) {
    PyErr_SetString(PyExc_RuntimeError, "the event loop has gone");
    return {};
  }
  Ref no_args = Ref::steal(PyTuple_New(0));  // the shared empty tuple
  if (!no_args) return {};
  return Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(type), no_args.get(),
                                  future_kwargs_.get()));
}

// ---------------------------------------------------------------- helpers

std::optional<LoopStart> start_on_running_loop(ModuleState& state, PyTypeObject* type,
                                               const CancellationToken& token, const char* refusal) {
  Ref loop = Ref::steal(PyObject_CallNoArgs(state.get_running_loop));
  if (!loop) return std::nullopt;
  auto exit_link = ExitLink::make(token);
  if (!exit_link) {
    PyErr_SetString(PyExc_RuntimeError, refusal);
    return std::nullopt;
  }
  auto link = LoopLink::of(state, loop.get());
  if (!link) return std::nullopt;
  Ref future = link->new_future(type);
  if (!future) return std::nullopt;
  // Cancelling the future cancels the token: a run's group is killed, a
  // stream not yet handed over is stopped by the runtime itself, without
  // waiting for the loop to drop it. So does the loop's closing.
  link->attach_run(future.get(), token);
  return LoopStart{std::move(link), std::move(future), std::move(*exit_link)};
}

Ref take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

Ref worker_failure(std::string_view description) {
  std::string message = "execution worker failed: ";
  message += description;
  Ref text_value = text(message);
  if (!text_value) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text_value.get(), nullptr));
}

Ref call_base(PyObject* method, PyObject* self, PyObject* arg) {
  return Ref::steal(PyObject_CallFunctionObjArgs(method, self, arg, nullptr));
}

Ref call_base(PyObject* method, PyObject* self, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t count = PyTuple_Size(args);
  if (count < 0) return {};
  Ref full = Ref::steal(PyTuple_New(count + 1));
  if (!full) return {};
  PyTuple_SetItem(full.get(), 0, Ref::borrow(self).release());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SetItem(full.get(), i + 1, Ref::borrow(PyTuple_GetItem(args, i)).release());
  }
  return Ref::steal(PyObject_Call(method, full.get(), kwargs));
}

void settle_run(ModuleState& state, PyObject* future, RunDelivery outcome) {
  Ref done = call_base(state.future_done, future);
  // Cancelled by its awaiter in the meantime: the outcome is dropped.
  if (!done || done.get() == Py_True) {
    PyErr_Clear();
    return;
  }
  Settlement settled;
  if (auto* result = std::get_if<RunResultData>(&outcome)) {
    settled.value = new_run_result(state.run_result_type, std::move(*result));
  } else if (auto* handoff = std::get_if<QueueHandoff>(&outcome)) {
    std::shared_ptr<StreamQueue> queue = handoff->take();
    settled.value = new_output_stream(state, queue);
    if (!settled.value) queue->release_consumer();
  } else if (auto* error = std::get_if<SandboxError>(&outcome)) {
    settled = {to_py_error(std::move(*error)), true};
  } else {
    settled = {worker_failure(std::get<TaskFailure>(outcome).description), true};
  }
  settled = or_raised(std::move(settled));
  if (!settled.value) return;
  if (!call_base(settled.is_exception ? state.future_set_exception : state.future_set_result, future,
                 settled.value.get())) {
    PyErr_Clear();
  }
}

bool create_bridge_types(PyObject* module, ModuleState& state) {
  state.loop_link_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &link_spec, nullptr));
  if (state.loop_link_type == nullptr) return false;
  state.loop_gone_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &gone_spec, nullptr));
  if (state.loop_gone_type == nullptr) return false;

  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return false;
  if (!keep_attribute(asyncio.get(), "get_running_loop", &state.get_running_loop)) return false;
  Ref future_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "Future"));
  if (!future_type) return false;
  state.future_type = Ref(future_type).release();
  const std::pair<const char*, PyObject**> methods[] = {
      {"cancel", &state.future_cancel},       {"result", &state.future_result},
      {"exception", &state.future_exception}, {"set_result", &state.future_set_result},
      {"set_exception", &state.future_set_exception}, {"done", &state.future_done},
      {"cancelled", &state.future_cancelled}, {"get_loop", &state.future_get_loop},
  };
  for (const auto& [name, slot] : methods) {
    if (!keep_attribute(future_type.get(), name, slot)) return false;
  }
  Ref bases = Ref::steal(PyTuple_Pack(1, future_type.get()));
  if (!bases) return false;
  state.run_future_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &run_future_spec, bases.get()));
  return state.run_future_type != nullptr && create_stream_future_types(module, state, bases.get());
}

}  // namespace quellar::py
