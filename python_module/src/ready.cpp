#include "ready.h"

#include "boxed.h"

namespace quellar::py {
namespace {

struct Outcome {
  Ref value;
  bool is_exception = false;
};

const Outcome& outcome_of(PyObject* self) { return unbox<Outcome>(self); }

// Raises the exception, or finishes the iteration with the value. The value
// travels inside a StopIteration instance: handed over bare, a tuple would be
// taken for the exception's arguments.
void set_finished(const Outcome& outcome) {
  if (outcome.is_exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(outcome.value.get())), outcome.value.get());
    return;
  }
  Ref stop = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, outcome.value.get(), nullptr));
  if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

PyObject* ready_await(PyObject* self) { return Ref::borrow(self).release(); }

// The iterator protocol: what `await` uses from CPython 3.12 on.
PyObject* ready_next(PyObject* self) {
  set_finished(outcome_of(self));
  return nullptr;
}

// The send protocol: what `await` uses on CPython 3.10 and 3.11; no
// StopIteration is created for a value.
PySendResult ready_send(PyObject* self, PyObject*, PyObject** result) {
  const Outcome& outcome = outcome_of(self);
  if (outcome.is_exception) {
    set_finished(outcome);
    *result = nullptr;
    return PYGEN_ERROR;
  }
  *result = Ref(outcome.value).release();
  return PYGEN_RETURN;
}

PyType_Slot ready_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(ready_await)},
    {Py_am_send, reinterpret_cast<void*>(ready_send)},
    {Py_tp_iter, reinterpret_cast<void*>(ready_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Outcome>)},
    {Py_tp_doc, const_cast<char*>(
        "The outcome of OutputStream.__anext__() or aclose(), already known when\n"
        "it was called: awaiting it returns or raises at once.")},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "quellar._native._Ready",
    sizeof(Boxed<Outcome>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ready_slots,
};

}  // namespace

PyObject* create_ready_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &ready_spec, nullptr);
}

Ref new_ready(PyTypeObject* type, Ref outcome, bool is_exception) {
  return box(type, Outcome{std::move(outcome), is_exception});
}

}  // namespace quellar::py
