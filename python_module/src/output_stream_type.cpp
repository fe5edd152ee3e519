#include "output_stream_type.h"

#include "boxed.h"
#include "interpreter_exit.h"
#include "stream_receiver.h"

namespace quellar::py {
namespace {

// The stream shows the collector its receiver's references (the wakers its
// waiting tasks hang on, its closers' futures, the module): a task waiting
// in `async for` holds the stream that holds the task's waker.
struct StreamState {
  std::shared_ptr<StreamReceiver> receiver;

  int traverse(visitproc visit, void* arg) { return receiver ? receiver->traverse(visit, arg) : 0; }
  // The receiver stays: the deallocation that follows still releases the
  // stream's consumer through it.
  void clear() {
    if (receiver) receiver->clear();
  }
};

StreamReceiver& receiver_of(PyObject* self) { return *unbox<StreamState>(self).receiver; }

// The running loop (new reference); null with asyncio's RuntimeError set.
Ref running_loop(PyObject* self) {
  return Ref::steal(PyObject_CallNoArgs(state_of(Py_TYPE(self))->get_running_loop));
}

PyObject* stream_aiter(PyObject* self) { return Ref::borrow(self).release(); }

PyObject* stream_anext(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref loop = running_loop(self);
    if (!loop) return nullptr;
    return receiver_of(self).next(loop.get());
  });
}

void cancel_stream(StreamReceiver& receiver) {
  // The token's callbacks belong to the runtime, which may itself be
  // waiting for the interpreter lock.
  GilRelease unlocked;
  receiver.queue().cancel();
}

PyObject* stream_aclose(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    StreamReceiver& receiver = receiver_of(self);
    // Cancelled first: a caller without a running loop (a finally block run
    // after the loop closed) still stops the child.
    cancel_stream(receiver);
    Ref loop = running_loop(self);
    if (!loop) return nullptr;
    return receiver.close(loop.get());
  });
}

PyObject* stream_cancel(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    cancel_stream(receiver_of(self));
    return none().release();
  });
}

void stream_dealloc(PyObject* self) {
  // Untracked before anything is released: a collection that starts during
  // the release must not visit a stream half torn down.
  PyObject_GC_UnTrack(self);
  StreamState& stream = unbox<StreamState>(self);
  // A deallocation may happen while an exception propagates.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    // Once no pending awaitable holds the stream's receiver either, the
    // stream stops the child (with the grace). The stream's token is not
    // cancelled: nobody is left to see how the stream ended.
    if (stream.receiver) stream.receiver->release();
  } catch (...) {
    // Only memory exhaustion can get here; nothing may unwind into the
    // interpreter.
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  boxed_gc_dealloc<StreamState>(self);
}

PyMethodDef stream_methods[] = {
    {"aclose", stream_aclose, METH_NOARGS,
     "aclose($self)\n--\n\n"
     "Cancels the stream at the call, then returns an awaitable of its final\n"
     "RunResult: the one of the \"exited\" event if it has been taken already,\n"
     "else the one the stopped child gives (termination \"cancelled\" while it\n"
     "still ran), or None when the stream ended without one. Events not yet\n"
     "taken are discarded. Raises RuntimeError at the call when no asyncio\n"
     "event loop is running (the stream is cancelled all the same), and\n"
     "SupervisorError when awaited if the stream failed (an output limit, a\n"
     "read failure)."},
    {"cancel", stream_cancel, METH_NOARGS,
     "cancel($self)\n--\n\n"
     "Cancels the stream and returns None at once: the child is stopped\n"
     "(SIGTERM to its group, SIGKILL after the grace) and the iteration ends\n"
     "with an \"exited\" event whose termination is \"cancelled\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "The events of a streamed command, as an asynchronous iterator: \"started\",\n"
        "then \"stdout\" and \"stderr\" chunks as they are read, then \"exited\" with the\n"
        "RunResult. Instances come only from stream().")},
    {Py_am_aiter, reinterpret_cast<void*>(stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(stream_anext)},
    {Py_tp_methods, stream_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(boxed_traverse<StreamState>)},
    {Py_tp_clear, reinterpret_cast<void*>(boxed_clear<StreamState>)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "quellar._native.OutputStream",
    sizeof(Boxed<StreamState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

}  // namespace

PyObject* create_output_stream_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
}

Ref new_output_stream(ModuleState& state, std::shared_ptr<StreamQueue> queue) {
  PyObject* module = PyType_GetModule(state.output_stream_type);
  if (module == nullptr) return {};
  auto receiver = std::make_shared<StreamReceiver>(module, std::move(queue));
  Ref stream = box(state.output_stream_type, StreamState{receiver});
  // Without an OutputStream the receiver still releases the queue when it
  // goes; the caller's queue reference stays valid either way.
  return stream;
}

}  // namespace quellar::py
