#include "asyncio_bridge.h"

#include <string>

#include "interpreter_exit.h"

namespace quellar::py {

struct PendingFuture::Parts {
  Ref module;  // keeps the module state (its classes) alive for the builder
  Ref loop;
  Ref future;
  Ref context;

  // The interpreter is exiting: the references are leaked on purpose.
  void abandon() noexcept {
    module.abandon();
    loop.abandon();
    future.abandon();
    context.abandon();
  }
};

namespace {


// Loads what the bridge calls on every run, once per module instance.
bool load_bridge(PyObject* module, ModuleState& state) {
  if (state.resolve != nullptr) return true;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return false;
  Ref get_running_loop = Ref::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
  if (!get_running_loop) return false;
  Ref contextvars = Ref::steal(PyImport_ImportModule("contextvars"));
  if (!contextvars) return false;
  Ref copy_context = Ref::steal(PyObject_GetAttrString(contextvars.get(), "copy_context"));
  if (!copy_context) return false;
  Ref resolve = Ref::steal(PyCFunction_NewEx(&resolve_def, nullptr, module));
  if (!resolve) return false;
  state.get_running_loop = get_running_loop.release();
  state.copy_context = copy_context.release();
  state.resolve = resolve.release();
  return true;
}

// resolve(future, value, is_exception), on the loop's thread.
PyObject* resolve(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "resolve() takes exactly 3 arguments");
    return nullptr;
  }
  Ref done = Ref::steal(PyObject_CallMethod(args[0], "done", nullptr));
  if (!done) return nullptr;
  // Cancelled by its awaiter in the meantime: the outcome is dropped.
  if (done.get() == Py_True) Py_RETURN_NONE;
  const char* method = args[2] == Py_True ? "set_exception" : "set_result";
  Ref name = Ref::steal(PyUnicode_FromString(method));
  if (!name) return nullptr;
  return PyObject_CallMethodObjArgs(args[0], name.get(), args[1], nullptr);
}

// future.add_done_callback target: self is a capsule holding the action.
constexpr const char* kCancelCapsule = "quellar._native.on_cancelled";

void free_cancel_action(PyObject* capsule) {
  delete static_cast<UniqueFunction<void()>*>(PyCapsule_GetPointer(capsule, kCancelCapsule));
}

PyObject* future_done(PyObject* capsule, PyObject* future) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* action = static_cast<UniqueFunction<void()>*>(
        PyCapsule_GetPointer(capsule, kCancelCapsule));
    if (action == nullptr) return nullptr;
    Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True && *action) {
      auto run = std::move(*action);
      // The action cancels a core token, whose callbacks belong to the runtime.
      GilRelease unlocked;
      run();
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef future_done_def = {"_on_future_done", future_done, METH_O, nullptr};

}  // namespace

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

PyMethodDef resolve_def = {
    "_resolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve)), METH_FASTCALL,
    nullptr};

PendingFuture::PendingFuture(std::unique_ptr<Parts> parts) noexcept : parts_(std::move(parts)) {}

PendingFuture::PendingFuture(PendingFuture&& other) noexcept = default;

std::optional<PendingFuture> PendingFuture::create(PyObject* module) {
  ModuleState& state = *state_of(module);
  if (!load_bridge(module, state)) return std::nullopt;
  auto parts = std::make_unique<Parts>();
  parts->loop = Ref::steal(PyObject_CallNoArgs(state.get_running_loop));
  if (!parts->loop) return std::nullopt;
  parts->future = Ref::steal(PyObject_CallMethod(parts->loop.get(), "create_future", nullptr));
  if (!parts->future) return std::nullopt;
  parts->context = Ref::steal(PyObject_CallNoArgs(state.copy_context));
  if (!parts->context) return std::nullopt;
  parts->module = Ref::borrow(module);
  return PendingFuture(std::move(parts));
}

PendingFuture::~PendingFuture() {
  if (parts_) {
    set_exception([](ModuleState&) {
      return worker_failure("the run was dropped before it finished");
    });
  }
}

PyObject* PendingFuture::future() const noexcept { return parts_ ? parts_->future.get() : nullptr; }

void PendingFuture::discard() noexcept { parts_.reset(); }

bool PendingFuture::on_cancelled(UniqueFunction<void()> on_cancel) {
  auto* action = new UniqueFunction<void()>(std::move(on_cancel));
  Ref capsule = Ref::steal(PyCapsule_New(action, kCancelCapsule, free_cancel_action));
  if (!capsule) {
    delete action;
    return false;
  }
  Ref callback = Ref::steal(PyCFunction_NewEx(&future_done_def, capsule.get(), nullptr));
  if (!callback) return false;
  Ref add = Ref::steal(PyObject_GetAttrString(parts_->future.get(), "add_done_callback"));
  Ref args = Ref::steal(PyTuple_Pack(1, callback.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!add || !args || !kwargs) return false;
  // The captured context, so that asyncio does not copy another one.
  if (PyDict_SetItemString(kwargs.get(), "context", parts_->context.get()) < 0) return false;
  return Ref::steal(PyObject_Call(add.get(), args.get(), kwargs.get())).get() != nullptr;
}

void PendingFuture::deliver(BuildFn build, void* context, bool is_exception) noexcept {
  std::unique_ptr<Parts> parts = std::move(parts_);
  if (!parts) return;
  PythonAccess access;
  if (!access) {
    parts->abandon();
    return;
  }
  GilGuard locked;
  try {
    Ref value = build(context, *state_of(parts->module.get()));
    if (!value) {
      value = take_exception();
      is_exception = true;
    }
    PyObject* resolver = state_of(parts->module.get())->resolve;
    Ref schedule = Ref::steal(PyObject_GetAttrString(parts->loop.get(), "call_soon_threadsafe"));
    Ref args = Ref::steal(PyTuple_Pack(4, resolver, parts->future.get(), value.get(),
                                       is_exception ? Py_True : Py_False));
    Ref kwargs = Ref::steal(PyDict_New());
    if (value && schedule && args && kwargs &&
        PyDict_SetItemString(kwargs.get(), "context", parts->context.get()) == 0) {
      // A closed loop raises here: the outcome has nowhere to go and is
      // dropped without a word (nobody can await it any more).
      Ref scheduled = Ref::steal(PyObject_Call(schedule.get(), args.get(), kwargs.get()));
    }
  } catch (...) {
    // Out of memory while building: the future stays pending, as it would
    // for a closed loop. Nothing may unwind into the runtime.
  }
  PyErr_Clear();
  parts.reset();  // the references go while the lock is still held
}

Ref worker_failure(std::string_view description) {
  std::string message = "execution worker failed: ";
  message += description;
  Ref text_value = text(message);
  if (!text_value) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text_value.get(), nullptr));
}

}  // namespace quellar::py
