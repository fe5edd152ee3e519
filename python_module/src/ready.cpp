#include "ready.h"

#include "asyncio_bridge.h"
#include "boxed.h"
#include "stream_receiver.h"

namespace quellar::py {
namespace {

struct ReadyState {
  Settlement settled;
  // While the event has not been taken: whose, and which.
  std::shared_ptr<StreamReceiver> receiver;
  StreamQueue::Claim claim = 0;

  ReadyState(Settlement s, std::shared_ptr<StreamReceiver> r, StreamQueue::Claim c)
      : settled(std::move(s)), receiver(std::move(r)), claim(c) {}
  ReadyState(ReadyState&&) noexcept = default;
  ~ReadyState() {
    // Never awaited: the event stays for the next call.
    if (receiver) receiver->queue().withdraw(claim);
  }

  // The outcome, taking the event now if it has not been yet; null with an
  // exception set when that fails.
  const Settlement* outcome(ModuleState& state) {
    if (receiver) {
      std::size_t place = 0;
      std::optional<Received> got = receiver->take(claim, place);
      receiver.reset();
      if (!got) {
        PyErr_SetString(PyExc_RuntimeError, "the event of this awaitable is not there");
        return nullptr;
      }
      settled = or_raised(to_python(state, std::move(*got)));
    }
    return &settled;
  }

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(settled.value.get());
    return 0;
  }
  void clear() { settled.value.reset(); }
};

PyObject* ready_await(PyObject* self) { return Ref::borrow(self).release(); }

// The iterator protocol: what `await` uses from CPython 3.12 on.
PyObject* ready_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const Settlement* settled = unbox<ReadyState>(self).outcome(*state_of(Py_TYPE(self)));
    if (settled != nullptr) finish_with(*settled);
    return nullptr;
  });
}

// The send protocol: what `await` uses on CPython 3.10 and 3.11; no
// StopIteration is created for a value.
PySendResult ready_send(PyObject* self, PyObject*, PyObject** result) {
  return guarded<PySendResult>(PYGEN_ERROR, [&]() -> PySendResult {
    *result = nullptr;
    const Settlement* settled = unbox<ReadyState>(self).outcome(*state_of(Py_TYPE(self)));
    if (settled == nullptr) return PYGEN_ERROR;
    if (settled->is_exception) {
      finish_with(*settled);
      return PYGEN_ERROR;
    }
    *result = Ref(settled->value).release();
    return PYGEN_RETURN;
  });
}

PyType_Slot ready_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(ready_await)},
    {Py_am_send, reinterpret_cast<void*>(ready_send)},
    {Py_tp_iter, reinterpret_cast<void*>(ready_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<ReadyState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<ReadyState>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<ReadyState>)},
    {Py_tp_doc, const_cast<char*>(
        "The outcome of OutputStream.__anext__() or aclose(), already there when\n"
        "it was called: awaiting it returns or raises at once.")},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "quellar._native._Ready",
    sizeof(Boxed<ReadyState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ready_slots,
};

}  // namespace

PyObject* create_ready_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &ready_spec, nullptr);
}

Ref new_ready(ModuleState& state, Settlement settled) {
  if (!settled.value) return {};
  return box(state.ready_type, ReadyState{std::move(settled), nullptr, 0});
}

Ref new_ready_claim(ModuleState& state, std::shared_ptr<StreamReceiver> receiver,
                    StreamQueue::Claim claim) {
  return box(state.ready_type, ReadyState{Settlement{}, std::move(receiver), claim});
}

}  // namespace quellar::py
